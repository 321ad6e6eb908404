#!/usr/bin/env bash
# Sets everything up and runs all tests: the plain build, then the sanitizer builds.
# With --quick, the plain build only.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
(cd build && ctest --output-on-failure -j "$(nproc)")
[[ ${1:-} == --quick ]] || tools/sanitize.sh
