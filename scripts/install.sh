# Sourced by the scripts that set up a fresh Debian 12 machine (test.sh,
# demo.sh): install_missing PACKAGE... installs the packages that dpkg does
# not list as installed, updating the package index once before that
# install. Needs root or sudo when something is missing; without dpkg it
# assumes that everything is there. The caller's name prefixes messages.

install_missing() {
  local me
  me=$(basename "$0")
  if ! command -v dpkg-query >/dev/null; then
    echo "$me: no dpkg-query; assuming $* are installed" >&2
    return
  fi
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [[ ${#missing[@]} -eq 0 ]] && return
  local as_root=()
  if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
      echo "$me: missing ${missing[*]}, and neither root nor sudo to install them" >&2
      exit 2
    fi
    as_root=(sudo)
  fi
  echo "$me: installing ${missing[*]}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}
