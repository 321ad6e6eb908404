#!/usr/bin/env bash
# Installs what the build, the demo, the tests and the packages need (Debian 12), then builds
# into build/; with an architecture as its argument (Debian's name, arm64), also cross-builds
# for it into build-ARCH/.
set -euo pipefail
cd "$(dirname "$0")/.."
native=$(dpkg --print-architecture)
arch=${1:-$native}
# The architectures whose toolchain and libraries this script can install.
foreign=(arm64)
if [[ $arch != "$native" && " ${foreign[*]} " != *" $arch "* ]]; then
  echo "setup.sh: cannot build for '$arch': only for $native (this machine) and ${foreign[*]}" >&2
  exit 2
fi
cross=()
[[ $arch == "$native" ]] || cross=("$arch")

packages=(g++ cmake make pkg-config libsdl2-dev libmpg123-dev portaudio19-dev libwayland-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang-format libsystemd-dev
  xvfb libx11-dev libxtst-dev lame pulseaudio pulseaudio-utils alsa-utils libasound2-plugins gdb)
# Compositors and PipeWire for the tests, the packaging checks, ImageMagick for the show
# command, and what the virtual-machine test boots with, serves shows from and watches the
# kiosk's metrics with (Prometheus, whose promtool tests the alerts). Without their
# recommended packages: those bring pipewire-alsa, which removes pulseaudio.
bare=(sway grim wtype xwayland cage pipewire pipewire-bin pipewire-pulse wireplumber
  dbus-user-session dpkg-dev lintian systemd udev groff-base imagemagick
  qemu-system-x86 qemu-utils mmdebstrap e2fsprogs python3 python3-numpy arch-test rsync
  prometheus)
# Cross-building, its tests under QEMU's user emulation and its machine: the libraries as
# -dev:ARCH packages.
libs=(libsdl2-dev libmpg123-dev portaudio19-dev libwayland-dev libgtest-dev libgmock-dev
  libbenchmark-dev libsystemd-dev libx11-dev libxtst-dev libasound2-dev libasound2-plugins)
for a in "${cross[@]}"; do
  bare+=("crossbuild-essential-$a" "${libs[@]/%/:$a}" qemu-user-static binfmt-support)
  [[ $a != arm64 ]] || bare+=(qemu-system-arm)
done
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
for a in "${cross[@]}"; do
  dpkg --print-foreign-architectures | grep -qx "$a" || { "${sudo[@]}" dpkg --add-architecture "$a"; updated=; }
done
install "" "${packages[@]}"
install --no-install-recommends "${bare[@]}"

cpu() { dpkg-architecture -a "$1" -q DEB_HOST_GNU_CPU 2>/dev/null; }
# Foreign programs run here through QEMU's user emulation, once the kernel hands them to it.
if ((${#cross[@]})) && [[ ! -e /proc/sys/fs/binfmt_misc/status ]]; then
  "${sudo[@]}" mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
    echo "setup.sh: no binfmt_misc: the tests of foreign programs will be skipped" >&2
fi
if [[ -e /proc/sys/fs/binfmt_misc/status ]]; then
  for a in "${cross[@]}"; do
    "${sudo[@]}" update-binfmts --enable "qemu-$(cpu "$a")" || true
  done
fi

# build DIR ARCH: Debian's hardening flags for ARCH, bindnow included, as the packages are
# built from these builds.
build() {
  local dir=$1 arch=$2 flags=()
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_HOST_ARCH=$arch
  if [[ $arch != "$native" ]]; then
    local triplet
    triplet=$(dpkg-architecture -a "$arch" -q DEB_HOST_GNU_TYPE 2>/dev/null)
    # The tests run through QEMU's user emulation; the demo is the same for every
    # architecture, made by this machine's generator.
    flags=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$(cpu "$arch")"
      -DCMAKE_CXX_COMPILER="$triplet-g++" -DPKG_CONFIG_EXECUTABLE="/usr/bin/$triplet-pkg-config"
      -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/tests/foreign;qemu-$(cpu "$arch")-static"
      -DSHOWREEL_MAKE_DEMO="$PWD/build/tools/make-demo" -DCPACK_DEBIAN_PACKAGE_ARCHITECTURE="$arch")
  fi
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSHOWREEL_WERROR=ON \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
build build "$native"
[[ $arch == "$native" ]] || build "build-$arch" "$arch"
