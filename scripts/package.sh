#!/usr/bin/env bash
# Builds the Debian package build/duxkupdate_<version>_<arch>.deb from the
# default build (CPack; dependencies computed by dpkg-shlibdeps) and checks
# it with lintian, which must report no errors.
# Usage: scripts/package.sh [--no-lintian]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh dpkg-dev help2man lintian
scripts/build.sh default
rm -rf build/package
(cd build && cpack -G DEB -B "$PWD/package" >package.log 2>&1) || { cat build/package.log; exit 1; }
deb=$(ls build/package/duxkupdate_*.deb)
cp "$deb" build/
deb=build/$(basename "$deb")
echo "Package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends
[ "${1:-}" = "--no-lintian" ] && exit 0
# Errors fail the build; warnings are listed.
lintian --tag-display-limit 0 "$deb" | tee build/lintian.log
if grep -q '^E: ' build/lintian.log; then
  echo "lintian reports errors" >&2
  exit 1
fi
