#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The README's examples, run as they are written, as a new user would run
# them: every line of its sh blocks that begins with "quillbox", in order,
# with the program on the PATH and HOME a fresh folder whose ~/Downloads
# holds a few files; the watch file it shows is written where it says. A
# watch runs until stopped: it is given a file, and stopped (SIGTERM) once
# that file is sorted. Every example must end with status 0 (a stopped
# watch with 143); a preview must change nothing; no file may be lost.
#
#   bash tests/app/readme_examples.sh QUILLBOX README
set -uo pipefail
binary=$(realpath "$1")
readme=$2
work=$(mktemp -d)
watcher=
cleanup() {
  [[ -n "$watcher" ]] && kill -KILL "$watcher" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "readme-examples: $*" >&2
  exit 1
}

export HOME=$work/home
mkdir -p "$HOME/Downloads" "$work/bin"
ln -s "$binary" "$work/bin/quillbox"
export PATH=$work/bin:$PATH
unset XDG_STATE_HOME XDG_CONFIG_HOME DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
for name in "Apple pie.txt" banana.pdf "2024 report.odt" zebra.png .hidden-notes; do
  printf '%s\n' "$name" >"$HOME/Downloads/$name"
done

# Every file of the home folder but Quillbox's own state, by name.
files() { (cd "$HOME" && find . -path ./.local -prune -o -path ./.config -prune -o -type f -printf '%f\n' | sort); }
# Waits (bounded) until the command given succeeds.
wait_until() {
  local deadline=$((SECONDS + 60))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# The watch file, from the block after the line that names it.
watch_file=$(sed -n 's/.*`\(~\/\.config\/quillbox\/watch\/[a-z]*\.conf\)`.*/\1/p' "$readme" | tail -1)
[[ -n "$watch_file" ]] || fail "the README names no watch file"
watch_file=${watch_file/#\~/$HOME}
mkdir -p "$(dirname "$watch_file")"
awk '/^```ini$/ { inside = 1; next } /^```/ { inside = 0 } inside' "$readme" >"$watch_file"
grep -q '^source = ' "$watch_file" || fail "the README shows no watch file"

mapfile -t examples < <(awk '/^```sh$/ { inside = 1; next } /^```/ { inside = 0 } inside && /^quillbox /' "$readme")
((${#examples[@]} >= 5)) || fail "the README shows only ${#examples[@]} quillbox examples"

all=$(files)
added=0
for example in "${examples[@]}"; do
  echo "\$ $example"
  before=$(files)
  if [[ "$example" == *--watch* ]]; then
    added=$((added + 1))
    name="watched $added.txt"
    bash -c "exec $example" >"$work/out" 2>"$work/err" &
    watcher=$!
    printf 'new\n' >"$HOME/Downloads/$name"
    all=$(printf '%s\n%s\n' "$all" "$name" | sort)
    if ! wait_until test -f "$HOME/Sorted/W/$name"; then
      cat "$work/out" "$work/err"
      fail "$example: $name was not sorted"
    fi
    kill -TERM "$watcher"
    wait "$watcher"
    status=$?
    watcher=
    expected=143
  else
    bash -c "$example" >"$work/out" 2>"$work/err"
    status=$?
    expected=0
  fi
  cat "$work/out" "$work/err"
  ((status == expected)) || fail "$example ended with status $status, not $expected"
  if [[ "$example" == *--dry-run* && "$(files)" != "$before" ]]; then
    fail "$example changed files"
  fi
  [[ "$(files)" == "$all" ]] || fail "after $example the files are $(files | tr '\n' ' ') instead of $(tr '\n' ' ' <<<"$all")"
done
echo "readme-examples: ${#examples[@]} examples ran as written"
