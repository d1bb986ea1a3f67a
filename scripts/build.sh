#!/usr/bin/env bash
# Configures and builds into build/, build-sanitize/ with --sanitize, or
# build-windows/ with --windows (volkit.dll, the engine's tests and volkit.exe,
# cross-built with MinGW-w64; the filesystem family needs libntfs-3g and is
# left out, so the tool there has the native engine only).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
case "${1:-}" in
  --sanitize)
    dir=build-sanitize
    flags+=(-DVOLKIT_SANITIZE=ON -DVOLKIT_BUILD_BENCH=OFF) ;;
  --windows)
    dir=build-windows
    flags+=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVOLKIT_WITH_NTFS3G=OFF -DVOLKIT_BUILD_BENCH=OFF) ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
