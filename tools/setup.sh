#!/usr/bin/env bash
# Installs what the build, the demo, the tests and the package need (Debian 12), then builds
# into build/.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make pkg-config libsdl2-dev libmpg123-dev portaudio19-dev libwayland-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang-format libsystemd-dev
  xvfb libx11-dev libxtst-dev lame pulseaudio pulseaudio-utils alsa-utils libasound2-plugins)
# Compositors and PipeWire for the tests, the packaging checks, ImageMagick for the show
# command, and what the virtual-machine test boots with. Without their recommended
# packages: those bring pipewire-alsa, which removes pulseaudio.
bare=(sway grim wtype xwayland cage pipewire pipewire-bin pipewire-pulse wireplumber
  dbus-user-session dpkg-dev lintian systemd udev groff-base imagemagick
  qemu-system-x86 qemu-utils mmdebstrap e2fsprogs python3 python3-numpy)
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
updated=
# install [apt-get option] package...: those not installed yet.
install() {
  local option=$1 need=() p
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
  done
  ((${#need[@]})) || return 0
  echo "installing: ${need[*]}"
  [[ -n $updated ]] || "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  updated=1
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $option "${need[@]}"
}
install "" "${packages[@]}"
install --no-install-recommends "${bare[@]}"

# Debian's hardening flags, bindnow included: the package is built from this build.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOWREEL_WERROR=ON \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" "$@" >/dev/null
cmake --build build -j "$(nproc)"
