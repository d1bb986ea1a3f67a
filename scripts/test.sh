#!/usr/bin/env bash
# The whole test suite, three times: a normal build, an ASan+UBSan build, and
# the Windows build (MinGW-w64) whose tests run under Wine; then every fuzz
# target for a short while. Installs missing packages first. Exits non-zero on
# any failure.
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh --windows || exit 1
jobs=$(nproc 2>/dev/null || echo 2)
status=0

echo "=== Normal build"
if ./scripts/build.sh; then
  (cd build && ctest --output-on-failure -j "$jobs") || status=1
else
  status=1
fi

echo "=== Sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
if ./scripts/build.sh --sanitize; then
  (cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j "$jobs") || status=1
else
  status=1
fi

echo "=== Windows build (MinGW-w64; tests under Wine, the consumer's image checked here)"
started=$SECONDS
if ./scripts/build.sh --windows; then
  (cd build-windows && ctest --output-on-failure -j "$jobs") || status=1
  WINEPREFIX="$PWD/build-windows/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
else
  status=1
fi
echo "Windows build and tests took $((SECONDS - started)) s"

echo "=== Fuzz targets, 20 s each (clang, the library instrumented)"
started=$SECONDS
./scripts/fuzz.sh 20 || status=1
echo "Fuzzing took $((SECONDS - started)) s"

if [ $status -eq 0 ]; then echo "All tests passed in the three builds, and fuzzing found nothing."; else echo "Tests FAILED."; fi
exit $status
