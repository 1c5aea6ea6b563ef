#!/usr/bin/env bash
# Sets up the machine, then builds and runs the whole test suite: an optimised build, an
# AddressSanitizer/UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the
# concurrency tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${PELLI_BUILD_ROOT:-$root/build}
jobs=$(nproc)
# Many tests wait on the service or on the clock more than they compute.
test_jobs=$((jobs * 2))

echo "== include direction"
"$root/scripts/check-includes.sh"

"$root/scripts/setup.sh"

echo "== build (release)"
"$root/scripts/build.sh" "$out/release" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DPELLI_BENCH=ON \
  -DPELLI_TEST_ENDPOINTS=ON
# Most tests wait on servers and clocks, so each next build runs beside them on the time they
# leave idle, at the lowest priority so that it cannot slow a test that measures time. It runs
# in a process group of its own, so that a failed stage stops the whole build with it.
building=
trap '[[ -z $building ]] || kill -- "-$building" 2>/dev/null || true' EXIT
background_build() {
  local log=$1
  shift
  setsid -w nice -n 19 "$@" >"$log" 2>&1 &
  building=$!
}
finish_build() {
  local title=$1 log=$2
  echo "== build ($title, beside the tests above)"
  if ! wait "$building"; then
    building=
    cat "$log"
    exit 1
  fi
  building=
}

# Each library in one batch: a file-local helper whose name another file of the library also
# uses fails here, whatever batches later files would fall into.
background_build "$out/asan-build.log" \
  "$root/scripts/build.sh" "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DPELLI_SANITIZE=ON -DPELLI_BENCH=OFF \
  -DCMAKE_UNITY_BUILD_BATCH_SIZE=0 -DPELLI_TEST_ENDPOINTS=ON
echo "== tests (release)"
ctest --test-dir "$out/release" --output-on-failure -j "$test_jobs" --timeout 300
finish_build "address and undefined-behaviour sanitizers" "$out/asan-build.log"

# One program of the test files that hold tests named "Concurrency"; nothing else is built.
# Without batches: every file compiles with its own includes alone.
background_build "$out/tsan-build.log" env PELLI_BUILD_TARGET=concurrency_tests \
  "$root/scripts/build.sh" "$out/tsan" -DCMAKE_BUILD_TYPE=Debug -DPELLI_TSAN=ON -DPELLI_BENCH=OFF \
  -DPELLI_UNITY=OFF -DPELLI_TEST_ENDPOINTS=ON
echo "== tests (address and undefined-behaviour sanitizers)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$out/asan" --output-on-failure -j "$test_jobs" --timeout 600
finish_build "thread sanitizer, concurrency tests" "$out/tsan-build.log"

echo "== tests (thread sanitizer, concurrency tests)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$out/tsan" --output-on-failure -j "$jobs" --timeout 600 -R 'Concurrency' \
  --no-tests=error
