#!/bin/sh
# Saves pictures of the Windows desktop application's windows into
# docs/windows-*.png: the main window while searching and after the sensor
# was found, the About box, each dialog (the update dialog in the middle of
# an update) and a message box (the update's result). Runs duxkupdate.exe
# under Wine on Xvfb against the virtual sensor on COM1; the windows test's
# UI driver (duxk-uidriver.exe) works the windows and takes the pictures.
# Development only.
#
#   docs/windows-screenshots.sh [BUILD_DIR] [WINDOWS_BUILD_DIR]
#       (defaults: build, build-windows; scripts/build.sh and
#       scripts/build-windows.sh make them)
#
# Its Wine prefix (BUILD_DIR/wine-prefix-shots, kept: its first set-up takes
# a minute) shows the windows on a virtual desktop, where Wine draws their
# frames and captions, with Wine's own fonts (Tahoma for the dialogs' MS Sans
# Serif, Marlett for the caption buttons) as Windows has them.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$(cd "${1:-$root/build}" && pwd)
winbuild=$(cd "${2:-$root/build-windows}" && pwd)
app=$winbuild/bin/duxkupdate.exe
driver=$winbuild/tests/duxk-uidriver.exe
for tool in "$build/bin/duxk-sensor-sim" "$build/bin/duxk-mkfw" "$app" "$driver"; do
    [ -f "$tool" ] || { echo "missing $tool: build the project and its Windows build first" >&2; exit 2; }
done
for tool in wine wineboot wineserver xvfb-run convert; do
    command -v "$tool" >/dev/null || { echo "$tool is needed (apt-get install wine wine64 xvfb imagemagick)" >&2; exit 2; }
done

export WINEPREFIX="$build/wine-prefix-shots" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
com1=$WINEPREFIX/duxk-com1
if [ ! -f "$WINEPREFIX/duxk-ready" ]; then
    echo "Setting up the Wine prefix $WINEPREFIX ..."
    wineboot -i >/dev/null 2>&1
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$com1" /f >/dev/null
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null
    for font in /usr/share/wine/fonts/*; do ln -sf "$font" "$WINEPREFIX/drive_c/windows/Fonts/"; done
    wineserver -w
    touch "$WINEPREFIX/duxk-ready"
fi

work=$(mktemp -d /tmp/duxk-winshots-XXXXXX)
sim_pid=""
app_pid=""
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    wineserver -k 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -f "$com1"
    for var in TEMP TMP; do wine reg add 'HKCU\Environment' /v "$var" /d 'C:\users\'"$(id -un)"'\Temp' /f >/dev/null 2>&1; done
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

mkdir -p "$work/state" "$work/shots" "$work/temp" "$WINEPREFIX/drive_c/Firmware"
# A %TEMP% of this run's own (Wine takes it from the user's registry
# environment): no update marker of an earlier, interrupted run is reported
# at the start, and the search starts without a remembered port.
for var in TEMP TMP; do wine reg add 'HKCU\Environment' /v "$var" /d "$(winpath "$work/temp")" /f >/dev/null; done
# Names as a user's would be: the firmware in C:\Firmware, the calibration
# file's default in the Public Documents, where the Start menu's shortcut
# starts the program.
firmware=$WINEPREFIX/drive_c/Firmware/dux_k52.bin
"$build/bin/duxk-mkfw" "$firmware" --version 3.11 --size 32768 >/dev/null
cd "$WINEPREFIX/drive_c/users/Public/Documents"
# COM1 leads nowhere yet: the first picture shows the search.
rm -f "$com1"
ln -s "$work/no-sensor-yet" "$com1"
wineserver -k 2>/dev/null || true
wineserver -w
xvfb-run -a -f "$work/xauth" -s "-screen 0 1024x768x24" \
    sh -c 'echo "$DISPLAY" > "$0"; exec "$@"' "$work/display" wine "$app" >"$work/app.out" 2>&1 &
app_pid=$!
while [ ! -s "$work/display" ]; do sleep 0.2; done
export DISPLAY="$(cat "$work/display")" XAUTHORITY="$work/xauth"
ui() {
    status=0
    DUXK_UI_TIMEOUT=120 wine "$driver" "$@" >"$work/ui.out" 2>&1 || status=$?
    tr -d '\r' <"$work/ui.out"
    return $status
}
shot() { printf 'shot|%s\n' "$(winpath "$work/shots/$1.bmp")"; }

ui frame "view|Now trying" "$(shot main-searching)"
# The sensor appears; the search finds it on its next round. It runs paced
# with the data sheet's erase time, so that the update takes long enough
# to be pictured half-way.
"$build/bin/duxk-sensor-sim" --state "$work/state" --serial K52DOC001 --pace >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
while [ ! -s "$work/sim.out" ]; do sleep 0.1; done
ln -sfn "$(head -n 1 "$work/sim.out")" "$com1"

ui frame "view|Sensor found" "$(shot main-found)" \
    "menu|57664" "dialog|About DUXKUpdate" "$(shot about)" close \
    "menu|32771" "dialog|Specification" "get|1008|serial" "$(shot info-listing)" close \
    "menu|32773" "dialog|Selftest" "get|1008|ERR:TEXT no error" "$(shot selftest)" close \
    "menu|32774" "dialog|Calibration Data" "$(shot calibration)" close \
    "menu|32777" "dialog|Backup Flash" "$(shot backup)" close \
    "menu|32775" "dialog|Firmware Update" "set|1000|C:\\Firmware\\dux_k52.bin" "click|1005" \
    "bar|1004|40" "$(shot update)" \
    "box|Success|Firmware transferred successfully" "$(shot update-result)" ok close \
    "menu|57665"
wait "$app_pid" || true
app_pid=""

for bmp in "$work"/shots/*.bmp; do
    name=$(basename "$bmp" .bmp)
    convert "$bmp" -strip -define png:exclude-chunks=date,time "$here/windows-$name.png"
done
ls -l "$here"/windows-*.png
