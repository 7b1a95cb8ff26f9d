#!/usr/bin/env bash
# Configures and builds DUXKUpdate into build/ (or the preset given, e.g. asan).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
