#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian packages of Quillbox in build-package/, from a release
# build with Debian's hardening flags: quillbox-cli_<version>_<arch>.deb, the
# command line (all a machine without a desktop needs), and
# quillbox_<version>_<arch>.deb, the window, which brings the first with it.
# With --check, then checks them: their file lists, lintian, the desktop
# file and AppStream validators, the manual page and the completion
# (packaging/check-package.sh; add --install to also install and remove them).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --package

dir=build-package
# The flags Debian builds its own packages with, every hardening feature on;
# given on each configure, so a change reaches an existing build folder too.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUILLBOX_BUILD_TESTS=OFF -DQUILLBOX_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags"
cmake --build "$dir"
rm -f "$dir"/quillbox_*.deb "$dir"/quillbox-cli_*.deb
(cd "$dir" && cpack -G DEB)
cli=$(ls "$dir"/quillbox-cli_*.deb)
window=$(ls "$dir"/quillbox_*.deb)
echo "packages: $cli $window"

if [[ "${1:-}" == "--check" ]]; then
  shift
  bash packaging/check-package.sh "$cli" "$window" "$@"
fi
