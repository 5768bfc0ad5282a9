#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The program on a slow mount, against what a user types per bucket folder.
#
# Builds the program and a slow pass-through mount (bench/slowfs: every call
# waits --delay-ms, rename flags and hard links are refused, as on many
# network shares), mounts it in a temporary folder, and times, side by side
# in each round and alternating who goes first:
#   - copy within the mount:        quillbox --copy  vs  one `cp SRC/a* DST/A/` per bucket
#   - move from a local folder:     quillbox --move  vs  one `mv SRC/a* DST/A/` per bucket
#   - move within the mount:        quillbox --move  vs  one `mv -n SRC/a* DST/A/` per bucket
# at each delay. Then counts the calls that reach the mount per file, for
# each side, with no delay. The table goes to the terminal and to its
# section of bench/RESULTS.md. Run as root (it mounts).
#
#   scripts/bench-slowfs.sh [--files N] [--bytes B] [--delays "2 0"] [--rounds "3 7"] [--program PATH]
#
# --rounds gives the rounds for each delay, in the same order; --program
# times another build of the program (an earlier commit's, say) instead.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/record_results.sh

files=300
bytes=2048
delays=(2 0)
rounds=(3 7)
program=
while [[ $# -gt 0 ]]; do
  case $1 in
    --files) files=$2; shift 2 ;;
    --bytes) bytes=$2; shift 2 ;;
    --delays) read -r -a delays <<< "$2"; shift 2 ;;
    --rounds) read -r -a rounds <<< "$2"; shift 2 ;;
    --program) program=$(realpath "$2"); shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
command_line="scripts/bench-slowfs.sh --files $files --bytes $bytes --delays \"${delays[*]}\" --rounds \"${rounds[*]}\"${program:+ --program $program}"

bash scripts/install-deps.sh
bash scripts/install-deps.sh --bench
commit="$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!bench/RESULTS.md' || echo ' (with local changes)')"
launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLBOX_BUILD_TESTS=OFF "${launcher[@]}"
cmake --build build-release --target quillbox slow_passthrough
program=${program:-$PWD/build-release/quillbox}
slowfs=$PWD/build-release/bench/slow_passthrough

