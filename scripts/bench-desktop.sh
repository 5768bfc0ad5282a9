#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times the whole program as a person starts it: the real quillbox binary in
# a desktop session (a virtual X server, the openbox window manager, a
# session bus and the accessibility bus, Qt's accessibility on), sorting
# 100,000 small files on a tmpfs. A driver finds the window over AT-SPI,
# fills in the folders, clicks Sieve! (and Yes to confirm a move) with real
# pointer clicks, and times each run from that click to the arrival of the
# last file; each round also times the anchor (a bare readdir pass and the
# raw loop) on the same files, from its start to the arrival of its last
# file, seen by the same watch, and the same run from the command line. The
# rounds swing by a tenth either way on a shared virtual machine, so there
# are many of them. The table goes to the terminal and to its section of
# bench/RESULTS.md.
#
#   bash scripts/bench-desktop.sh [--files N] [--rounds R] [--modes move,copy]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/record_results.sh

files=100000
rounds=21
modes=move,copy
while [[ $# -gt 0 ]]; do
  case $1 in
    --files) files=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 1 ;;
  esac
done
arguments="--files $files --rounds $rounds --modes $modes"

bash scripts/install-deps.sh --desktop
commit="$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!bench/RESULTS.md' || echo ' (with local changes)')"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLBOX_BUILD_TESTS=OFF
cmake --build build-release --target quillbox quillbox-window quillbox_bench
build=$PWD/build-release

# The files live on a tmpfs: mounted for the run when allowed, else the
# one at /dev/shm.
work=$(mktemp -d /tmp/quillbox-desktop-XXXXXX)
mounted=
if [[ $(id -u) -eq 0 ]] && mount -t tmpfs -o size=8g,mode=0755 tmpfs "$work"; then
  mounted=1
  files_at=$work
else
  files_at=$(mktemp -d /dev/shm/quillbox-desktop-XXXXXX)
fi
section=$(mktemp)
cleanup() {
  rm -f "$section"
  if [[ -n $mounted ]]; then umount -l "$work"; else rm -rf "$files_at"; fi
  rmdir "$work" 2>/dev/null || true
}
trap cleanup EXIT

echo "Making $files files on $files_at"
"$build/bench/quillbox_bench" --desktop make-pool "$files_at/pool" "$files"
export XDG_RUNTIME_DIR=$files_at/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The journals the program keeps of these runs go with the rest.
export XDG_STATE_HOME=$files_at/state

export build files_at files rounds modes
table=$(xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" dbus-run-session -- bash -c '
  set -u
  # Quiet: what the accessibility daemons print would mix with the table.
  /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
  bus=$!
  openbox >/dev/null 2>&1 &
  wm=$!
  # Wait for the window manager to announce itself, for at most 10 s.
  for _ in $(seq 1 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
    sleep 0.1
  done
  QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$build/quillbox" &
  app=$!
  /usr/bin/python3 bench/desktop_driver.py --bench "$build/bench/quillbox_bench" --program "$build/quillbox" \
    --pool "$files_at/pool" \
    --source "$files_at/source" --destination "$files_at/destination" --files "$files" --rounds "$rounds" \
    --modes "$modes"
  status=$?
  kill "$app" "$wm" "$bus" 2>/dev/null
  wait "$app" 2>/dev/null
  exit $status
')
echo "$table"
{
  echo "## The whole program in a desktop session"
  echo
  describe_run "$commit" "scripts/bench-desktop.sh $arguments"
  echo "- Session: Xvfb, openbox, dbus-run-session with the AT-SPI bus, QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1;" \
       "the real build-release/quillbox, driven over AT-SPI with pointer clicks through the X server"
  echo
  echo "$table"
} > "$section"
record_section bench-desktop.sh "$section"
echo "Wrote bench/RESULTS.md"
