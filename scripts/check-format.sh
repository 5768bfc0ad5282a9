#!/usr/bin/env bash
# Checks that every C and C++ file of the project is laid out as
# .clang-format says; with --fix, lays them out so. CI runs the check.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --format
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
if [[ "${1:-}" == "--fix" ]]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run --Werror "${files[@]}"
  echo "format: ${#files[@]} files laid out as .clang-format says"
fi