# The mount's own folder and the local folders live in memory, so that the
# mount's delay is what is measured.
work=$(mktemp -d /dev/shm/quillbox-slowfs.XXXXXX)
root=$work/root
mnt=$work/mnt
mkdir -p "$root" "$mnt" "$work/local"
mounted=0
cleanup() {
  if [[ $mounted == 1 ]]; then fusermount3 -u "$mnt" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mount_slow() { # DELAY_MS STATS_FILE
  "$slowfs" --delay-ms="$1" --stats="$2" "$root" "$mnt"
  mounted=1
}
unmount_slow() {
  fusermount3 -u "$mnt"
  mounted=0
  # The statistics are written as the mount goes.
  for _ in $(seq 100); do [[ -s $1 ]] && return; sleep 0.05; done
}

letters=(a b c d e f g h i j k l m n o p q r s t u v w x y z)
# FOLDER: $files files of $bytes bytes, their names spread over every bucket
# (a..z and digits for '#').
make_files() {
  mkdir -p "$1"
  head -c "$bytes" /dev/urandom > "$work/content"
  local i first
  for ((i = 0; i < files; i++)); do
    if ((i % 27 == 26)); then first=$((i % 10)); else first=${letters[i % 27]}; fi
    cp "$work/content" "$1/${first}file$i.dat"
  done
}
make_buckets() {
  mkdir -p "$1"
  local l
  for l in "${letters[@]}"; do mkdir -p "$1/${l^^}"; done
  mkdir -p "$1/#"
}
# TOOL SRC DST: the tool once per bucket folder, as a user types it.
per_bucket() {
  local tool=$1 src=$2 dst=$3 l
  shopt -s nullglob
  for l in "${letters[@]}"; do
    local names=("$src/$l"*)
    [[ ${#names[@]} -eq 0 ]] || $tool "${names[@]}" "$dst/${l^^}/"
  done
  local digits=("$src"/[0-9]*)
  [[ ${#digits[@]} -eq 0 ]] || $tool "${digits[@]}" "$dst/#/"
  shopt -u nullglob
}
arrived() { # DST: how many files are in its buckets
  find "$1" -mindepth 2 -type f | wc -l
}

# Prepares one side's folders for SCENARIO under TAG; prints "SRC DST" as
# the side sees them. Made behind the mount (in its own folder), unseen and
# untimed.
prepare() {
  local scenario=$1 tag=$2 src dst
  case $scenario in
    copy)   make_files "$root/$tag/src"; src=$mnt/$tag/src ;;
    local)  make_files "$work/local/$tag/src"; src=$work/local/$tag/src ;;
    within) make_files "$root/$tag/src"; src=$mnt/$tag/src ;;
  esac
  make_buckets "$root/$tag/dst"
  dst=$mnt/$tag/dst
  echo "$src $dst"
}
# SCENARIO SIDE SRC DST: runs one side.
run_side() {
  local scenario=$1 side=$2 src=$3 dst=$4
  if [[ $side == program ]]; then
    if [[ $scenario == copy ]]; then "$program" --copy "$src" "$dst" > /dev/null
    else "$program" --move "$src" "$dst" > /dev/null; fi
  else
    case $scenario in
      copy)   per_bucket cp "$src" "$dst" ;;
      local)  per_bucket mv "$src" "$dst" ;;
      within) per_bucket "mv -n" "$src" "$dst" ;;
    esac
  fi
}
# SCENARIO SIDE TAG: runs it on fresh folders; prints seconds.
timed_side() {
  local scenario=$1 side=$2 tag=$3 folders start end
  folders=$(prepare "$scenario" "$tag")
  start=$(date +%s%N)
  run_side "$scenario" "$side" $folders
  end=$(date +%s%N)
  local got
  got=$(arrived "$root/$tag/dst")
  if [[ $got != "$files" ]]; then
    echo "$side, $scenario: $got of $files files arrived" >&2
    return 1
  fi
  rm -rf "${root:?}/$tag" "$work/local/$tag"
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}
median() {
  tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A label=(
  [copy]="Copy within the mount: quillbox --copy vs cp per bucket"
  [local]="Move from a local folder onto the mount: quillbox --move vs mv per bucket"
  [within]="Move within the mount: quillbox --move vs mv -n per bucket"
)
declare -A target=([copy]=">= 3x" [local]=">= 3x" [within]=">= 1.2x")
scenarios=(copy local within)

table=$(mktemp)
details=$(mktemp)
trap 'cleanup; rm -f "$table" "$details"' EXIT
{
  echo "| Measure | quillbox | Per-bucket tool | Tool time / quillbox time | Target at 2 ms | Met |"
  echo "|---|---|---|---|---|---|"
} > "$table"
serial=0
for index in "${!delays[@]}"; do
  delay=${delays[$index]}
  count=${rounds[$index]:-${rounds[-1]}}
  mount_slow "$delay" "$work/stats-timed"
  for scenario in "${scenarios[@]}"; do
    programs=() tools=()
    for ((round = 1; round <= count; round++)); do
      if ((round % 2)); then order=(program tool); else order=(tool program); fi
      for side in "${order[@]}"; do
        serial=$((serial + 1))
        seconds=$(timed_side "$scenario" "$side" "run$serial")
        [[ $seconds =~ ^[0-9.]+$ ]] || { echo "$side, $scenario: the run failed" >&2; exit 1; }
        if [[ $side == program ]]; then programs+=("$seconds"); else tools+=("$seconds"); fi
      done
      echo "$delay ms, $scenario, round $round: quillbox ${programs[-1]} s, tool ${tools[-1]} s" >&2
    done
    p=$(echo "${programs[*]}" | median)
    t=$(echo "${tools[*]}" | median)
    ratio=$(awk -v p="$p" -v t="$t" 'BEGIN { printf "%.2f", t / p }')
    goal="information" met=""
    if [[ $delay == 2 ]]; then
      goal=${target[$scenario]}
      met=$(awk -v r="$ratio" -v g="${goal#>= }" 'BEGIN { print (r + 0 >= g + 0) ? "yes" : "NO" }')
      goal=${goal%x}x
    fi
    printf '| %s, %s ms a call, %s files of %s bytes | %s s | %s s | %sx | %s | %s |\n' \
      "${label[$scenario]}" "$delay" "$files" "$bytes" "$p" "$t" "$ratio" "$goal" "$met" >> "$table"
    echo "- ${delay} ms, $scenario: quillbox ${programs[*]} s; tool ${tools[*]} s" >> "$details"
  done
  unmount_slow "$work/stats-timed"
done

# Calls that reach the mount, per file: each side on its own, no delay.
{
  echo
  echo "| Calls reaching the mount per file (no delay; getattr-in-reply not counted) | quillbox | Per-bucket tool |"
  echo "|---|---|---|"
} >> "$table"
for scenario in "${scenarios[@]}"; do
  row="| ${label[$scenario]} |"
  for side in program tool; do
    serial=$((serial + 1))
    folders=$(prepare "$scenario" "run$serial")
    mount_slow 0 "$work/stats-$serial"
    run_side "$scenario" "$side" $folders
    unmount_slow "$work/stats-$serial"
    rm -rf "${root:?}/run$serial" "$work/local/run$serial"
    # A getattr the library makes to fill a reply is no round trip of its own.
    calls=$(awk -v n="$files" '$2 > 0 { if ($1 != "getattr-in-reply") total += $2
                                         parts = parts sprintf("%s%s %.2f", parts ? ", " : "", $1, $2 / n) }
                                END { printf "%.2f (%s)", total / n, parts }' "$work/stats-$serial")
    row="$row $calls |"
  done
  echo "$row" >> "$table"
done

cat "$table"
section=$(mktemp)
{
  echo "## On a slow mount, against cp and mv per bucket folder"
  echo
  describe_run "$commit" "$command_line"
  echo "- Mount: bench/slowfs/slow_passthrough over a folder on tmpfs, multithreaded, every call delayed;" \
       "rename flags answered EINVAL, links EPERM, no O_TMPFILE, no extended attributes"
  echo
  cat "$table"
  echo
  echo "Medians of the rounds; in each round both sides run on freshly made folders (made behind the mount," \
       "untimed), the program first in odd rounds and the tool first in even ones. Bucket folders are there" \
       "for both. The local folder is on tmpfs. Every round:"
  echo
  cat "$details"
} > "$section"
record_section bench-slowfs.sh "$section"
rm -f "$section"
echo "Wrote bench/RESULTS.md"
