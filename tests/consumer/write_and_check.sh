#!/usr/bin/env bash
# Has the consumer example (volkit_write_tree, a program that uses only the
# public API) write its tree into a fresh mkntfs image, then checks the tree
# with libntfs-3g's tools, The Sleuth Kit and ntfsck (where ../shared/tools has
# it). The program may format the image again itself (the C interface's
# example does). The command may start with a launcher, e.g. Wine for the
# Windows build.
#   write_and_check.sh WORKDIR COMMAND...
# Exits 77 (skipped) when a checker is missing.
set -uo pipefail
work=$1
shift
for tool in mkntfs ntfsfix ntfsls ntfscat fls icat; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
fail() { echo "FAILED: $*"; exit 1; }
export LC_ALL=C.UTF-8

mkdir -p "$work" && cd "$work" || fail "no work directory $work"
rm -f tree.img && truncate -s 64M tree.img && mkntfs -F -Q -q tree.img >/dev/null 2>&1 || fail "mkntfs"
"$@" tree.img || fail "the consumer program: $*"

odd='😀 été 日本.txt'
seq -f '%07g' 0 524287 >big.expected
ntfsfix -n tree.img >/dev/null || fail "ntfsfix -n refuses the image"
ntfsck="$(cd "$(dirname "$0")/../.." && pwd)/../shared/tools/ntfsck/ntfsck"
if [ -x "$ntfsck" ]; then
  verdict=$("$ntfsck" -n tree.img 2>&1 | tr '\r' '\n' | tee ntfsck.txt | tail -n 1)
  case "$verdict" in
    Clean*) ;;
    *) fail "ntfsck -n: $verdict $(grep -E '^Inode\(|Fix it\?' ntfsck.txt)" ;;
  esac
else
  echo "ntfsck skipped: $ntfsck is missing"
fi
ntfscat tree.img /tree/big.bin | cmp - big.expected || fail "ntfscat /tree/big.bin"
[ "$(ntfscat tree.img /tree/docs/a/b/c/deep.txt)" = deep ] || fail "ntfscat deep.txt"
[ "$(ntfscat tree.img "/tree/$odd")" = "A name beyond the Basic Multilingual Plane" ] || fail "ntfscat $odd"
[ "$(ntfsls tree.img -p /tree/many | grep -c '^file-[0-9]*\.txt$')" = 200 ] || fail "ntfsls /tree/many"

fls -r -p tree.img >fls.txt || fail "fls"
inode() { grep -P "^r/r \d+-128-\d+:\t\Q$1\E\$" fls.txt | sed 's/^r\/r \([0-9]*\)-.*/\1/'; }
[ "$(grep -cP '^r/r \d+-128-\d+:\ttree/many/file-\d{3}\.txt$' fls.txt)" = 200 ] || fail "fls tree/many"
[ -n "$(inode tree/docs/a/b/c/deep.txt)" ] || fail "fls tree/docs/a/b/c/deep.txt"
icat tree.img "$(inode tree/big.bin)" | cmp - big.expected || fail "icat tree/big.bin"
[ "$(icat tree.img "$(inode "tree/$odd")")" = "A name beyond the Basic Multilingual Plane" ] || fail "icat $odd"
echo "the tree reads back through libntfs-3g and The Sleuth Kit; ntfsfix and ntfsck accept the volume"
