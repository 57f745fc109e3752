#!/usr/bin/env bash
# Builds the daemon and runs the whole test suite: unit and end-to-end tests,
# the whole tree again as a Release build (as a packager makes it) with its
# unit tests, the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# the threaded pipeline tests under ThreadSanitizer, the end-to-end and stress
# tests against sanitizer builds of the daemon, and every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# Every build here treats warnings as errors.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 300

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_WERROR=ON >/dev/null
cmake --build build-release -j "$jobs"
ctest --test-dir build-release -j "$jobs" --output-on-failure --timeout 300 -LE 'e2e|fuzz'

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQX_BENCH=OFF -DQX_SANITIZE=address,undefined -DQX_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 300 -LE e2e

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_BENCH=OFF -DQX_SANITIZE=thread -DQX_WERROR=ON >/dev/null
tsan_targets=$(cd tests && ls pipeline/*_test.cpp pipeline/worker/*_test.cpp 2>/dev/null | xargs -n1 basename | sed 's/\.cpp$//')
cmake --build build-tsan -j "$jobs" --target $tsan_targets
for t in $tsan_targets; do
  echo "== $t (ThreadSanitizer)"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" timeout 600 "build-tsan/$t" --gtest_brief=1
done

# The end-to-end and stress tests against sanitizer builds of the daemon. Its
# listeners live until the process ends, so leak checks stay off here; any
# report lands in san_logs and fails the run.
san_logs=$(mktemp -d)
ASAN_OPTIONS="detect_leaks=0 log_path=$san_logs/asan" UBSAN_OPTIONS="print_stacktrace=1 log_path=$san_logs/ubsan" \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 300 -L e2e
cmake --build build-tsan -j "$jobs" --target quorvalex
TSAN_OPTIONS="halt_on_error=1 log_path=$san_logs/tsan" \
  ctest --test-dir build-tsan -j "$jobs" --output-on-failure --timeout 300 -L e2e
if [ -n "$(ls -A "$san_logs")" ]; then
  echo "Sanitizer reports from the daemon:"
  cat "$san_logs"/*
  exit 1
fi
rm -rf "$san_logs"

# Fuzzing: every target for 60 seconds under libFuzzer with the address and
# undefined behaviour sanitizers (clang build in build-fuzz-clang).
bash scripts/fuzz.sh

total=$(ctest --test-dir build -N | awk '/Total Tests:/ {print $3}')
echo "tests: ${total} passed, 0 failed"
