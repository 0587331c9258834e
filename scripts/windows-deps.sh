#!/usr/bin/env bash
# Prepares a fresh Debian 12 machine for the Windows build and installs the
# Windows builds of its dependencies:
#
#   scripts/windows-deps.sh [BUILD_DIR [ARCH]]   (default: build-win x86_64)
#
# ARCH is x86_64 or i686, the word size BUILD_DIR is built for.
#
# - the mingw-w64 cross compiler of ARCH (-posix variants), Wine (for i686
#   also its 32-bit side, wine32, which needs dpkg's i386 architecture: it is
#   added, with an apt-get update, when missing), GoogleTest's sources, and
#   dpkg-dev for unpacking source packages, each only when missing, with the
#   shared installer (scripts/install.sh: an index that fails to update is
#   a warning, a package that fails to install an error). For i686, when
#   its toolchain cannot be installed the exit status is 77; when only
#   wine32 cannot, the build goes on; either way the reason is left in
#   BUILD_DIR/_deps/i686-skip-reason;
# - libgsm, from Debian's source package: a deb-src entry for bookworm main
#   is added with the same archive and keyring as the machine's existing apt
#   sources, the source is fetched into BUILD_DIR/_deps/src and compiled as
#   a static library with the mingw compiler into BUILD_DIR/_deps/prefix,
#   where the toolchain file (LUMIVOX_WINDOWS_PREFIX) finds it.
#
# Nothing is written into the source tree except BUILD_DIR, which git ignores.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build-win}")
arch=${2:-x86_64}
deps=$build/_deps
prefix=$deps/prefix
skip_reason=$deps/i686-skip-reason
case "$arch" in
  x86_64) triple=x86_64-w64-mingw32 debarch=x86-64 ;;
  i686) triple=i686-w64-mingw32 debarch=i686 ;;
  *) echo "windows-deps.sh: ARCH is x86_64 or i686, not '$arch'" >&2; exit 2 ;;
esac
cc=$triple-gcc-posix
deb_src_list=/etc/apt/sources.list.d/lumivox-deb-src.sources

# The shared package installer: install_missing, try_install, apt_update,
# apt_sources_changed, as_root.
source "$top/scripts/install.sh"

