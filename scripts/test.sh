#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Quillbox with its tests and runs every one of them, headless.
# With --sanitize, the same suites run again from build-sanitize/ under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

dir=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [[ "${1:-}" == "--sanitize" ]]; then
  dir=build-sanitize
  options=(-DCMAKE_BUILD_TYPE=Debug -DQUILLBOX_SANITIZE=ON -DQUILLBOX_BUILD_BENCH=OFF)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  # Leaks of the libraries below us, each with its reason, are listed there.
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
# CI builds with every warning an error.
if [[ "${CI:-}" == true ]]; then
  options+=(-DQUILLBOX_WERROR=ON)
fi

cmake -S . -B "$dir" -G Ninja "${options[@]}"
cmake --build "$dir"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$dir" --output-on-failure --timeout 900
