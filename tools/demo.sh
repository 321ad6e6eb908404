#!/usr/bin/env bash
# Sets everything up, generates the demo pictures and music, and runs the show on them.
# Stop it with q or Escape.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
build/tools/make-demo build/demo
cd build/demo
exec ../app/showreel
