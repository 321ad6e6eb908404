#!/usr/bin/env bash
# Builds and runs the tests under AddressSanitizer with UndefinedBehaviorSanitizer (unit and
# end-to-end), then the end-to-end tests, where two threads run, under ThreadSanitizer.
# Every report halts the process that made it, and so fails its test. Expects tools/setup.sh
# to have installed the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
supp=$PWD/tests/sanitizers
jobs=$(nproc)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOWREEL_WERROR=ON \
  -DSHOWREEL_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j "$jobs"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$supp/lsan.supp
# Leak reports need whole stacks to be matched against the suppressions; the end-to-end runs
# end through _exit, so no leak check happens there, and whole stacks could deadlock with the
# unwinder's lock.
(cd build-asan && ASAN_OPTIONS=fast_unwind_on_malloc=0 ctest --output-on-failure -j "$jobs" -LE e2e)
(cd build-asan && ctest --output-on-failure -L e2e)

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOWREEL_WERROR=ON \
  -DSHOWREEL_SANITIZE=thread >/dev/null
cmake --build build-tsan -j "$jobs"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$supp/tsan.supp" \
  ctest --output-on-failure -L e2e)
