#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the built Quillbox packages, the command line's and the window's:
# their file lists against packaging/expected-files.txt, lintian (no error,
# no warning), the desktop file and AppStream validators, the manual page,
# the bash completion, that the command line depends on no toolkit and
# starts the window where the other package puts it, and that the programs,
# the manual page, the AppStream release and the packages tell the same
# version. With --install (as root, on a machine that may be changed), it
# also installs the packages with apt-get and removes them again, and checks
# that nothing of them stays behind.
#
#   bash packaging/check-package.sh build-package/quillbox-cli_VERSION_ARCH.deb \
#     build-package/quillbox_VERSION_ARCH.deb [--install]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cli_deb=$(realpath "$1")
window_deb=$(realpath "$2")
debs=("$cli_deb" "$window_deb")
install=${3:-}
export LC_ALL=C.UTF-8

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$root"
done

passed=0
failed=0
# check NAME COMMAND...: runs the command, shows its output when it fails.
check() {
  local name=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    echo "ok      $name"
    passed=$((passed + 1))
  else
    echo "FAILED  $name"
    sed 's/^/        /' "$work/out"
    failed=$((failed + 1))
  fi
}

file_list() {
  local deb package
  for deb in "${debs[@]}"; do
    package=$(dpkg-deb -f "$deb" Package)
    dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '/$' | sed "s|^\\./|$package /|"
  done | LC_ALL=C sort >"$work/files"
  grep -v '^#' "$here/expected-files.txt" | diff -u - "$work/files"
}

owned_by_root() {
  local deb
  for deb in "${debs[@]}"; do
    ! dpkg-deb -c "$deb" | awk '$2 != "root/root"' | grep . || return 1
  done
}

run_lintian() {
  lintian --fail-on error,warning --display-info "${debs[@]}" 2>&1 | grep -v 'running with root privileges'
  return "${PIPESTATUS[0]}"
}

# A machine without a desktop installs quillbox-cli alone: nothing of Qt
# comes with it. The window's package brings the command line of its version.
dependencies() {
  local cli window version
  cli=$(dpkg-deb -f "$cli_deb" Depends)
  window=$(dpkg-deb -f "$window_deb" Depends)
  version=$(dpkg-deb -f "$window_deb" Version)
  echo "quillbox-cli depends on: $cli"
  echo "quillbox depends on: $window"
  ! grep -qi 'qt' <<<"$cli" && grep -qF "quillbox-cli (= $version)" <<<"$window"
}

# quillbox with folders only starts the window from where its package puts
# it: told a display it cannot reach, the window says so, status 2.
window_start() {
  local out status
  out=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:97 XDG_STATE_HOME="$work/state" \
    "$root/usr/bin/quillbox" "$work" 2>&1)
  status=$?
  echo "status $status: $out"
  [[ $status -eq 2 && "$out" == "quillbox: no display can be reached to open the window on; --copy or --move runs without one" ]]
}

desktop_file() {
  desktop-file-validate "$root/usr/share/applications/quillbox.desktop"
}

