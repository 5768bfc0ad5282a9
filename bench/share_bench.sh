#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The program on a real network share (sshfs over an sshd of its own, each
# direction delayed by a relay), against cp, rsync -a and mv -n per bucket
# folder; see bench/share_bench.py. The table goes to the terminal and to its
# section of bench/RESULTS.md. Run as root (it makes namespaces and mounts).
#
#   bench/share_bench.sh [--files N] [--bytes B] [--delays 1,5] [--rounds 3,1] [--calls] [--program PATH]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/record_results.sh

arguments=("$@")
program=
for ((i = 0; i < ${#arguments[@]}; i++)); do
  if [[ ${arguments[i]} == --program ]]; then program=$(realpath "${arguments[i + 1]}"); fi
done
command_line="bench/share_bench.sh${*:+ $*}"

bash scripts/install-deps.sh
# What the other side of the table uses, for the benchmark alone.
for tool in rsync strace; do
  if ! command -v "$tool" > /dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "$tool"
  fi
done
commit="$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!bench/RESULTS.md' || echo ' (with local changes)')"
if [[ -z $program ]]; then
  launcher=()
  command -v ccache > /dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLBOX_BUILD_TESTS=OFF "${launcher[@]}"
  cmake --build build-release --target quillbox
  arguments+=(--program "$PWD/build-release/quillbox")
fi

table=$(mktemp)
trap 'rm -f "$table"' EXIT
# The machine may be shared: its load, before and after, goes with the table.
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
python3 bench/share_bench.py "${arguments[@]}" | tee "$table"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
section=$(mktemp)
{
  echo "## On a real network share, against cp, rsync -a and mv -n per bucket folder"
  echo
  describe_run "$commit" "$command_line"
  echo "- Share: sshfs $(sshfs --version 2>&1 | awk '/SSHFS version/ {print $3}') over" \
       "$(ssh -V 2>&1 | cut -d, -f1) on the loopback of a network namespace, through a relay that holds each" \
       "chunk the delay in each direction; the share's folder and the local folder on tmpfs"
  echo "- Load average (1, 5, 15 minutes): $load_before before, $load_after after"
  echo
  cat "$table"
  echo "Medians of the rounds; each side on freshly made folders, the program first in odd rounds."
} > "$section"
record_section share_bench.sh "$section"
rm -f "$section"
echo "Wrote bench/RESULTS.md"
