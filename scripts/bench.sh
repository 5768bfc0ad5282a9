#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the benchmark in release mode and runs it; the table goes to the
# terminal and, with the date, the machine and the commit, to its section of
# bench/RESULTS.md. Extra arguments go to the benchmark (--files N,
# --rounds R, --skip-large, --only tmpfs, ...). Run as root to let it mount a
# tmpfs and a journaled ext4 of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/record_results.sh
bash scripts/install-deps.sh
# The commit the benchmark is built from, read before the build starts.
commit="$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!bench/RESULTS.md' || echo ' (with local changes)')"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLBOX_BUILD_TESTS=OFF
cmake --build build-release --target quillbox_bench

table=$(mktemp)
section=$(mktemp)
trap 'rm -f "$table" "$section"' EXIT
QT_QPA_PLATFORM=offscreen ./build-release/bench/quillbox_bench "$@" | tee "$table"
{
  echo "## The program's runs in one process, against bare system-call loops"
  echo
  describe_run "$commit" "scripts/bench.sh $*"
  echo "- Disk: $(df -T /var/tmp | awk 'NR==2 {print $2 " on " $1}')"
  echo
  cat "$table"
} > "$section"
record_section bench.sh "$section"
echo "Wrote bench/RESULTS.md"
