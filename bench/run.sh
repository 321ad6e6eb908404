#!/usr/bin/env bash
# Sets everything up, builds in Release mode and runs every benchmark against its floor on an
# X server and a sound server of its own, then writes bench/RESULTS.md. The last part is the
# soak: the show for 30 minutes (--soak-minutes N to change it). Takes about 40 minutes;
# --quick runs fewer rounds and a one-minute soak, for trying it out. With --soak-only, the
# soak alone, written to bench/SOAK.md (what bench/soak.sh runs).
set -euo pipefail
cd "$(dirname "$0")/.."
out=bench/RESULTS.md
[[ " $* " == *" --soak-only "* ]] && out=bench/SOAK.md
tools/setup.sh >/dev/null
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)" --target bench-runner
build-bench/bench/bench-runner "$out" "$@"
cat "$out"
