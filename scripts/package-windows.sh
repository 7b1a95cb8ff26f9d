#!/usr/bin/env bash
# Builds the Windows packages from the cross build of scripts/build-windows.sh:
#   build-windows/DUXKUpdate-<version>-setup.exe   the installer (NSIS, 64-bit,
#       for all users: Program Files, a Start-menu shortcut, an uninstaller in
#       the list of installed programs; /S installs silently)
#   build-windows/DUXKUpdate-<version>-win64.zip   the same programs and README
#       for use without installing
# The version is the CMake project's. Both files are reproducible: the same
# programs give the same bytes (fixed file times and order).
# Usage: scripts/package-windows.sh [--no-build]   (--no-build: package what
# build-windows/bin holds)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh nsis python3
[ "${1:-}" = "--no-build" ] || bash scripts/build-windows.sh >/dev/null

out=build-windows
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/CMakeCache.txt")
[[ "$version" =~ ^[0-9]+(\.[0-9]+){0,3}$ ]] || { echo "no project version in $out/CMakeCache.txt" >&2; exit 1; }
# The four numbers of a Windows version record.
IFS=. read -r -a parts <<<"$version"
while [ ${#parts[@]} -lt 4 ]; do parts+=(0); done
quad=$(IFS=.; echo "${parts[*]}")

for program in duxkupdate.exe duxk.exe; do
  [ -f "$out/bin/$program" ] || { echo "missing $out/bin/$program: run scripts/build-windows.sh" >&2; exit 1; }
done

# The files shipped, staged with fixed times: the README as Windows text.
stage=$out/package/stage
rm -rf "$out/package"
mkdir -p "$stage"
# The programs without their symbol tables (half their size).
for program in duxkupdate.exe duxk.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$program" "$out/bin/$program"
done
cp data/icons/duxkupdate.ico "$stage/"
sed 's/\r*$/\r/' README.md >"$stage/README.txt"
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}
touch -d "@$epoch" "$stage"/*

setup=$out/DUXKUpdate-$version-setup.exe
zip=$out/DUXKUpdate-$version-win64.zip
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DVERSION_QUAD="$quad" -DSTAGE="$PWD/$stage" \
  -DOUTFILE="$PWD/$setup" data/windows/duxkupdate.nsi

# The zip: a folder DUXKUpdate-<version> with the programs and the README.
python3 - "$zip" "DUXKUpdate-$version" "$epoch" "$stage" <<'EOF'
import sys, time, zipfile
zip_path, folder, epoch, stage = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
stamp = time.gmtime(max(epoch, 315532800))[:6]
with zipfile.ZipFile(zip_path + ".new", "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    for name in ("duxkupdate.exe", "duxk.exe", "README.txt"):
        info = zipfile.ZipInfo(folder + "/" + name, stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        with open(stage + "/" + name, "rb") as f:
            z.writestr(info, f.read())
EOF
mv "$zip.new" "$zip"

ls -l "$setup" "$zip"
