# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by scripts/bench.sh and scripts/bench-desktop.sh: each script owns
# one section of bench/RESULTS.md, between its two markers, and rewrites only
# that section; what is written around the sections by hand stays.

# record_section NAME FILE: puts FILE's text between NAME's markers, or adds
# the section at the end when it is not there yet.
record_section() {
  local name=$1 file=$2 results=bench/RESULTS.md
  local begin="<!-- $name: begin -->" end="<!-- $name: end -->"
  [[ -f $results ]] || printf '# Benchmark results\n' > "$results"
  if grep -qxF "$begin" "$results"; then
    awk -v b="$begin" -v e="$end" -v f="$file" '
      $0 == b { print; while ((getline line < f) > 0) print line; close(f); skip = 1; next }
      $0 == e { skip = 0 }
      !skip' "$results" > "$results.new"
  else
    { cat "$results"; echo; echo "$begin"; cat "$file"; echo "$end"; } > "$results.new"
  fi
  mv "$results.new" "$results"
}

# The lines every section starts with: when, which commit, which machine.
describe_run() {
  local commit=$1 command=$2
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Commit: $commit"
  echo "- Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo)," \
       "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), kernel $(uname -r)"
  echo "- Command: $command"
}
