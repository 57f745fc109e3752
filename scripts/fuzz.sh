#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (address and undefined
# behaviour sanitizers) and runs each one for FUZZ_SECONDS (default 60) over
# a copy of its seed corpus, as many at a time as there are processors. A crash, hang, leak, memory
# blow-up or sanitizer report fails the script; the input that caused it is
# kept under build-fuzz-clang/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
parallel=${FUZZ_PARALLEL:-$(nproc)}
build=build-fuzz-clang

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQX_FUZZ=ON -DQX_TESTS=OFF -DQX_BENCH=OFF >/dev/null
targets=$(ls tests/fuzz/*_fuzz.cpp | xargs -n1 basename | sed 's/\.cpp$//')
cmake --build "$build" -j "$(nproc)" --target $targets

work=$(mktemp -d /tmp/qx-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"

run_one() {
  local target=$1 name=${1%_fuzz}
  mkdir -p "$work/$name"
  cp -r "tests/fuzz/corpus/$name/." "$work/$name/"
  # The daemon's log lines go to stdout and stderr: close_fd_mask keeps them
  # out of the report, which libFuzzer and the sanitizers still print.
  if timeout $((seconds * 3 + 60)) "$build/$target" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$name-" "$work/$name" >"$work/$name.log" 2>&1; then
    local runs
    runs=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$work/$name.log")
    echo "fuzz $name: ${runs:-?} executions, no fault"
  else
    echo "fuzz $name: FAILED" >&2
    grep -v -e '^#' -e '^INFO:' "$work/$name.log" | tail -n 60 >&2
    return 1
  fi
}
export -f run_one
export build work seconds

echo "$targets" | xargs -P "$parallel" -I{} bash -c 'run_one {}'
