#!/usr/bin/env bash
# cmake --install into a scratch prefix: the programs, gzipped manual pages,
# bash completion, desktop entry and icons land where Debian expects them.
set -u
build=${DUXK_BUILD_DIR:?}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cmake --install "$build" --prefix "$dir/usr" >"$dir/install.log" 2>&1 || { cat "$dir/install.log"; exit 1; }

failed=0 passed=0
check() {
    if [ -e "$dir/usr/$1" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: missing /usr/$1"; fi
}
for f in bin/duxk bin/duxkupdate bin/duxk-sensor-sim \
         share/man/man1/duxk.1.gz share/man/man1/duxkupdate.1.gz share/man/man1/duxk-sensor-sim.1.gz \
         share/bash-completion/completions/duxk share/applications/duxkupdate.desktop \
         share/icons/hicolor/scalable/apps/duxkupdate.svg share/icons/hicolor/48x48/apps/duxkupdate.png \
         share/icons/hicolor/256x256/apps/duxkupdate.png share/doc/duxkupdate/copyright \
         share/doc/duxkupdate/changelog.gz; do
    check "$f"
done
# The manual pages carry the programs' options; the desktop entry starts
# the installed program by the icon's name.
for page in duxk:--port duxkupdate:/port: duxk-sensor-sim:--com; do
    if zcat "$dir/usr/share/man/man1/${page%%:*}.1.gz" 2>/dev/null | sed "s/\\\\-/-/g" | grep -q -- "${page#*:}"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1)); echo "FAIL: ${page%%:*}.1 does not mention ${page#*:}"
    fi
done
entry=$dir/usr/share/applications/duxkupdate.desktop
if grep -qx 'Exec=duxkupdate' "$entry" && grep -qx 'Icon=duxkupdate' "$entry"; then
    passed=$((passed + 1))
else
    failed=$((failed + 1)); echo "FAIL: desktop entry's Exec/Icon"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