appstream() {
  appstreamcli validate --no-net --explain "$root"/usr/share/metainfo/*.metainfo.xml
}

manual_page() {
  # What lintian runs, with every warning of man and groff shown.
  local text
  text=$(MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$root/usr/share/man/man1/quillbox.1.gz" 2>&1 >/dev/null)
  [[ -z "$text" ]] || { echo "$text"; return 1; }
  MANWIDTH=80 man -l "$root/usr/share/man/man1/quillbox.1.gz" | grep -q 'EXIT STATUS'
}

one_version() {
  local package window program manual release
  package=$(dpkg-deb -f "$cli_deb" Version)
  window=$(dpkg-deb -f "$window_deb" Version)
  program=$("$root/usr/bin/quillbox" --version | awk '{ print $2 }')
  manual=$(zcat "$root/usr/share/man/man1/quillbox.1.gz" | sed -n 's/^\.TH .*"Quillbox \([^"]*\)".*/\1/p')
  release=$(grep -o '<release version="[^"]*"' "$root"/usr/share/metainfo/*.metainfo.xml | cut -d'"' -f2)
  echo "packages $package and $window, quillbox --version $program, manual page $manual, AppStream release $release"
  [[ "$window" == "$package" && "$program" == "$package" && "$manual" == "$package" && "$release" == "$package" ]]
}

# Completes LINE as bash would and prints the candidates, one a line.
complete_line() {
  bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    COMP_LINE=$2 COMP_POINT=${#2}
    read -ra COMP_WORDS <<<"$COMP_LINE"
    [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _quillbox quillbox "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    [[ ${#COMPREPLY[@]} -eq 0 ]] || printf "%s\n" "${COMPREPLY[@]}"
  ' _ "$root/usr/share/bash-completion/completions/quillbox" "$1"
}

completion() {
  local folders=$work/folders
  mkdir -p "$folders/incoming" "$folders/sorted"
  touch "$folders/notes.txt"
  diff <(complete_line "quillbox --c") <(printf '%s\n' --copy --create-dirs) &&
    diff <(complete_line "quillbox --copy --") <(printf '%s\n' --create-dirs --dry-run --verbose --quiet --watch) &&
    diff <(complete_line "quillbox --copy -v --") <(printf '%s\n' --create-dirs --dry-run --watch) &&
    diff <(complete_line "quillbox --undo 1 ") /dev/null &&
    diff <(complete_line "quillbox --undo --") <(printf '%s\n' --quiet --session) &&
    diff <(complete_line "quillbox --watch --move --s") <(printf '%s\n' --settle) &&
    diff <(cd "$folders" && complete_line "quillbox --move ") <(printf '%s\n' incoming sorted) &&
    diff <(cd "$folders" && complete_line "quillbox --move incoming sorted ") /dev/null
}

# The watch service as systemd would load it: an instance of the template,
# its program the package's own.
systemd_unit() {
  local units=$work/units runtime=$work/runtime out status
  mkdir -p "$units" "$runtime" && chmod 700 "$runtime"
  sed "s|/usr/bin/quillbox|$root/usr/bin/quillbox|" "$root/usr/lib/systemd/user/quillbox-watch@.service" \
    >"$units/quillbox-watch@check.service" || return 1
  out=$(XDG_RUNTIME_DIR=$runtime systemd-analyze --user --man=no verify "$units/quillbox-watch@check.service" 2>&1)
  status=$?
  [[ -z "$out" ]] || echo "$out"
  [[ $status -eq 0 && -z "$out" ]]
}

install_and_remove() {
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${debs[@]}" || return 1
  dpkg -L quillbox quillbox-cli >"$work/installed" || return 1
  local missing=0 file
  while read -r file; do
    [[ -e "$file" ]] || { echo "not installed: $file"; missing=1; }
  done < <(grep -v '^#' "$here/expected-files.txt" | awk '{ print $2 }')
  /usr/bin/quillbox --version && man -w quillbox || missing=1
  apt-get remove -y -o DPkg::Lock::Timeout=600 quillbox quillbox-cli || return 1
  # Every file the package had, and every folder only it used, is gone.
  while read -r file; do
    if [[ -f "$file" || -L "$file" ]]; then
      echo "left behind: $file"
      missing=1
    fi
  done <"$work/installed"
  for file in /usr/share/doc/quillbox /usr/share/doc/quillbox-cli /usr/libexec/quillbox \
    /usr/share/icons/hicolor/scalable/apps/quillbox.svg; do
    [[ ! -e "$file" ]] || { echo "left behind: $file"; missing=1; }
  done
  return $missing
}

echo "Checking ${debs[*]}"
check "file lists are packaging/expected-files.txt" file_list
check "every file belongs to root" owned_by_root
check "lintian: no error, no warning" run_lintian
check "desktop-file-validate" desktop_file
check "appstreamcli validate --no-net" appstream
check "manual page: man and groff give no warning" manual_page
check "one version everywhere" one_version
check "the command line depends on no toolkit" dependencies
check "quillbox starts the window from its package" window_start
check "bash completion" completion
if command -v systemd-analyze >/dev/null; then
  check "systemd-analyze verify quillbox-watch@.service" systemd_unit
else
  echo "skipped systemd-analyze verify quillbox-watch@.service: systemd-analyze is missing"
fi
if [[ "$install" == "--install" ]]; then
  if dpkg-query -W -f='${Status}' quillbox quillbox-cli 2>/dev/null | grep -q "install ok installed"; then
    echo "FAILED  apt-get install, then remove: quillbox is installed already; remove it first"
    failed=$((failed + 1))
  else
    check "apt-get install, then remove, leaves nothing behind" install_and_remove
  fi
fi
echo "package: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
