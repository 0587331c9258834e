#!/usr/bin/env bash
# lumivox-setup in a fresh Wine prefix, as an administrator would run it:
#
#   setup_test.sh WINE_RUN WORK SETUP DLL PROBE BITS [X86_DLL [X86_PROBE]]
#
# With LUMIVOX_INF set, the .inf of that word size is checked afterwards in
# the same prefix.
#
# SETUP, DLL and PROBE are of one word size, BITS (64 or 32); X86_DLL and
# X86_PROBE are the 32-bit ones beside a 64-bit SETUP. WORK is emptied and
# holds the bundle and the prefix. Another driver already holds the "wave"
# slot, so setup must take the next free one. The test checks:
# - install copies each DLL into its system directory and adds a wave and a
#   mixer value naming it in its registry view;
# - the driver loads from that registration: OpenDriver on the alias, in a
#   process of the matching word size (setup_probe);
# - a second install changes nothing;
# - uninstall leaves the registry and the system directories exactly as
#   they were before install;
# - the same for the .inf.
set -euo pipefail

wine_run=$1 work=$2 setup=$3 dll=$4 probe=$5 bits=$6 x86_dll=${7:-} x86_probe=${8:-}
prefix=$work/prefix
wineserver=/usr/lib/wine/wineserver64
drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'

fail() { echo "FAIL: $*"; exit 1; }
run() { "$wine_run" "$prefix" "$@"; }

# The 32-bit files of another build may not have been built.
if [ -n "$x86_dll" ] && ! { [ -f "$x86_dll" ] && [ -f "$x86_probe" ]; }; then
  echo "no 32-bit build at $x86_dll: the 32-bit side is not checked"
  x86_dll= x86_probe=
fi

rm -rf "$work"
mkdir -p "$work/bundle/x86" "$work/probe" "$work/probe32" "$prefix"
cd "$work"
cp "$setup" "$dll" bundle/
[ -n "$x86_dll" ] && cp "$x86_dll" bundle/x86/
# The probes stay away from the bundle: a DLL beside a program is loaded
# before the one in the system directory.
cp "$probe" probe/
[ -n "$x86_probe" ] && cp "$x86_probe" probe32/

# The prefix's own wineserver, detached from CTest's pipes (see
# scripts/windows-test.sh), stopped at the end.
trap 'WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true' EXIT
WINEPREFIX=$prefix setsid -f "$wineserver" -p </dev/null >/dev/null 2>&1
"$wine_run" "$prefix" --detached wineboot -i
# Wine makes syswow64 only when its 32-bit side runs; the 64-bit setup
# installs there all the same, as on every 64-bit Windows.
[ -z "$x86_dll" ] || mkdir -p "$prefix/drive_c/windows/syswow64"

# Everything install may touch: both registry views of HKLM\Software and
# both system directories (names and contents). Wine's own services fill
# in the network cards in the background whenever they get to it; those
# keys are left out.
export_software() {
  run reg export 'HKLM\Software' "$1.utf16" "/reg:$2" /y >/dev/null
  iconv -f UTF-16 -t UTF-8 "$1.utf16" | tr -d '\r' |
    awk '/^\[/ { skip = /\\NetworkCards(\\|\])/ } !skip' >"$1"
}
snapshot() {
  local out=$1
  export_software "$out.64.reg" 64
  export_software "$out.32.reg" 32
  (cd "$prefix/drive_c/windows" && find system32 syswow64 -type f -print0 2>/dev/null | sort -z |
    xargs -0 md5sum) >"$out.files" || true
}
same() {
  for part in 64.reg 32.reg files; do
    cmp -s "$1.$part" "$2.$part" || { diff "$1.$part" "$2.$part" | head -20; fail "$3 ($part)"; }
  done
}
# The data of a Drivers32 value in a view, or nothing.
value() {
  run reg query "$drivers32" /v "$1" "/reg:$2" 2>/dev/null | awk -v n="$1" '$1 == n { print $3 }'
}

# Another driver's wave value, in both views, before anything is recorded.
run reg add "$drivers32" /v wave /d other.drv /f /reg:64 >/dev/null
run reg add "$drivers32" /v wave /d other.drv /f /reg:32 >/dev/null
snapshot before

run bundle/lumivox-setup.exe install | tee install.log
sides=("$bits")
[ -n "$x86_dll" ] && sides+=(32)
for side in "${sides[@]}"; do
  [ "$(value wave1 "$side")" = LUMIVOX.dll ] || fail "no wave1 = LUMIVOX.dll in the $side-bit view"
  [ "$(value mixer "$side")" = LUMIVOX.dll ] || fail "no mixer = LUMIVOX.dll in the $side-bit view"
  [ "$(value wave "$side")" = other.drv ] || fail "the other driver's wave value changed ($side-bit)"
