#!/usr/bin/env bash
# The main job: build the library, the tool and one example (no tests, no
# benchmarks), make a small NTFS image and open it through the library, then
# format one with the tool and copy a tree through it.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target volkit_tool volkit_open_volume

mkdir -p out
image=out/demo.img
rm -f "$image"
truncate -s 64M "$image"
mkntfs -F -Q -q -L demo "$image" >/dev/null 2>&1
echo "Made $image (64 MiB, NTFS)"
./build/examples/volkit_open_volume "$image"

# The tool: format an image, copy a directory tree in, list it, copy it out
# and compare.
volkit=./build/tools/volkit
tool_image=out/tool-demo.img
rm -rf "$tool_image" out/tool-copy
"$volkit" mkfs "$tool_image" --size 64M
"$volkit" put "$tool_image" src /src -r
"$volkit" ls "$tool_image" /src
"$volkit" ls -l "$tool_image" '/src/api/*.h'
"$volkit" get "$tool_image" /src out/tool-copy -r
diff -r src out/tool-copy
echo "Copied src in and out of $tool_image: identical"
"$volkit" info "$tool_image"
