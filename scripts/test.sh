#!/usr/bin/env bash
# The whole test suite, twice: a normal build and an ASan+UBSan build.
# Installs missing packages first. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh || exit 1
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

if [ $status -eq 0 ]; then echo "All tests passed in both builds."; else echo "Tests FAILED."; fi
exit $status