done
folder=system32
[ "$bits" = 32 ] && folder=syswow64
cmp "$dll" "$prefix/drive_c/windows/$folder/LUMIVOX.dll" || fail "not copied into $folder"
[ -z "$x86_dll" ] || cmp "$x86_dll" "$prefix/drive_c/windows/syswow64/LUMIVOX.dll" ||
  fail "32-bit DLL not copied into syswow64"

# Loaded from the registration, by processes of each word size. A 32-bit
# process names the system directory system32 whichever folder its copy
# came from (the file system redirects it to syswow64), so the probe also
# prints the word size of the module it got: a 32-bit DLL loaded from the
# system directory is the one in syswow64.
loaded() {  # loaded LOG ALIAS BITS: the alias loaded LUMIVOX.dll of BITS
  grep -qiE "^$2: C:\\\\windows\\\\(system32|syswow64)\\\\LUMIVOX.dll \($3-bit\)" "$1"
}
run probe/setup_probe.exe wave1 | tee probe.log
loaded probe.log wave1 "$bits" || fail "wave1 did not load the $bits-bit LUMIVOX.dll from $folder"
run probe/setup_probe.exe mixer >>probe.log || fail "mixer did not open"
if [ -n "$x86_probe" ]; then
  if [ -n "${LUMIVOX_WINE32_SKIP:-}" ]; then
    echo "32-bit load not tried: $LUMIVOX_WINE32_SKIP"
  else
    run probe32/setup_probe.exe wave1 | tee probe32.log
    loaded probe32.log wave1 32 || fail "32-bit wave1 did not load the 32-bit LUMIVOX.dll"
  fi
fi

snapshot installed
run bundle/lumivox-setup.exe install | tee again.log
grep -q "already installed" again.log || fail "a second install did something"
snapshot again
same installed again "a second install changed something"

run bundle/lumivox-setup.exe status | tee status.log
grep -q "added by lumivox-setup: wave1 mixer" status.log || fail "status does not show the record"

run bundle/lumivox-setup.exe uninstall | tee uninstall.log
snapshot after
same before after "uninstall did not restore what was there"
echo "setup: install, load, idempotence and uninstall checked (${sides[*]}-bit)"

# Pairing, as the user: the key lands in the user's hive, in the form the
# driver reads, and goes again with unpair; a bad key or name is refused.
keys='HKCU\Software\Lumivox\Keys'
key=00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff
run bundle/lumivox-setup.exe pair 10.0.0.5:9000 "$key" | tee pair.log
stored=$(run reg query "$keys" /v 10.0.0.5:9000 2>/dev/null | tr -d '\r' | awk '$1 == "10.0.0.5:9000" { print $3 }')
[ "$stored" = "${key,,}" ] || fail "pair stored '$stored', not the key"
run bundle/lumivox-setup.exe pair 10.0.0.5:9000 1234 >/dev/null 2>&1 && fail "pair took a short key"
run bundle/lumivox-setup.exe pair 'x\y' "$key" >/dev/null 2>&1 && fail "pair took a bad name"
run bundle/lumivox-setup.exe unpair 10.0.0.5:9000 | tee unpair.log
run reg query "$keys" /v 10.0.0.5:9000 >/dev/null 2>&1 && fail "unpair left the key"
echo "setup: pair and unpair checked"

# The .inf of the same word size (LUMIVOX_INF, the 64-bit one), through
# setupapi as a policy runs it: its fixed slots, the driver loaded from
# them, and an uninstall that restores everything.
[ -n "${LUMIVOX_INF:-}" ] || exit 0
cp "$LUMIVOX_INF" bundle/lumivox.inf
inf() { run rundll32 setupapi.dll,InstallHinfSection "$1" 128 "$(run winepath -w bundle/lumivox.inf)"; }
inf DefaultInstall
[ "$(value wave9 "$bits")" = LUMIVOX.dll ] || fail "the .inf wrote no wave9"
[ "$(value mixer9 "$bits")" = LUMIVOX.dll ] || fail "the .inf wrote no mixer9"
run probe/setup_probe.exe wave9 | tee inf-probe.log
loaded inf-probe.log wave9 "$bits" || fail "wave9 of the .inf did not load the $bits-bit LUMIVOX.dll"
inf DefaultUninstall
snapshot after-inf
same before after-inf "the .inf's uninstall did not restore what was there"
echo "setup: the .inf installed, loaded and uninstalled"
