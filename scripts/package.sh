#!/usr/bin/env bash
# Builds the Debian package of Quillbox, quillbox_<version>_<arch>.deb, in
# build-package/, from a release build with Debian's hardening flags. With
# --check, then checks it: its file list, lintian, the desktop file and
# AppStream validators, the manual page and the completion
# (packaging/check-package.sh; add --install to also install and remove it).
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
rm -f "$dir"/quillbox_*.deb
(cd "$dir" && cpack -G DEB)
deb=$(ls "$dir"/quillbox_*.deb)
echo "package: $deb"

if [[ "${1:-}" == "--check" ]]; then
  shift
  bash packaging/check-package.sh "$deb" "$@"
fi
