#!/usr/bin/env bash
# Runs the test suite with two CPU-bound processes beside it, several times in
# a row, the way a shared build machine would treat it. Every run must pass
# without retries.
# Usage: scripts/test-under-load.sh [RUNS] [preset]   (default 3, default)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-3}"
preset="${2:-default}"
export QT_QPA_PLATFORM=offscreen

burners=()
stop_burners() { for p in "${burners[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap stop_burners EXIT
for _ in 1 2; do
  ( while :; do :; done ) &
  burners+=($!)
done

for i in $(seq "$runs"); do
  echo "== run $i of $runs with two CPU-bound processes beside it"
  ctest --preset "$preset" -j2 --output-on-failure
done
