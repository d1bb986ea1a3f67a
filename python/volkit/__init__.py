"""Format, read, write and check NTFS image files with the Volkit library.

    import volkit
    volkit.format("disk.img", size=64 << 20)
    with volkit.Volume("disk.img", write=True) as v:
        v.mkdir("/d")
        v.write("/d/a.txt", b"hello")
    assert volkit.check("disk.img").clean

Paths inside a volume are str with "/" between names, relative to its root;
names compare without regard to case. Every failure raises volkit.Error with
the library's message.
"""

import ctypes
import datetime
import os
import time
from dataclasses import dataclass, field
from typing import List, Optional

from . import _native

__all__ = ["Error", "Stat", "CheckResult", "Volume", "format", "check"]

_CHUNK = 1 << 24  # bytes per transfer call
_DIRECTORY = 0x10000000  # the attribute of an object with a file-name index
_FIRST_USER_RECORD = 24  # records below belong to the file system itself
_DOS_NAMESPACE = 2  # an 8.3 alias beside the real name
_NTFS_EPOCH = datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)
_UNIX_EPOCH_IN_NTFS = 116444736000000000  # 1970-01-01 in 100-nanosecond units since 1601


class Error(Exception):
    """A call into the library failed; the text is the library's message."""


@dataclass(frozen=True)
class Stat:
    size: int
    is_dir: bool
    mtime: datetime.datetime  # aware, UTC


@dataclass(frozen=True)
class CheckResult:
    clean: bool
    problems: List[str] = field(default_factory=list)


_library = None


def _lib():
    global _library
    if _library is None:
        try:
            _library = _native.load()
        except OSError as failure:
            raise Error(str(failure)) from None
    return _library


def _last_error():
    text = _lib().volkit_last_error()
    return text.decode("utf-8", "replace") if text else "unknown failure"


def _call(ok):
    if not ok:
        raise Error(_last_error())


def _path(path):
    # Lone surrogates (from undecodable file names) become malformed UTF-8,
    # which the library refuses with its own message.
    return str(path).replace("/", "\\").lstrip("\\").encode("utf-8", "surrogatepass")


