#!/usr/bin/env bash
# Builds and runs the tests under AddressSanitizer with UndefinedBehaviorSanitizer (unit and
# end-to-end), then the end-to-end tests, where two threads run, under ThreadSanitizer. The
# package and virtual-machine tests run in the plain build only.
# Every report halts the process that made it, and so fails its test. Expects tools/setup.sh
# to have installed the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
# Where the tests' unprivileged user (see the compositor tests) can read them too.
supp=$(mktemp -d)
cp tests/sanitizers/* "$supp"
chmod -R a+rX "$supp"
jobs=$(nproc)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOWREEL_WERROR=ON \
  -DSHOWREEL_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j "$jobs"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# A picture header may ask for more memory than there is: malloc must fail as it would
# without the sanitizer, for the library to see it.
asan=allocator_may_return_null=1
export LSAN_OPTIONS=suppressions=$supp/lsan.supp
# Leak reports need whole stacks to be matched against the suppressions. The program ends
# through _exit, so its end-to-end runs have no leak check of their own (and whole stacks
# could deadlock there with the unwinder's lock).
# The fifty-day simulation is plain arithmetic over the scene, already run in the plain build.
(cd build-asan && ASAN_OPTIONS=$asan:fast_unwind_on_malloc=0 ctest --output-on-failure -j "$jobs" -LE 'e2e|long|package|vm')
# Here the long fault tests run too (the process stopped for seventy seconds).
(cd build-asan && ASAN_OPTIONS=$asan:detect_leaks=0 SHOWREEL_LONG_TESTS=1 ctest --output-on-failure -L e2e)

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOWREEL_WERROR=ON \
  -DSHOWREEL_SANITIZE=thread >/dev/null
cmake --build build-tsan -j "$jobs"
tsan="halt_on_error=1 allocator_may_return_null=1 suppressions=$supp/tsan.supp"
(cd build-tsan && TSAN_OPTIONS=$tsan ctest --output-on-failure -L e2e)
