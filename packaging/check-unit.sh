#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the watch service's unit: the keys that decide how it starts and
# when it is restarted stand in the section where systemd reads them, and
# systemd-analyze verify (where it is installed) loads an instance of it
# with QUILLBOX as its program and finds nothing to say.
#
#   bash packaging/check-unit.sh UNIT QUILLBOX
set -uo pipefail
unit=$1 binary=$2
failed=0

# The value of KEY in SECTION; the last one wins, as in systemd.
value() {
  awk -v section="[$1]" -v key="$2" '
    /^\[/ { inside = ($0 == section); next }
    inside && index($0, key "=") == 1 { found = substr($0, length(key) + 2) }
    END { print found }' "$unit"
}

expect() {
  local section=$1 key=$2 want=$3 got
  got=$(value "$section" "$key")
  if [[ "$got" != "$want" ]]; then
    echo "check-unit: [$section] $key is '$got', not '$want'" >&2
    failed=1
  fi
}

expect Service ExecStart "/usr/bin/quillbox --watch-config %i"
expect Service Type exec
expect Service Restart on-failure
expect Service RestartSec 10
# A signal's stop is a success; a usage error (2) is not tried again.
expect Service SuccessExitStatus "129 130 143"
expect Service RestartPreventExitStatus 2
# The start limit belongs to [Unit]: in [Service] newer systemd ignores it.
expect Unit StartLimitIntervalSec 300
expect Unit StartLimitBurst 5
expect Install WantedBy default.target
for key in StartLimitIntervalSec StartLimitBurst; do
  if [[ -n "$(value Service "$key")" ]]; then
    echo "check-unit: $key stands in [Service]" >&2
    failed=1
  fi
done

if command -v systemd-analyze >/dev/null; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/units" "$work/runtime" && chmod 700 "$work/runtime"
  sed "s|/usr/bin/quillbox|$binary|" "$unit" >"$work/units/quillbox-watch@check.service"
  out=$(XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user --man=no verify \
    "$work/units/quillbox-watch@check.service" 2>&1)
  status=$?
  if [[ $status -ne 0 || -n "$out" ]]; then
    echo "check-unit: systemd-analyze verify says (status $status):" >&2
    echo "$out" >&2
    failed=1
  fi
else
  echo "check-unit: systemd-analyze is missing; its verify is left out"
fi

[[ $failed -eq 0 ]] && echo "check-unit: $unit is as it should be"
exit $failed
