#!/usr/bin/env bash
# The main job: build, make a small NTFS image and open it through the library.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
./scripts/build.sh

mkdir -p out
image=out/demo.img
rm -f "$image"
truncate -s 64M "$image"
mkntfs -F -Q -q -L demo "$image" >/dev/null 2>&1
echo "Made $image (64 MiB, NTFS)"
./build/examples/volkit_open_volume "$image"
