#!/usr/bin/env bash
# Installs the Debian packages a step needs, only those that are missing.
# Usage: scripts/deps.sh build|demo|fuzz|full|qemu|shots
set -euo pipefail

base=(cmake ninja-build g++ pkg-config qtbase5-dev qtbase5-dev-tools libqt5svg5-dev
      libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev python3 xauth xvfb
      fonts-dejavu-core dbus-daemon dbus-bin python3-dbusmock)
case "${1:-build}" in
  build|demo) wanted=("${base[@]}") ;;
  fuzz) wanted=("${base[@]}" clang libclang-rt-14-dev) ;;
  full) wanted=("${base[@]}" clang libclang-rt-14-dev fuse3 libfuse3-dev
                g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest
                wine64 dpkg-dev file util-linux appstream desktop-file-utils strace
                lintian x11-utils nsis fonts-wine) ;;
  # scripts/qemu-usb-e2e.sh: the emulator, its FUSE server, busybox for the
  # guest's initramfs, depmod for the unpacked kernel, udevd for the guest
  # (the kernel's .deb is fetched apart), GNU time for QEMU's footprint.
  qemu) wanted=("${base[@]}" fuse3 libfuse3-dev qemu-system-x86 busybox-static udev
                kmod util-linux time) ;;
  # scripts/screenshots.sh and scripts/station-screenshots.sh.
  shots) wanted=("${base[@]}" x11-utils imagemagick) ;;
  *) echo "usage: $0 build|demo|fuzz|full|qemu|shots" >&2; exit 2 ;;
esac

missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
