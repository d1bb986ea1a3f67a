#!/usr/bin/env bash
# The Windows test programs cannot unpack the shared corpus nor run The Sleuth
# Kit: this unpacks each image on this machine into OUT/NAME/ and writes what
# `fls -r -p` lists in it to OUT/NAME.fls, for the corpus tests under Wine.
# Unpacked afresh each time: the volume suite's corpus test changes them.
#   prepare_corpus.sh SHARED_DIR OUT
# Exits 77 (skipped) when the corpus, tar or fls is missing.
set -uo pipefail
corpus=$1/corpus out=$2
[ -d "$corpus" ] || { echo "skipped: no corpus in $corpus"; exit 77; }
for tool in tar fls; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
rm -rf "$out" && mkdir -p "$out" || exit 1
find "$corpus" -name '*.img.tar.xz' | sort | while read -r archive; do
  name=$(basename "$(dirname "$archive")")
  [ "$(dirname "$archive")" = "$corpus" ] && name=ntfs_default
  mkdir "$out/$name" && tar -xJf "$archive" -C "$out/$name" || exit 1
  # A damaged image may list in part and then fail: the part is what counts.
  fls -r -p "$out/$name"/* >"$out/$name.fls" 2>/dev/null
done
