#!/usr/bin/env bash
# Formats the tree's C/C++ sources with the one .clang-format at its root.
# Usage: scripts/format.sh [--check]
#   --check  changes nothing; lists the files that differ from the style and
#            fails when there is any (exit 1). Exit 77 when clang-format is
#            not installed (scripts/deps.sh clang-format installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
case "${1:-}" in
  --check) check=1 ;;
  "") ;;
  *) echo "usage: scripts/format.sh [--check]" >&2; exit 2 ;;
esac
if ! command -v clang-format >/dev/null 2>&1; then
  echo "scripts/format.sh: clang-format is not installed (scripts/deps.sh clang-format)" >&2
  exit 77
fi
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "scripts/format.sh: not a git checkout: the sources to format are the tracked ones" >&2
  exit 77
fi

# Every tracked C/C++ source; nothing generated or third-party is tracked.
mapfile -d '' files < <(git ls-files -z -- '*.c' '*.cpp' '*.h' '*.hpp')
[ ${#files[@]} -eq 0 ] && exit 0

if [ $check -eq 0 ]; then
  clang-format -i --style=file "${files[@]}"
  exit 0
fi
differ=()
for f in "${files[@]}"; do
  if ! clang-format --style=file "$f" | cmp -s - "$f"; then differ+=("$f"); fi
done
if [ ${#differ[@]} -ne 0 ]; then
  printf 'not formatted: %s\n' "${differ[@]}" >&2
  echo "run scripts/format.sh to format them" >&2
  exit 1
fi
