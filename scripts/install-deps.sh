#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what a fresh Debian 12 machine lacks to build, run and test
# Quillbox. Needs root (or sudo); does nothing when all is there already.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-svg-dev qt6-qpa-plugins
  libgtest-dev
  strace
  sshfs openssh-server python3 # tests/share: sshd on a loopback of its own, mounted with sshfs
  fonts-dejavu-core
)
# For screenshots and accessibility checks under a real X server.
if [[ "${1:-}" == "--desktop" ]]; then
  packages+=(xvfb xauth imagemagick openbox dbus-x11 at-spi2-core python3-pyatspi)
fi
# For the slow mount scripts/bench-slowfs.sh builds and mounts.
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(libfuse3-dev fuse3)
fi
# To check the code's layout (scripts/check-format.sh).
if [[ "${1:-}" == "--format" ]]; then
  packages+=(clang-format)
fi
# To build the Debian package (scripts/package.sh) and check it.
if [[ "${1:-}" == "--package" ]]; then
  packages+=(dpkg-dev file librsvg2-bin lintian desktop-file-utils appstream man-db bash-completion)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
