#!/usr/bin/env bash
# Writes cmake/volkit-tool.order: the functions of the `volkit` tool that its
# start-up and `volkit mkfs` run, then those the everyday commands add, so
# that the linker lays them out side by side (cmake/ToolLink.cmake). Run it on
# a Release build's tool after changing what those paths run:
#   scripts/tool-order.sh build-bench/tools/volkit
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:?usage: $0 TOOL}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {
    valgrind --tool=callgrind --demangle=no --compress-strings=no --compress-pos=no \
        --callgrind-out-file="$work/out.$1" "${@:2}" >/dev/null 2>&1
}
truncate -s 64G "$work/image"
run version "$tool" --version
run mkfs "$tool" mkfs "$work/image"
# Then the everyday commands, after mkfs's functions so as not to spread those.
echo "a file" > "$work/file"
run put "$tool" put "$work/image" "$work/file" /file
run ls "$tool" ls "$work/image" /
run cat "$tool" cat "$work/image" /file
run stat "$tool" stat "$work/image" /file
run info "$tool" info "$work/image"
run check "$tool" check "$work/image"

{
    echo "# Functions of the volkit tool run by its start-up, mkfs, then put, ls, cat, stat, info, check (scripts/tool-order.sh)."
    # The C runtime's start-up code, which callgrind lists by address only.
    printf '%s\n' _start deregister_tm_clones register_tm_clones __do_global_dtors_aux frame_dummy
    # The tool's own functions: those listed under its object ("ob=") in each profile.
    for profile in version mkfs put ls cat stat info check; do
        awk -v tool="$tool" '/^ob=/ { mine = (substr($0, 4) == tool) } mine && /^fn=[^0]/ { print substr($0, 4) }' \
            "$work/out.$profile"
    done | awk '!seen[$0]++'
} > cmake/volkit-tool.order
echo "cmake/volkit-tool.order: $(grep -vc '^#' cmake/volkit-tool.order) functions"
