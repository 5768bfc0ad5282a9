#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that every C and C++ file of the project is laid out as
# .clang-format says, and that every source file names its licence in an
# SPDX line near its top; with --fix, lays them out so. CI runs the check.
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
# The licence of each source file, as its first lines say.
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c' '*.sh' '*.py' 'CMakeLists.txt' '*/CMakeLists.txt' .ci/run)
missing=()
for file in "${sources[@]}"; do
  head -n 3 "$file" | grep -q 'SPDX-License-Identifier: GPL-3.0-or-later' || missing+=("$file")
done
if ((${#missing[@]} > 0)); then
  printf 'licence: no SPDX line near the top of %s\n' "${missing[@]}" >&2
  exit 1
fi
echo "licence: ${#sources[@]} files name GPL-3.0-or-later"
