#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite.
# Usage: scripts/test.sh [preset]   (default, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/deps.sh
scripts/build.sh "$preset"
export QT_QPA_PLATFORM=offscreen
# The protocol waits are real time: a test that loses a race against a loaded
# machine gets one more try; a real fault fails both.
ctest --preset "$preset" -j2 --repeat until-pass:2
