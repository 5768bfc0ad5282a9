#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Pictures every window of Quillbox under a virtual X server, with the
# screenshot tool (quillbox_screenshots, built here, never installed) (with the
# openbox window manager when it is installed) into shots/: the main window
# after a small sample run, the log window and the About window, each as the
# program draws it (NAME.png) and with the window manager's frame
# (NAME-framed.png), plus the whole screen at the end (screen.png).
#
#   bash scripts/screenshots.sh [build-folder]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[[ "$build" == /* ]] || build=$PWD/$build
if ! command -v xvfb-run >/dev/null; then
  echo "screenshots: xvfb-run is missing; install it with: bash scripts/install-deps.sh --desktop" >&2
  exit 1
fi
if ! command -v import >/dev/null; then
  echo "screenshots: ImageMagick's import is missing, so screen.png is left out;" \
       "install it with: bash scripts/install-deps.sh --desktop" >&2
fi
if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S . -B "$build" -G Ninja -DQUILLBOX_BUILD_BENCH=OFF
fi
cmake --build "$build" --target quillbox_screenshots

out=$PWD/shots
rm -rf "$out"
mkdir -p "$out"
sample=$(mktemp -d)
trap 'rm -rf "$sample"' EXIT
mkdir -p "$sample/source" "$sample/sorted"
for name in apple Banana cherry date Elder fig 7zip _notes Zebra quince; do
  head -c $((RANDOM * 40)) /dev/zero > "$sample/source/$name.txt"
done

export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR=$sample/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"

xvfb-run -a -s "-noreset -screen 0 1280x1024x24" bash -c '
  if command -v openbox >/dev/null; then openbox >/dev/null 2>&1 & wm=$!; sleep 1; fi
  "$0/quillbox_screenshots" "$1" "$2" "$3" &
  app=$!
  # The whole screen while the About window is up.
  for _ in $(seq 1 50); do
    [[ -f "$1/log.png" ]] && break
    sleep 0.2
  done
  sleep 0.4
  if command -v import >/dev/null; then
    import -window root "$1/screen.png" || true
  fi
  wait "$app"
  [[ -n "${wm:-}" ]] && kill "$wm" 2>/dev/null || true
' "$build" "$out" "$sample/source/" "$sample/sorted/"

ls -1 "$out"
