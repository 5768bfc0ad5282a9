#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that every option quillbox --help names is described in the manual
# page and offered by the bash completion, so a new option cannot be left
# out of either; and that --help, the manual page and the README's table of
# exit statuses give the same ones, for a run and for --undo.
#
#   bash packaging/check-options.sh QUILLBOX MANUAL-SOURCE COMPLETION README
set -euo pipefail
binary=$1 manual=$2 completion=$3 readme=$4

help=$("$binary" --help)
# The options are the lines that begin with one, after the indent.
mapfile -t options < <(grep -oE -- '^ +(-[a-z], )?--[a-z][a-z-]*' <<<"$help" | grep -oE -- '--[a-z][a-z-]*' | sort -u)
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

# The statuses a list of lines names, sorted, one line: "0 1 2 ...".
statuses() { grep -oE '\b[0-9]{1,3}\b' | sort -n | uniq | tr '\n' ' '; }

help_run=$(sed -n '/^Exit status of a run/,/^Exit status of --undo/p' <<<"$help" | grep -E '^  [0-9]' | statuses)
help_undo=$(sed -n '/^Exit status of --undo/,$p' <<<"$help" | grep -E '^  [0-9]' | statuses)
manual_exit=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH FILES/p' "$manual")
manual_run=$(sed -n '1,/^\.BR \\-\\-undo/p' <<<"$manual_exit" | grep -E '^\.BR? [0-9]' | statuses)
manual_undo=$(sed -n '/^\.BR \\-\\-undo/,$p' <<<"$manual_exit" | grep -E '^\.BR? [0-9]' | statuses)
readme_table=$(awk '/^## / { inside = ($0 == "## Exit statuses") } inside' "$readme" | grep -E '^\| [0-9]')
readme_run=$(awk -F'|' '$3 !~ /^ *$/ { print $2 }' <<<"$readme_table" | statuses)
readme_undo=$(awk -F'|' '$4 !~ /^ *$/ { print $2 }' <<<"$readme_table" | statuses)
for pair in "run:$help_run:$manual_run:$readme_run" "--undo:$help_undo:$manual_undo:$readme_undo"; do
  IFS=: read -r what from_help from_manual from_readme <<<"$pair"
  if [[ -z $from_help || $from_help != "$from_manual" || $from_help != "$from_readme" ]]; then
    echo "check-options: exit statuses of $what differ: --help [$from_help]," \
      "manual page [$from_manual], README [$from_readme]" >&2
    missing=1
  fi
done

[[ $missing -eq 0 ]] || exit 1
echo "check-options: ${options[*]}: in the manual page and the completion"
echo "check-options: exit statuses of a run [$help_run] and of --undo [$help_undo]: in the manual page and the README"
