#!/usr/bin/env bash
# Installs what the build, the demo and the tests need (Debian 12), then builds into build/.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make pkg-config libsdl2-dev libmpg123-dev portaudio19-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang-format
  xvfb libx11-dev libxtst-dev lame pulseaudio pulseaudio-utils alsa-utils libasound2-plugins)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  echo "installing: ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOWREEL_WERROR=ON "$@" >/dev/null
cmake --build build -j "$(nproc)"
