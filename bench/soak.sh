#!/usr/bin/env bash
# The soak alone, by hand: the show for 30 minutes (--soak-minutes N to change it) under Xvfb
# with a PulseAudio null sink; its resident size and the sound its sink played, against the
# time elapsed. Writes bench/SOAK.md. bench/run.sh runs the same soak after the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh >/dev/null
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)" --target bench-runner
build-bench/bench/bench-runner bench/SOAK.md --soak-only "$@"
cat bench/SOAK.md
