#!/usr/bin/env bash
# Sets everything up, builds, and writes the Debian package build/showreel_<version>_<arch>.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
(cd build && cpack -G DEB)
