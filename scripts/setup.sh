#!/usr/bin/env bash
# Installs the Debian packages Volkit needs, only those that are missing.
# With --windows also what the Windows build needs: the MinGW-w64 compilers
# (posix threads), Wine and GoogleTest's sources.
set -euo pipefail

packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          ntfs-3g ntfs-3g-dev sleuthkit xz-utils tar jq libwim-dev python3-venv python3-pytest python3-wheel
          libfuse3-dev fuse3 git rsync fio stress-ng lld)
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 googletest)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
