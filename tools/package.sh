#!/usr/bin/env bash
# Sets everything up, builds, and writes the Debian packages showreel_<version>_<arch>.deb and
# showreel-kiosk_<version>_all.deb: for this machine into build/, or for the architecture given
# (Debian's name: arm64) into build-ARCH/.
set -euo pipefail
cd "$(dirname "$0")/.."
native=$(dpkg --print-architecture)
arch=${1:-$native}
tools/setup.sh "$arch"
dir=build
[[ $arch == "$native" ]] || dir=build-$arch
# Packages only once they are whole: a failed run leaves none behind.
rm -f "$dir"/*.deb
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$dir" && cpack -G DEB -B "$out")
mv "$out"/*.deb "$dir"/
ls "$dir"/*.deb
