#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz and
# runs each of them for SECONDS (default 60), one after the other.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
# Corpora grow in build-fuzz/corpus/<target>; a crash leaves its input in
# build-fuzz/artifacts/ and ends the script with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
build=build-fuzz
all=(fuzz_reply fuzz_serial_number fuzz_pack_block fuzz_telegram fuzz_cal_file fuzz_update_marker)
targets=("${@:-${all[@]}}")
[ "$#" -gt 0 ] || targets=("${all[@]}")

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDUXK_FUZZ=ON -DDUXK_BUILD_GUI=OFF -DDUXK_BUILD_TESTS=OFF \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer"
fi
cmake --build "$build" --target "${targets[@]}" -j"${JOBS:-2}"

mkdir -p "$build/artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
status=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  seeds=fuzz/seeds/$t
  echo "== $t: ${seconds}s"
  dirs=("$corpus")
  [ -d "$seeds" ] && dirs+=("$seeds")
  if ! "$build/fuzz/$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 "${dirs[@]}" \
        > "$build/$t.log" 2>&1; then
    echo "!! $t failed; see $build/$t.log and $build/artifacts/"
    tail -40 "$build/$t.log"
    status=1
  else
    grep -E "^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ +DONE)" "$build/$t.log" | tr '\n' ' '
    echo
  fi
done
exit $status
