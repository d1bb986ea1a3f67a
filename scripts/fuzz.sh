#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the library instrumented, with
# AddressSanitizer and UBSan), makes their seeds, replays fuzz/regressions and
# runs every target for SECONDS (default 30) at low priority.
#   ./scripts/fuzz.sh [SECONDS] [TARGET...]     TARGET: volume write record runlist index path lznt1 xpress lzx
# Inputs that add coverage are kept in build-fuzz/corpus/TARGET for the next
# run; findings land in build-fuzz/findings/TARGET. Exits non-zero on any finding.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(volume write record runlist index path lznt1 xpress lzx)

./scripts/setup.sh || exit 1
missing=()
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" || exit 1
fi

dir=build-fuzz
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S . -B "$dir" -DVOLKIT_BUILD_FUZZ=ON -DVOLKIT_BUILD_TESTS=OFF -DVOLKIT_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -gline-tables-only" "${launcher[@]}" >/dev/null || exit 1
build=(volkit_fuzz_seeds)
for t in "${targets[@]}"; do build+=("volkit_${t}_fuzz"); done
nice cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target "${build[@]}" || exit 1

# Seeds: volumes made and filled here, and the shared corpus of damaged images.
seeds="$dir/seeds"
rm -rf "$seeds" "$dir/unpacked" && mkdir -p "$dir/unpacked"
corpus="${VOLKIT_SHARED_DIR:-$PWD/../shared}/corpus"
images=()
if [ -d "$corpus" ]; then
  n=0
  for archive in "$corpus"/*.tar.xz "$corpus"/*/*/*.tar.xz; do
    [ -f "$archive" ] || continue
    n=$((n + 1))
    mkdir -p "$dir/unpacked/$n" && tar -xJf "$archive" -C "$dir/unpacked/$n" || continue
    for image in "$dir/unpacked/$n"/*.img; do
      mv "$image" "$dir/unpacked/$(basename "$(dirname "$archive")")-$n.img" && images+=("$dir/unpacked/$(basename "$(dirname "$archive")")-$n.img")
    done
  done
fi
"$dir/fuzz/volkit_fuzz_seeds" "$seeds" "${images[@]}" || exit 1
rm -rf "$dir/unpacked"

declare -A seedDir=([volume]=images [write]=images [record]=records [runlist]=runlists [index]=index [path]=paths
                    [lznt1]=lznt1 [xpress]=xpress [lzx]=lzx)
status=0
for t in "${targets[@]}"; do
  binary="$dir/fuzz/volkit_${t}_fuzz"
  findings="$dir/findings/$t"
  mkdir -p "$dir/corpus/$t" "$findings"
  if compgen -G "fuzz/regressions/$t/*" >/dev/null; then
    echo "=== $t: replaying fuzz/regressions/$t"
    "$binary" -artifact_prefix="$findings/" fuzz/regressions/"$t"/* >"$findings/replay.log" 2>&1 ||
      { status=1; tail -n 40 "$findings/replay.log"; }
  fi
  echo "=== $t: fuzzing for $seconds s"
  nice -n 19 "$binary" -max_len=655360 -max_total_time="$seconds" -timeout=60 -rss_limit_mb=3072 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$dir/corpus/$t" "$seeds/${seedDir[$t]}" >"$findings/fuzz.log" 2>&1
  if [ $? -ne 0 ]; then
    status=1
    grep -E 'FINDING|ERROR|SUMMARY|Test unit written' "$findings/fuzz.log" | head -n 20
  fi
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|number_of_executed_units' "$findings/fuzz.log"
done

if [ $status -eq 0 ]; then echo "Fuzzing found nothing."; else echo "Fuzzing FOUND problems (see $dir/findings)."; fi
exit $status
