#!/usr/bin/env bash
# volkit.exe (and so volkit.dll) under Wine reads each kind of file beyond
# plain data byte for byte: LZNT1 compressed, sparse, a named stream, and
# system-compressed (XPRESS and LZX). The image is written on this machine by
# libntfs-3g and wimlib's compressors (volkit_make_kinds from the native build).
#   tool_kinds.sh WORKDIR MAKER COMMAND...   (COMMAND: the launcher and volkit.exe)
# Exits 77 (skipped) when the maker was not built or cannot run here.
set -uo pipefail
work=$1
maker=$2
shift 2
fail() { echo "FAILED: $*"; exit 1; }
[ -x "$maker" ] || { echo "skipped: no native volkit_make_kinds at '$maker' (build the native tree first)"; exit 77; }

rm -rf "$work" && mkdir -p "$work/expected" "$work/out" && cd "$work" || fail "no work directory $work"
"$maker" kinds.img expected
status=$?
[ $status = 77 ] && exit 77
[ $status = 0 ] || fail "volkit_make_kinds"

checked=0
while IFS=$'\t' read -r path name; do
  "$@" get kinds.img "$path" "out/$name" || fail "get $path"
  cmp "out/$name" "expected/$name" || fail "get $path differs from what was written"
  "$@" cat kinds.img "$path" | cmp - "expected/$name" || fail "cat $path differs from what was written"
  checked=$((checked + 1))
done <expected/kinds.txt
[ $checked -ge 5 ] || fail "only $checked kinds were listed"
"$@" stat kinds.img /plain.txt | tr -d '\r' | grep -qx "stream: *extra (70000 bytes)" || fail "stat lists no stream"
echo "volkit.exe read $checked kinds of file byte for byte"
