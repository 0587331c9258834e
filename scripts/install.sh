# Sourced by every script that sets up a fresh Debian 12 machine (test.sh,
# demo.sh, bench.sh, windows-deps.sh, package-windows.sh): the one place
# that installs Debian packages. The caller's name prefixes messages.
#
#   install_missing PACKAGE...  installs the packages that dpkg does not list
#                               as installed, or exits naming them and apt's
#                               error
#   try_install PACKAGE...      the same, but returns non-zero instead and
#                               leaves the reason in install_error, for a
#                               caller that can go on without them
#   apt_sources_changed         after adding a source or an architecture: the
#                               next install updates the index again
#   as_root COMMAND...          runs COMMAND as root (directly or with sudo)
#
# The index is updated at most once per run, and only when something is
# missing. A mirror that is being synced serves some index files with the
# wrong size, and apt-get update then fails although every other index is
# fine: it is tried once more after LUMIVOX_APT_RETRY_PAUSE seconds (default
# 10), then the failed indexes are named in a warning and the install goes
# on with what apt has (the old index files, or none for those). Whether a
# package can be installed is decided by apt-get install alone. Without
# dpkg everything is assumed to be installed.

install_me=$(basename "$0")
install_updated=
install_error=

as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "$install_me: neither root nor sudo to run: $*" >&2
    return 2
  fi
}

apt_sources_changed() {
  install_updated=
}

# Prints the indexes that a failed apt-get update names in its output (the
# file OUTPUT), each with apt's reason, as "URL (reason)"; or apt's error
# lines when it names no index.
install_failed_indexes() {
  local failed
  failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\) *\(.*\)$/\1 (\2)/p' "$1" | sed 's/ ()$//')
  [[ -n $failed ]] || failed=$(grep '^E: ' "$1")
  printf '%s\n' "${failed:-apt-get update gave no reason}"
}

apt_update() {
  [[ -n $install_updated ]] && return 0
  install_updated=1
  # apt's status, not tee's, whatever the caller's options.
  local - output attempt
  set -o pipefail
  output=$(mktemp)
  for attempt in 1 2; do
    if as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q 2>&1 | tee "$output"; then
      rm -f "$output"
      return 0
    fi
    [[ $attempt -eq 1 ]] || break
    echo "$install_me: apt-get update failed; trying again in ${LUMIVOX_APT_RETRY_PAUSE:-10} s" >&2
    sleep "${LUMIVOX_APT_RETRY_PAUSE:-10}"
  done
  echo "$install_me: warning: apt-get update failed twice; apt keeps the old index or none for:" >&2
  install_failed_indexes "$output" | sed 's/^/  /' >&2
  rm -f "$output"
  return 0
}

try_install() {
  install_error=
  if ! command -v dpkg-query >/dev/null; then
    echo "$install_me: no dpkg-query; assuming $* are installed" >&2
    return 0
  fi
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  if [[ $(id -u) -ne 0 ]] && ! command -v sudo >/dev/null; then
    install_error="${missing[*]} cannot be installed: neither root nor sudo"
    return 2
  fi
  echo "$install_me: installing ${missing[*]}"
  apt_update
  local - output status=0
  set -o pipefail
  output=$(mktemp)
  as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}" 2>&1 | tee "$output" || status=$?
  if [[ $status -ne 0 ]]; then
    local apt_error
    apt_error=$(grep '^E: ' "$output" | paste -sd ';' - | sed 's/;/; /g')
    install_error="${missing[*]} cannot be installed: ${apt_error:-apt-get install exited $status}"
  fi
  rm -f "$output"
  return "$status"
}

install_missing() {
  local status=0
  try_install "$@" || status=$?
  if [[ $status -ne 0 ]]; then
    echo "$install_me: $install_error" >&2
    exit "$status"
  fi
}
