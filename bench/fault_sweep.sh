#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The whole fault sweep: every point of every kind of call, in every
# scenario, made to fail or to carry a Stop or a kill (CTest runs a dozen
# points of each kind). Builds what it needs in build/, writes each case's
# result to fault-sweep.json (with --report elsewhere) and keeps the trees
# of failing cases in the work folder.
#
#   bash bench/fault_sweep.sh [--jobs J] [--only REGEX] [--report FILE] [--work DIR] [more fault_sweep.py options]
#
# Needs strace (bash scripts/install-deps.sh) and ptrace allowed; as root,
# one bucket folder is a tmpfs of its own, so that files cross to another
# file system.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUILLBOX_BUILD:-build}
[[ -f $build/build.ninja || -f $build/Makefile ]] ||
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target quillbox quillbox_processor_count

args=(--report fault-sweep.json --work "$build/fault-sweep")
exec /usr/bin/python3 tests/sweep/fault_sweep.py \
  --quillbox "$build/quillbox" \
  --processor-count "$build/tests/sweep/quillbox_processor_count.so" \
  --set full --keep-failed "${args[@]}" "$@"
