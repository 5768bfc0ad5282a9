#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The cost of --verbose on the command line: a move of FILES empty files on
# tmpfs, its output through a pipe, with and without --verbose, ROUNDS
# rounds each, alternating; prints the medians of each (wall-clock seconds,
# and the program's CPU seconds, user + system, which other processes on a
# busy machine disturb less) and their ratios.
#
#   bash bench/cli_verbose.sh QUILLBOX [FILES=100000] [ROUNDS=5] [WHERE=/dev/shm]
set -euo pipefail
binary=$(realpath "$1") files=${2:-100000} rounds=${3:-5} where=${4:-/dev/shm}
work=$(mktemp -d "$where/quillbox-verbose.XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_STATE_HOME=$work/state

# One move of a fresh source into an empty destination; prints its seconds.
move() {
  rm -rf "$work/in" "$work/out" "$work/state"
  mkdir -p "$work/in" "$work/out"
  (cd "$work/in" && seq -f 'f%.0f' 1 "$files" | xargs touch)
  /usr/bin/time -f '%e %U %S' -o "$work/time" \
    "$binary" --move --create-dirs "$@" "$work/in" "$work/out" | cat >/dev/null
  [[ -z $(ls -A "$work/in") ]] || { echo "cli_verbose: the move left files behind" >&2; exit 1; }
  awk '{ print $1, $2 + $3 }' "$work/time"
}

median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

wall=() cpu=() wall_v=() cpu_v=()
for ((round = 1; round <= rounds; round++)); do
  read -r w c < <(move)
  read -r wv cv < <(move --verbose)
  wall+=("$w") cpu+=("$c") wall_v+=("$wv") cpu_v+=("$cv")
  echo "round $round: plain ${w} s (CPU ${c} s), verbose ${wv} s (CPU ${cv} s)" >&2
done
m() { printf '%s\n' "$@" | median; }
pw=$(m "${wall[@]}") pc=$(m "${cpu[@]}") vw=$(m "${wall_v[@]}") vc=$(m "${cpu_v[@]}")
echo "files=$files rounds=$rounds wall: plain ${pw} s, verbose ${vw} s, ratio $(echo "scale=3; $vw / $pw" | bc);" \
  "CPU: plain ${pc} s, verbose ${vc} s, ratio $(echo "scale=3; $vc / $pc" | bc)"
