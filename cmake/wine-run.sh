#!/usr/bin/env bash
# Runs one Windows program under Wine, for CTest and the build scripts:
#
#   cmake/wine-run.sh PREFIX [--detached] PROGRAM [ARGUMENTS...]
#
# PREFIX is the private Wine prefix, kept out of the source tree (the
# toolchain puts it in the build tree). Wine's own audio drivers are turned
# off so that nothing in the prefix reaches a sound system; the .NET and
# HTML engines so that making the prefix asks to install neither; the menu
# builder so that the prefix writes nothing into the user's desktop menus.
#
# The C runtime writes text-mode output with CR LF line ends; they are turned
# into LF, so that CTest reads the test lists and results of Windows
# programs as it reads native ones. The program's exit status is kept.
# A test program that fails before printing anything is run once more
# (below).
#
# --detached runs the program in a session of its own with every stream on
# /dev/null and waits for it: the background services that booting a
# prefix starts then hold no pipe of the caller's (scripts/windows-test.sh).
set -eo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winealsa.drv,winepulse.drv,wineoss.drv,winecoreaudio.drv=d;mscoree,mshtml=d;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64
if [ "$1" = --detached ]; then
  shift
  exec setsid --wait "$wine" "$@" </dev/null >/dev/null 2>&1
fi
# A test program prints its first line before it runs a test. One that
# failed without a line never reached its main: Wine itself did not start it
# (a loader or server hiccup), and it is run once more. A real fault fails
# the second run as well.
case " $* " in
  *" --gtest_filter="*)
    output=$(mktemp)
    trap 'rm -f "$output"' EXIT
    status=0
    "$wine" "$@" | tr -d '\r' >"$output" || status=$?
    if [ "$status" -ne 0 ] && [ ! -s "$output" ]; then
      echo "wine-run.sh: $1 exited with status $status before its first line; running it again" >&2
      status=0
      "$wine" "$@" | tr -d '\r' >"$output" || status=$?
    fi
    cat "$output"
    exit "$status"
    ;;
esac
"$wine" "$@" | tr -d '\r'
