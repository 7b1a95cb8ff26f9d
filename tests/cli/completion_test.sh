#!/usr/bin/env bash
# The bash completion of duxk: what it offers after each kind of word, and
# that it knows every command and option the built tool lists in its help.
set -u
src=${DUXK_SOURCE_DIR:-$(dirname "$0")/../..}
bin=${DUXK_BIN_DIR:-build/bin}
# shellcheck source=../../data/completion/duxk
source "$src/data/completion/duxk"

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
touch fw.bin old.BIN k52.cal notes.txt "with space.bin"
mkdir sub

failed=0 passed=0
# complete LINE: COMPREPLY for the cursor at the end of LINE, sorted, one line.
complete_line() {
    local line=$1
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _duxk 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ' -
}
expect() {
    local got
    got=$(complete_line "$1")
    if [[ $got == "$2" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: '$1' offered '$got', expected '$2'"
    fi
}

coms="COM1 COM2 COM3 COM4 COM5 COM6 COM7"
expect "duxk " "backup cal find info ports update verify"
expect "duxk in" "info"
expect "duxk -q --port COM2 --baud 9600 " "backup cal find info ports update verify"
expect "duxk --port C" "$coms"
expect "duxk --baud " "19200 38400 4800 9600"
expect "duxk info " "caldata selftest settings spec"
expect "duxk info spec " ""
expect "duxk cal " "load save"
expect "duxk cal load " "k52.cal sub"
expect "duxk cal save " "fw.bin k52.cal notes.txt old.BIN sub with space.bin"
expect "duxk cal load k52.cal " ""
expect "duxk update " "fw.bin old.BIN sub with space.bin"
expect "duxk update --fast --backup all.img " "fw.bin old.BIN sub with space.bin"
expect "duxk update --backup " "fw.bin k52.cal notes.txt old.BIN sub with space.bin"
expect "duxk --port COM3 verify f" "fw.bin"
expect "duxk backup " "fw.bin k52.cal notes.txt old.BIN sub with space.bin"
expect "duxk ports " "map unmap"
expect "duxk ports unmap " "$coms"
expect "duxk ports map COM3 sub/" ""
expect "duxk find " ""
expect "duxk --trace " "fw.bin k52.cal notes.txt old.BIN sub with space.bin"
expect "duxk --trace t.log " "backup cal find info ports update verify"

# Options: the update options only after update.
got=$(complete_line "duxk update --")
for opt in --fast --verify --backup --force --port --baud --json --timeout --version --quiet --verbose; do
    [[ " $got " == *" $opt "* ]] || { failed=$((failed + 1)); echo "FAIL: 'duxk update --' lacks $opt"; }
done
got=$(complete_line "duxk backup --f")
[[ $got == "--fast --force" ]] || { failed=$((failed + 1)); echo "FAIL: 'duxk backup --f' offered '$got'"; }
got=$(complete_line "duxk find --")
[[ " $got " != *" --fast "* ]] || { failed=$((failed + 1)); echo "FAIL: 'duxk find --' offers --fast"; }

# Every command and long option the tool lists is completed.
if [[ -x $bin/duxk ]]; then
    help=$("$bin/duxk" --help)
    commands=$(complete_line "duxk ")
    for cmd in $(sed -n '/^Subcommands:/I,/^$/p' <<<"$help" | awk 'NR > 1 && NF {print $1}'); do
        [[ " $commands " == *" $cmd "* ]] || { failed=$((failed + 1)); echo "FAIL: command $cmd not completed"; }
    done
    options=$(complete_line "duxk --")
    for opt in $(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u); do
        [[ " $options " == *" $opt "* ]] || { failed=$((failed + 1)); echo "FAIL: option $opt not completed"; }
    done
else
    failed=$((failed + 1))
    echo "FAIL: no duxk in $bin"
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