def _from_ntfs_time(stamp):
    return _NTFS_EPOCH + datetime.timedelta(microseconds=stamp // 10)


def _stamp(handle, get, put, created):
    """Sets the write and access times (and the creation time of a new
    object) to now: the library leaves the times of what it creates at zero
    for its caller to choose."""
    times = _native.Times()
    _call(get(handle, ctypes.byref(times)))
    now = _UNIX_EPOCH_IN_NTFS + time.time_ns() // 100
    times.last_write_time = times.last_access_time = now
    if created:
        times.creation_time = now
    _call(put(handle, ctypes.byref(times)))


class _ImageDevice:
    """An image file as a volkit_device. The callbacks turn every exception
    into false: none may cross into the library."""

    def __init__(self, path, writable, size=None):
        if size is not None:
            self._file = open(path, "w+b")
            self._file.truncate(size)
        else:
            self._file = open(path, "r+b" if writable else "rb")
        self._writable = writable
        # Kept here so that they live as long as the device.
        self._callbacks = (_native.READ(self._read), _native.WRITE(self._write), _native.SIZE(self._size))
        self.struct = _native.Device(None, *self._callbacks)

    def _read(self, offset, buffer, length, _context):
        try:
            self._file.seek(offset)
            return self._file.readinto((ctypes.c_char * length).from_address(buffer)) == length
        except Exception:
            return False

    def _write(self, offset, buffer, length, _context):
        if not self._writable:
            return False
        try:
            self._file.seek(offset)
            return self._file.write(ctypes.string_at(buffer, length)) == length
        except Exception:
            return False

    def _size(self, size, _context):
        try:
            size[0] = os.fstat(self._file.fileno()).st_size
            return True
        except Exception:
            return False

    def close(self):
        self._file.close()


class _Handle:
    """A file or directory handle that is closed when the block ends; a failed
    close raises unless the block already raised."""

    def __init__(self, value, close):
        self.value = value
        self._close = close

    def __enter__(self):
        return self.value

    def __exit__(self, failed, *_):
        if not self._close(self.value) and failed is None:
            raise Error(_last_error())


def format(path, size=None):
    """Writes a fresh, empty NTFS volume over the whole image file at `path`;
    with `size`, the file is created (or replaced) with that many bytes."""
    device = _ImageDevice(path, True, size)
    try:
        _call(_lib().volkit_format_volume(ctypes.byref(device.struct), None))
    finally:
        device.close()


def check(path):
    """Checks the volume in the image file at `path`; only reads it."""
    device = _ImageDevice(path, False)
    problems = []

    def found(problem, _context):
        problems.append(problem.contents.message.decode("utf-8", "replace"))

    summary = _native.CheckSummary()
    try:
        _call(_lib().volkit_check_volume(ctypes.byref(device.struct), _native.CHECK_CALLBACK(found), None,
                                         ctypes.byref(summary)))
    finally:
        device.close()
    clean = summary.damage == 0 and summary.leaks == 0 and bool(summary.complete)
    return CheckResult(clean, problems)


class Volume:
    """One session on the volume in an image file: changes are written by the
    time `close` (or the end of the `with` block) returns."""

    def __init__(self, path, write=False):
        self._writable = write
        self._device = _ImageDevice(path, write)
        handle = ctypes.c_void_p()
        try:
            _call(_lib().volkit_open_volume(ctypes.byref(self._device.struct), ctypes.byref(handle)))
        except BaseException:
            self._device.close()
            raise
        self._handle = handle

    def __enter__(self):
        return self

    def __exit__(self, failed, *_):
        try:
            self.close()
        except Error:
            if failed is None:
                raise

    def close(self):
        if self._handle is None:
            return
        handle, self._handle = self._handle, None
        try:
            ok = _lib().volkit_close_volume(handle)
            message = None if ok else _last_error()
        finally:
            self._device.close()
        if message is not None:
            raise Error(message)

    def _volume(self, changes=False):
        if self._handle is None:
            raise Error("The volume is closed")
        if changes and not self._writable:
            raise Error("Volume is open for reading only: open it with write=True to change it")
        return self._handle

    def _open(self, function, path, changes=False):
        handle = ctypes.c_void_p()
        _call(function(self._volume(changes), _path(path), ctypes.byref(handle)))
        return handle

    def _file(self, path):
        lib = _lib()
        return _Handle(self._open(lib.volkit_open_file_utf8, path), lib.volkit_close_file)

    def listdir(self, path="/"):
        """The names in the directory, without DOS aliases or the file
        system's own files."""
        lib = _lib()
        names = []

        def collect(entry, _context):
            try:
                e = entry.contents
                if e.name_space != _DOS_NAMESPACE and (e.file_reference & 0xFFFFFFFFFFFF) >= _FIRST_USER_RECORD:
                    names.append(e.name_utf8.decode("utf-8", "replace"))
                return True
            except Exception:
                return False

        with _Handle(self._open(lib.volkit_open_dir_utf8, path), lib.volkit_close_dir) as handle:
            _call(lib.volkit_enum_dir(handle, _native.DIR_CALLBACK(collect), None))
        return names

    def read(self, path):
        """The whole contents of a file, as bytes."""
        lib = _lib()
        with self._file(path) as handle:
            size = ctypes.c_uint64()
            _call(lib.volkit_get_file_size(handle, ctypes.byref(size)))
            data = ctypes.create_string_buffer(size.value)
            for offset in range(0, size.value, _CHUNK):
                length = min(_CHUNK, size.value - offset)
                _call(lib.volkit_read_file(handle, offset, ctypes.addressof(data) + offset, length))
            return data.raw

    def write(self, path, data):
        """Creates the file, or replaces its contents, with `data` (bytes-like)."""
        lib = _lib()
        data = bytes(data)
        buffer = ctypes.create_string_buffer(data, len(data))
        try:
            handle, created = self._open(lib.volkit_open_file_utf8, path, changes=True), False
        except Error:
            handle, created = self._open(lib.volkit_create_file_utf8, path, changes=True), True
        with _Handle(handle, lib.volkit_close_file):
            # First the size, which a directory opened as a file refuses.
            _call(lib.volkit_set_file_size(handle, len(data)))
            for offset in range(0, len(data), _CHUNK):
                length = min(_CHUNK, len(data) - offset)
                _call(lib.volkit_write_file(handle, offset, ctypes.addressof(buffer) + offset, length))
            _stamp(handle, lib.volkit_get_file_times, lib.volkit_set_file_times, created)

    def mkdir(self, path):
        lib = _lib()
        with _Handle(self._open(lib.volkit_create_dir_utf8, path, changes=True), lib.volkit_close_dir) as handle:
            _stamp(handle, lib.volkit_get_dir_times, lib.volkit_set_dir_times, True)

    def remove(self, path):
        """Deletes a file (not a directory)."""
        lib = _lib()
        self._delete(lib.volkit_delete_file, lib.volkit_close_file, self._open(lib.volkit_open_file_utf8, path, changes=True))

    def rmdir(self, path):
        """Deletes an empty directory."""
        lib = _lib()
        self._delete(lib.volkit_delete_dir, lib.volkit_close_dir, self._open(lib.volkit_open_dir_utf8, path, changes=True))

    @staticmethod
    def _delete(delete, close, handle):
        # A failed delete leaves the handle open: it is closed, and the
        # delete's message is the one raised.
        if delete(handle):
            return
        message = _last_error()
        close(handle)
        raise Error(message)

    def stat(self, path):
        lib = _lib()
        with self._file(path) as handle:
            size = ctypes.c_uint64()
            times = _native.Times()
            _call(lib.volkit_get_file_size(handle, ctypes.byref(size)))
            _call(lib.volkit_get_file_times(handle, ctypes.byref(times)))
        return Stat(size.value, bool(times.attributes & _DIRECTORY), _from_ntfs_time(times.last_write_time))
