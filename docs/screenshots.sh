#!/bin/sh
# Saves pictures of the desktop application's windows into docs/: the main
# window while searching and after the sensor was found, the About box and
# each dialog (the update dialog in the middle of an update, and its result).
# Runs the development build duxkupdate-screenshots (the desktop application
# with a scripted tour through its windows; not installed) under Xvfb against
# the virtual sensor, with a private port map and temporary directory.
#
#   docs/screenshots.sh [BUILD_DIR]      (default: build)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build}
bin=$build/bin
tour=$build/dev/duxkupdate-screenshots
for tool in "$tour" "$bin/duxk-sensor-sim" "$bin/duxk-mkfw"; do
    [ -x "$tool" ] || { echo "missing $tool: build the project first" >&2; exit 2; }
done
command -v Xvfb >/dev/null || { echo "Xvfb is needed (apt-get install xvfb)" >&2; exit 2; }

work=$(mktemp -d /tmp/duxk-shots-XXXXXX)
sim_pid=""
xvfb_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/ports" "$work/temp" "$work/state"
export DUXK_PORTS_DIR="$work/ports"
export TEMP="$work/temp"

# A display of its own.
display=:$((90 + $$ % 9))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
sleep 1
export DISPLAY="$display"
export QT_QPA_PLATFORM=xcb

# The application starts searching; the virtual sensor (COM3) appears a few
# seconds later, so that the searching window can be pictured first.
"$bin/duxk-mkfw" "$work/firmware.bin" --version 3.11 --size 32768 >/dev/null
"$tour" "$here" "$work/firmware.bin" &
app_pid=$!
sleep 4
"$bin/duxk-sensor-sim" --com 3 --state "$work/state" --serial K52DOC001 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait "$app_pid"
ls -l "$here"/*.png
