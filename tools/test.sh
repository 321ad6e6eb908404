#!/usr/bin/env bash
# Sets everything up and runs all tests: the plain build, the arm64 build (its program under
# QEMU's user emulation, its packages on a booted arm64 machine), then the sanitizer builds.
# With --quick, the plain and arm64 builds only.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh arm64
(cd build && ctest --output-on-failure -j "$(nproc)")
arch-test arm64 >/dev/null ||
  echo "This machine cannot run arm64 programs (no binfmt_misc handler): the arm64 tests that" \
    "run them, and the arm64 machine, are skipped."
(cd build-arm64 && ctest --output-on-failure -j "$(nproc)")
[[ ${1:-} == --quick ]] || tools/sanitize.sh
