#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when they are missing.
# Usage: scripts/deps.sh run|test
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libxcb1-dev libicu-dev fonts-ipafont-gothic)
if [ "${1:-run}" = test ]; then
  # libzip and unzip are the references the archive reader is tested against; clang builds
  # the fuzzers.
  packages+=(libzip-dev zip unzip python3 strace clang clang-format libclang-rt-14-dev libtsan2 util-linux git)
  # Real windows under a window manager, driven by real input, and the screenshots.
  packages+=(xvfb openbox x11-utils xdotool imagemagick)
  # The emulated slow file share a window is closed on: FUSE, its library and a C compiler.
  packages+=(fuse3 libfuse3-dev gcc)
  # The package stage: dpkg-shlibdeps and the checks of the .deb, its desktop entry, metainfo,
  # man pages and icons.
  packages+=(dpkg-dev desktop-file-utils appstream man-db file binutils)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
