#!/usr/bin/env bash
# volkit.exe under Wine: formats an image, copies a small tree with a name
# beyond the Basic Multilingual Plane in and back out, lists and checks it;
# then libntfs-3g's tools and The Sleuth Kit read the image on this machine.
#   tool_smoke.sh WORKDIR COMMAND...   (COMMAND: the launcher and volkit.exe)
# Exits 77 (skipped) when a checker is missing.
set -uo pipefail
work=$1
shift
for tool in ntfsfix ntfscat fls icat; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
fail() { echo "FAILED: $*"; exit 1; }
export LC_ALL=C.UTF-8
odd='𝄞 clef.txt'

rm -rf "$work" && mkdir -p "$work/tree/sub" && cd "$work" || fail "no work directory $work"
echo "a name beyond the Basic Multilingual Plane" >"tree/$odd"
seq -f '%07g' 0 99999 >tree/sub/big.txt
"$@" mkfs disk.img --size 32M --label Smoke || fail "mkfs"
"$@" put disk.img tree / -r || fail "put -r"
"$@" ls -R disk.img /tree | tr -d '\r' >ls.txt || fail "ls -R"  # Windows ends lines with CR LF
grep -qxF "$odd" ls.txt && grep -qx big.txt ls.txt || fail "ls -R lists $(cat ls.txt)"
"$@" get disk.img /tree back -r || fail "get -r"
diff -r tree back || fail "the tree copied out differs"
"$@" check disk.img || fail "check"
"$@" info disk.img | tr -d '\r' >info.txt && grep -qx "label: *Smoke" info.txt && grep -qx "NTFS version: *3.1" info.txt ||
  fail "info: $(cat info.txt)"
"$@" ls disk.img / --engine ntfs3g 2>err.txt
[ $? = 2 ] && grep -q "not available" err.txt || fail "--engine ntfs3g: $(cat err.txt)"

ntfsfix -n disk.img >/dev/null || fail "ntfsfix -n refuses the image"
ntfscat disk.img /tree/sub/big.txt | cmp - tree/sub/big.txt || fail "ntfscat big.txt"
[ "$(ntfscat disk.img "/tree/$odd")" = "$(cat "tree/$odd")" ] || fail "ntfscat $odd"
fls -r -p disk.img >fls.txt || fail "fls"
record=$(grep -P "^r/r \d+-128-\d+:\t\Qtree/$odd\E\$" fls.txt | sed 's/^r\/r \([0-9]*\)-.*/\1/')
[ -n "$record" ] && [ "$(icat disk.img "$record")" = "$(cat "tree/$odd")" ] || fail "fls/icat $odd"
echo "volkit.exe's image reads back through libntfs-3g and The Sleuth Kit"
