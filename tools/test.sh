#!/usr/bin/env bash
# Sets everything up and runs all tests.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cd build
ctest --output-on-failure -j "$(nproc)"
