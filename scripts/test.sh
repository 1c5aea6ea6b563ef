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
echo "== tests (release)"
ctest --test-dir "$out/release" --output-on-failure -j "$test_jobs" --timeout 300

echo "== build (address and undefined-behaviour sanitizers)"
# Each library in one batch: a file-local helper whose name another file of the library also
# uses fails here, whatever batches later files would fall into.
"$root/scripts/build.sh" "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DPELLI_SANITIZE=ON -DPELLI_BENCH=OFF \
  -DCMAKE_UNITY_BUILD_BATCH_SIZE=0 -DPELLI_TEST_ENDPOINTS=ON
echo "== tests (address and undefined-behaviour sanitizers)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$out/asan" --output-on-failure -j "$test_jobs" --timeout 600

echo "== build (thread sanitizer, concurrency tests)"
# One program of the test files that hold tests named "Concurrency"; nothing else is built.
# Without batches: every file compiles with its own includes alone.
cmake -S "$root" -B "$out/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELLI_TSAN=ON -DPELLI_BENCH=OFF \
  -DPELLI_UNITY=OFF -DPELLI_TEST_ENDPOINTS=ON >/dev/null
cmake --build "$out/tsan" --parallel "$jobs" --target concurrency_tests
echo "== tests (thread sanitizer, concurrency tests)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$out/tsan" --output-on-failure -j "$jobs" --timeout 600 -R 'Concurrency' \
  --no-tests=error
