#!/usr/bin/env bash
# The main job without hardware: installs what is needed, builds, starts a
# virtual DUX-K52 on a pseudo-terminal mapped as COM1 (running firmware
# V3.00), finds it, and updates its firmware to the sample image V3.10.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh

bin=build/bin
work=$(mktemp -d /tmp/duxk-demo.XXXXXX)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A private port map and temporary directory, so nothing on this machine is touched.
export DUXK_PORTS_DIR="$work/ports" TEMP="$work"

"$bin/duxk-mkfw" "$work/dux_k52_v3.00.bin" --version 3.00 >/dev/null
"$bin/duxk-sensor-sim" --com 1 --state "$work/sensor" --firmware "$work/dux_k52_v3.00.bin" \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
echo "Virtual sensor on $(head -n1 "$work/sim.out"), mapped as COM1"
echo

echo "== duxk find"
"$bin/duxk" find
echo
echo "== duxk update build/firmware/dux_k52_v3.10.bin"
"$bin/duxk" update build/firmware/dux_k52_v3.10.bin
echo
echo "== the sensor after the update"
"$bin/duxk" find
