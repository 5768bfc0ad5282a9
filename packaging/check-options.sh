#!/usr/bin/env bash
# Checks that every option quillbox --help names is described in the manual
# page and offered by the bash completion, so a new option cannot be left
# out of either.
#
#   bash packaging/check-options.sh QUILLBOX MANUAL-SOURCE COMPLETION
set -euo pipefail
binary=$1 manual=$2 completion=$3

help=$("$binary" --help)
mapfile -t options < <(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
if [[ ${#options[@]} -lt 2 ]]; then
  echo "check-options: quillbox --help names no options:" >&2
  echo "$help" >&2
  exit 1
fi

# The manual page writes a minus as \-; read it as a plain one.
manual_text=$(sed 's/\\-/-/g' "$manual")
completion_text=$(cat "$completion")
missing=0
for option in "${options[@]}"; do
  pattern="(^|[^a-z-])${option}([^a-z-]|\$)"
  if ! grep -qE -- "$pattern" <<<"$manual_text"; then
    echo "check-options: $option is not in the manual page $manual" >&2
    missing=1
  fi
  if ! grep -qE -- "$pattern" <<<"$completion_text"; then
    echo "check-options: $option is not offered by the completion $completion" >&2
    missing=1
  fi
done
[[ $missing -eq 0 ]] || exit 1
echo "check-options: ${options[*]}: in the manual page and the completion"
