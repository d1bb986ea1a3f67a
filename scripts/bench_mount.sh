#!/usr/bin/env bash
# Times the same workloads on `volkit mount` and on an ntfs-3g FUSE mount of
# the same fresh image, one after the other: untar of a tree, find + stat of
# every file, a sequential write and read, small-file create and delete.
# Needs root (or fuse permissions), /dev/fuse, ntfs-3g and the built tool.
# VOLKIT_BENCH_FILES (default 100000) sets the number of small files and
# VOLKIT_BENCH_MIB (default 1024) the size of the sequential file; --quick
# shrinks both. VOLKIT_BENCH_ROUNDS (default 3) sets how many times both run,
# one after the other, so that a load that comes and goes on a shared machine
# falls on both alike. Prints one table: workload, then the median volkit and
# ntfs-3g seconds over the rounds.
set -euo pipefail
cd "$(dirname "$0")/.."

tool=${VOLKIT_TOOL:-build-bench/tools/volkit}
files=${VOLKIT_BENCH_FILES:-100000}
mib=${VOLKIT_BENCH_MIB:-1024}
rounds=${VOLKIT_BENCH_ROUNDS:-3}
if [[ "${1:-}" == --quick ]]; then files=2000; mib=64; fi
[[ -x "$tool" ]] || { echo "bench_mount: $tool is not built" >&2; exit 1; }
[[ -e /dev/fuse ]] || { echo "bench_mount: /dev/fuse missing" >&2; exit 1; }
command -v ntfs-3g >/dev/null || { echo "bench_mount: ntfs-3g missing" >&2; exit 1; }

work=$(mktemp -d)
trap 'umount "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/mnt" "$work/tree"
# The tree to untar: the repository's sources, copied a few times.
for i in 1 2 3 4; do cp -r src "$work/tree/src$i"; done
tar -C "$work/tree" -cf "$work/tree.tar" .

seconds() {  # seconds COMMAND...: the wall time of the command, in seconds
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

make_small() { mkdir "$1/small" && (cd "$1/small" && seq 1 "$files" | xargs touch); }
stat_all() { find "$1" -type f -print0 | xargs -0 stat -c %s >/dev/null; }
write_seq() { dd if=/dev/zero of="$1/seq.bin" bs=1M count="$mib" conv=fsync status=none; }
read_seq() { cat "$1/seq.bin" >/dev/null; }

declare -A result
record() {  # record NAME ROW SECONDS: appends to the row's list of seconds
  result[$1,$2]="${result[$1,$2]:-} $3"
}
median() {  # median SECONDS...
  printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
run_on() {  # run_on NAME MOUNT-COMMAND...
  local name=$1; shift
  rm -f "$work/vol.img"
  "$tool" mkfs "$work/vol.img" --size $((mib * 2 + 2048))M >/dev/null
  "$@"
  local m=$work/mnt
  record "$name" "untar" "$(seconds tar -C "$m" -xf "$work/tree.tar")"
  record "$name" "small create" "$(seconds make_small "$m")"
  record "$name" "find + stat" "$(seconds stat_all "$m")"
  record "$name" "small delete" "$(seconds rm -r "$m/small")"
  record "$name" "write ${mib} MiB" "$(seconds write_seq "$m")"
  umount "$m"
  sleep 1
  "$@"
  echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true
  record "$name" "read ${mib} MiB" "$(seconds read_seq "$m")"
  umount "$m"
  # The tool writes the volume back after the unmount; wait for its lock.
  while ! flock -n "$work/vol.img" true; do sleep 0.2; done
}

for ((round = 1; round <= rounds; round++)); do
  run_on volkit "$tool" mount "$work/vol.img" "$work/mnt"
  run_on ntfs-3g ntfs-3g "$work/vol.img" "$work/mnt"
done

printf '%-16s %10s %10s\n' workload volkit ntfs-3g
for row in untar "small create" "find + stat" "small delete" "write ${mib} MiB" "read ${mib} MiB"; do
  # shellcheck disable=SC2086 # the lists split into their numbers
  printf '%-16s %10.2f %10.2f\n' "$row" "$(median ${result[volkit,$row]})" "$(median ${result[ntfs-3g,$row]})"
done
echo "(small files: $files; medians of $rounds rounds)"
