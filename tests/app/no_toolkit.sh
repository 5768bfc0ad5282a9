#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The command line loads no toolkit: quillbox's NEEDED list names no Qt
# library, nor does anything the loader brings in with it. The window's
# program needs Qt Widgets, which shows that the lists are read at all.
#
#   bash tests/app/no_toolkit.sh QUILLBOX QUILLBOX-WINDOW
set -uo pipefail
cli=$1 window=$2
failed=0

needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'; }

cli_needed=$(needed "$cli")
if [[ -z "$cli_needed" ]]; then
  echo "no-toolkit: readelf lists nothing $cli needs" >&2
  failed=1
fi
if grep -i 'qt' <<<"$cli_needed" >&2; then
  echo "no-toolkit: $cli needs the libraries above" >&2
  failed=1
fi
if ldd "$cli" | grep -i 'libqt' >&2; then
  echo "no-toolkit: $cli loads the libraries above" >&2
  failed=1
fi
if ! needed "$window" | grep -q '^libQt6Widgets\.so'; then
  echo "no-toolkit: $window does not need libQt6Widgets: the lists are not read right" >&2
  failed=1
fi
[[ $failed -eq 0 ]] && echo "no-toolkit: $cli needs $(tr '\n' ' ' <<<"$cli_needed")"
exit $failed
