#!/usr/bin/env bash
# Cross-builds duxk and the desktop application for 64-bit Windows with
# MinGW-w64 into build-windows/bin/duxk.exe and build-windows/bin/duxkupdate.exe:
# stand-alone executables (C++ runtime, libgcc and winpthread linked in). The
# virtual sensor and the tests are not part of this build.
set -euo pipefail
cd "$(dirname "$0")/.."
# The posix-threads variant of the compiler: std::thread and std::mutex.
bash scripts/deps.sh g++-mingw-w64-x86-64-posix
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)"
echo "build-windows/bin/duxk.exe"
echo "build-windows/bin/duxkupdate.exe"
