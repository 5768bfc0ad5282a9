#!/usr/bin/env bash
# Builds the benchmark in release mode and runs it; the table goes to the
# terminal and, with the date, the machine and the commit, to
# bench/RESULTS.md. Extra arguments go to the benchmark (--files N,
# --rounds R, --skip-large, ...). Run as root to let it mount a tmpfs and a
# journaled ext4 of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The commit the benchmark is built from, read before the build starts.
commit="$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!bench/RESULTS.md' || echo ' (with local changes)')"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLBOX_BUILD_TESTS=OFF
cmake --build build-release --target quillbox_bench

table=$(mktemp)
QT_QPA_PLATFORM=offscreen ./build-release/bench/quillbox_bench "$@" | tee "$table"
{
  echo "# Benchmark results"
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Commit: $commit"
  echo "- Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo)," \
       "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), kernel $(uname -r)"
  echo "- Disk: $(df -T /var/tmp | awk 'NR==2 {print $2 " on " $1}')"
  echo "- Command: scripts/bench.sh $*"
  echo
  cat "$table"
} > bench/RESULTS.md
rm -f "$table"
echo "Wrote bench/RESULTS.md"