# Prints "URI KEYRING" of the existing apt source that carries bookworm main
# (deb822 .sources files first, then one-line lists). KEYRING is the keyring
# file, or empty when the source names none (or embeds its key, which is
# not copied: apt then falls back to its trusted keys).
main_archive() {
  local files=(/etc/apt/sources.list.d/*.sources)
  [ -e "${files[0]}" ] && awk '
    function flush() {
      if (types ~ /(^| )deb( |$)/ && suites ~ /(^| )bookworm( |$)/ && comps ~ /(^| )main( |$)/ && uri != "") {
        print uri, keyring; found = 1; exit
      }
      types = suites = comps = uri = keyring = ""
    }
    /^[[:space:]]*#/ { next }
    /^[[:space:]]*$/ { flush(); next }
    /^[[:space:]]/ { next }
    { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ +/, "") }
    key == "types" { types = $0 }
    key == "uris" { split($0, u, " "); uri = u[1] }
    key == "suites" { suites = $0 }
    key == "components" { comps = $0 }
    key == "signed-by" && $0 ~ /^\// { keyring = $0 }
    END { if (!found) flush() }
  ' "${files[@]}" | head -n 1 | grep . && return
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '
    $1 == "deb" {
      keyring = ""; i = 2
      if ($2 ~ /^\[/) {
        for (; i <= NF; i++) {
          if ($i ~ /^\[?signed-by=/) { keyring = $i; sub(/^\[?signed-by=/, "", keyring); sub(/\]$/, "", keyring) }
          if ($i ~ /\]$/) { i++; break }
        }
      }
      uri = $i; suite = $(i + 1)
      for (j = i + 2; j <= NF; j++) if (suite == "bookworm" && $j == "main") { print uri, keyring; exit }
    }' || true
}

# Makes "apt-get source" able to find bookworm's source packages.
add_deb_src() {
  apt-cache showsrc libgsm >/dev/null 2>&1 && return
  local archive uri keyring
  archive=$(main_archive)
  [ -n "$archive" ] || { echo "no apt source carries bookworm main; cannot add deb-src" >&2; exit 1; }
  read -r uri keyring <<<"$archive"
  echo "adding deb-src for bookworm main from $uri"
  {
    echo "Types: deb-src"
    echo "URIs: $uri"
    echo "Suites: bookworm"
    echo "Components: main"
    [ -n "$keyring" ] && echo "Signed-By: $keyring"
  } | as_root tee "$deb_src_list" >/dev/null
  apt_sources_changed
  apt_update
}

# Builds the static library with the package's own Makefile (Debian's patches
# applied, its default options: SASR and WAV49), the mingw tools in place of
# the native ones.
build_gsm() {
  [ -f "$prefix/lib/libgsm.a" ] && [ -f "$prefix/include/gsm.h" ] && return
  add_deb_src
  rm -rf "$deps/src/gsm"
  mkdir -p "$deps/src/gsm" "$prefix/lib" "$prefix/include"
  local sandbox=()
  [ "$(id -u)" = 0 ] && sandbox=(-o APT::Sandbox::User=root)
  (cd "$deps/src/gsm" && apt-get source -q "${sandbox[@]}" --only-source libgsm)
  local source
  source=$(find "$deps/src/gsm" -mindepth 3 -maxdepth 3 -path '*/src/gsm_create.c' -printf '%h\n' | head -n 1)
  source=${source%/src}
  [ -n "$source" ] || { echo "libgsm sources not found under $deps/src/gsm" >&2; exit 1; }
  make -C "$source" -s CC="$cc -ansi -pedantic" AR=$triple-ar RANLIB=$triple-ranlib ./lib/libgsm.a
  cp "$source/lib/libgsm.a" "$prefix/lib/libgsm.a"
  cp "$source/inc/gsm.h" "$prefix/include/gsm.h"
  echo "libgsm for Windows: $prefix/lib/libgsm.a"
}

# Wine's 32-bit side comes from the i386 architecture, which a fresh amd64
# machine does not list yet; apt only sees its packages after an update.
add_i386() {
  dpkg --print-foreign-architectures | grep -qx i386 && return
  as_root dpkg --add-architecture i386
  apt_sources_changed
}

# Whether this kernel runs 32-bit x86 programs, which Wine's 32-bit loader
# is: a minimal static ELF that only exits is tried. Where it cannot run,
# wine32 would be of no use and is not installed (its tests are skipped
# with the reason).
runs_32bit() {
  local probe
  probe=$(mktemp)
  python3 - "$probe" <<'EOF'
import struct, sys
code = bytes.fromhex("b80100000031dbcd80")  # exit(0): eax = 1, ebx = 0, int 0x80
base = 0x08048000
size = 52 + 32 + len(code)
header = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack(
    "<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
program = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
open(sys.argv[1], "wb").write(header + program + code)
EOF
  chmod +x "$probe"
  local status=0
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return "$status"
}

# The 32-bit side of Wine is what the i686 tests run on. When it cannot be
# had (a kernel without 32-bit programs, or an i386 index that the mirror
# does not serve consistently, so that wine32's libraries have no matching
# versions), the i686 build still goes on, and the reason is left in
# BUILD_DIR/_deps/i686-skip-reason for windows-test.sh, which then reports
# the i686 tests as skipped (or failed with LUMIVOX_REQUIRE_I686=1).
wine32() {
  local reason=
  if [ -z "$runs_32bit" ]; then
    reason="this kernel runs no 32-bit programs (IA-32 emulation off), so Wine's 32-bit side cannot run"
  else
    try_install wine32:i386 || reason=$install_error
  fi
  [ -z "$reason" ] && return
  mkdir -p "$deps"
  printf '%s\n' "$reason" >"$skip_reason"
  echo "windows-deps.sh: the i686 tests cannot run: $reason" >&2
}

# What the build needs. For x86_64 a package that cannot be installed ends
# the run; for i686 the exit status is 77 with the reason in
# BUILD_DIR/_deps/i686-skip-reason, which windows-test.sh reports as a
# skipped stage.
packages=(g++-mingw-w64-$debarch-posix gcc-mingw-w64-$debarch-posix binutils-mingw-w64-$debarch
  wine64 googletest dpkg-dev cmake make)
rm -f "$skip_reason"
if [ "$arch" = i686 ]; then
  # The i386 architecture goes in first, so that one index update serves
  # the toolchain and wine32 alike.
  runs_32bit=
  if runs_32bit; then
    runs_32bit=1
    add_i386
  fi
  if ! try_install "${packages[@]}"; then
    mkdir -p "$deps"
    echo "the i686 toolchain cannot be installed: $install_error" | tee "$skip_reason" >&2
    exit 77
  fi
  wine32
else
  install_missing "${packages[@]}"
fi
build_gsm
