#!/usr/bin/env bash
# Installs the Debian packages needed to build and test DUXKUpdate.
# Skips apt entirely when everything is already there.
# Extra packages come as arguments, from the scripts that need them: for
# example g++-mingw-w64-x86-64-posix (scripts/build-windows.sh, the Windows
# build of duxk) and wine wine64 (.ci/run, duxk.exe tested under Wine).
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config qt6-base-dev libunicorn-dev nasm libcli11-dev
          libgtest-dev libgmock-dev help2man clang-format)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
