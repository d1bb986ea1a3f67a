"""The volkit package against the freshly built library (VOLKIT_LIBRARY):
several sessions in a row on one image, failures with the library's message,
and the check on a damaged image."""

import datetime
import os
import struct

import pytest

import volkit

ODD = "\U0001F600 \u00e9t\u00e9.txt"  # beyond the Basic Multilingual Plane


@pytest.fixture
def image(tmp_path):
    path = str(tmp_path / "disk.img")
    volkit.format(path, size=32 << 20)
    return path


def test_sessions_in_a_row_round_trip(image):
    big = os.urandom(300_000)
    before = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=1)
    with volkit.Volume(image, write=True) as v:
        v.mkdir("/d")
        v.mkdir("/d/sub")
        v.write("/d/a.txt", b"first text")
        v.write("/d/big.bin", big)
        v.write("/d/" + ODD, b"odd")
        v.write("/d/empty", b"")
    with volkit.Volume(image) as v:
        assert sorted(v.listdir("/d")) == sorted(["sub", "a.txt", "big.bin", ODD, "empty"])
        assert v.listdir("/") == ["d"]
        assert v.read("/D/BIG.BIN") == big  # names ignore case
        assert v.read("/d/" + ODD) == b"odd"
        assert v.read("/d/empty") == b""
        st = v.stat("/d/a.txt")
        assert (st.size, st.is_dir) == (10, False)
        assert st.mtime.tzinfo is not None and before <= st.mtime <= before + datetime.timedelta(minutes=5)
        assert v.stat("/d/sub").is_dir
    with volkit.Volume(image, write=True) as v:
        v.write("/d/a.txt", b"short")  # replaces, shrinking
        v.write("/d/big.bin", big[:1000] + big)  # replaces, growing
        v.remove("/d/" + ODD)
        v.rmdir("/d/sub")
    with volkit.Volume(image) as v:
        assert sorted(v.listdir("/d")) == ["a.txt", "big.bin", "empty"]
        assert v.read("/d/a.txt") == b"short"
        assert v.read("/d/big.bin") == big[:1000] + big
    assert volkit.check(image) == volkit.CheckResult(True, [])


# (what is done, a part of the message it must raise)
FAILURES = [
    (lambda v: v.read("/missing.txt"), "Failed to open NTFS file 'missing.txt': Entry missing.txt doesn't exist"),
    (lambda v: v.mkdir("/D"), "already exist"),
    (lambda v: v.rmdir("/d"), "Failed to delete NTFS directory"),
    (lambda v: v.remove("/d"), "Failed to delete NTFS file"),
    (lambda v: v.write("/d", b"x"), "is a directory"),
    (lambda v: v.write("/no/such/dir.txt", b"x"), "Failed to create NTFS file 'no\\such\\dir.txt'"),
    (lambda v: v.write("/bad|name", b"x"), "Invalid name bad|name"),
    (lambda v: v.write("/\udcff", b"x"), "Invalid UTF-8 text"),
]


@pytest.mark.parametrize("action, message", FAILURES)
def test_failures_raise_the_library_message(image, action, message):
    with volkit.Volume(image, write=True) as v:
        v.mkdir("/d")
        v.write("/d/keep.txt", b"kept")
        with pytest.raises(volkit.Error, match=None) as raised:
            action(v)
        assert message in str(raised.value)
        assert v.read("/d/keep.txt") == b"kept"  # the session goes on
        assert v.stat("/d").is_dir
    assert volkit.check(image).clean


def test_reading_session_changes_nothing(image):
    with open(image, "rb") as f:
        before = f.read()
    with volkit.Volume(image) as v:
        with pytest.raises(volkit.Error, match="reading only"):
            v.mkdir("/d")
        assert v.listdir("/") == []
    with open(image, "rb") as f:
        assert f.read() == before


def test_not_an_ntfs_image(tmp_path):
    path = tmp_path / "zeros.img"
    path.write_bytes(bytes(1 << 20))
    with pytest.raises(volkit.Error, match="Failed to open NTFS volume"):
        volkit.Volume(str(path))
    with pytest.raises(volkit.Error, match="Failed to check NTFS volume"):
        volkit.check(str(path))


def test_check_reports_a_damaged_record(image):
    with volkit.Volume(image, write=True) as v:
        v.mkdir("/d")
    # Break the root directory's record (MFT record 5): its signature.
    with open(image, "r+b") as f:
        boot = f.read(512)
        sector, = struct.unpack_from("<H", boot, 0x0B)
        cluster = sector * boot[0x0D]
        mft, = struct.unpack_from("<Q", boot, 0x30)
        f.seek(mft * cluster + 5 * 1024)
        f.write(b"BAAD")
    result = volkit.check(image)
    assert not result.clean and result.problems
    with pytest.raises(volkit.Error):
        volkit.Volume(image)
