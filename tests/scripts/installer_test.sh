#!/usr/bin/env bash
# The package installer's decisions on a machine whose mirror is mid-sync,
# against stand-ins for apt-get, dpkg, dpkg-query and sudo on PATH (nothing
# real is installed or changed): apt-get update fails with status 100 for
# one index, and one named package cannot be installed.
#
#   installer_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$1
work=$2
rm -rf "$work"
mkdir -p "$work/bin"
log=$work/apt.log
export STANDIN_LOG=$log

cat >"$work/bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STANDIN_LOG"
case " $* " in
  *" update "*)
    echo "Err:6 http://mirror.test/debian-security bookworm-security/main i386 Packages"
    echo "E: Failed to fetch http://mirror.test/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100 ;;
  *" install "*)
    for package in $STANDIN_BROKEN; do
      if [[ " $* " == *" $package "* ]]; then
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100
      fi
    done ;;
esac
STANDIN
cat >"$work/bin/dpkg-query" <<'STANDIN'
#!/usr/bin/env bash
exit 1
STANDIN
cat >"$work/bin/dpkg" <<'STANDIN'
#!/usr/bin/env bash
echo "dpkg $*" >>"$STANDIN_LOG"
STANDIN
cat >"$work/bin/sudo" <<'STANDIN'
#!/usr/bin/env bash
exec "$@"
STANDIN
chmod +x "$work/bin/"*
export PATH=$work/bin:$PATH LUMIVOX_APT_RETRY_PAUSE=0

failures=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}

# The i686 preparation with wine32 unavailable. The Windows libgsm is put in
# place beforehand: fetching its source is not what is tested here.
build=$work/build-win32
mkdir -p "$build/_deps/prefix/lib" "$build/_deps/prefix/include"
touch "$build/_deps/prefix/lib/libgsm.a" "$build/_deps/prefix/include/gsm.h"
status=0
STANDIN_BROKEN=wine32:i386 "$src/scripts/windows-deps.sh" "$build" i686 >"$work/out" 2>&1 || status=$?
cat "$work/out"
check "an index that fails to update does not stop the preparation" test "$status" -eq 0
check "apt-get update is tried twice, then taken as a warning" \
  test "$(grep -c '^apt-get update' "$log")" -eq 2
check "the warning names the failed index" \
  grep -q 'warning: apt-get update failed.*' "$work/out"
check "... and the index itself" grep -q '^  http://mirror.test/.*binary-i386/Packages.xz (File has unexpected size' "$work/out"
check "the toolchain is installed after the failed update" \
  grep -q '^apt-get install .*g++-mingw-w64-i686-posix' "$log"
reason=$(cat "$build/_deps/i686-skip-reason" 2>/dev/null || true)
check "the reason the i686 tests cannot run is left for the stage" test -n "$reason"
if grep -q '^dpkg --add-architecture i386' "$log"; then
  check "the reason names wine32 and apt's error" \
    grep -q "wine32:i386 cannot be installed: E: Unable to correct problems" <<<"$reason"
fi

# A toolchain that cannot be installed makes the i686 preparation exit 77,
# the reason in the same place.
: >"$log"
status=0
STANDIN_BROKEN=g++-mingw-w64-i686-posix "$src/scripts/windows-deps.sh" "$build" i686 >"$work/out" 2>&1 ||
  status=$?
check "an uninstallable i686 toolchain exits 77" test "$status" -eq 77
check "... naming the package" grep -q 'g++-mingw-w64-i686-posix' "$build/_deps/i686-skip-reason"

# install_missing ends the caller, naming the packages and apt's error.
status=0
(
  source "$src/scripts/install.sh"
  STANDIN_BROKEN=libbroken install_missing libbroken
) >"$work/out" 2>&1 || status=$?
check "a failed install is fatal" test "$status" -ne 0
check "... and says which packages and why" \
  grep -q 'libbroken cannot be installed: E: Unable to correct problems' "$work/out"

# The stage decision: a skip with the reason, a failure when i686 is required.
source "$src/scripts/stages.sh"
stages=$work/stages
printf 'native\tpassed\t407 tests\n' >"$stages"
stage_skip "$stages" "Windows i686" "$reason"
check "the summary shows the skip with its reason and passes" \
  bash -c "source '$src/scripts/stages.sh'; stage_summary '$stages' | grep -q 'Windows i686 *SKIPPED, NOT RUN (.\+)'"
LUMIVOX_REQUIRE_I686=1 stage_skip "$stages" "Windows i686" "$reason"
check "with LUMIVOX_REQUIRE_I686=1 the skip fails the run" \
  bash -c "! (source '$src/scripts/stages.sh'; stage_summary '$stages' >/dev/null)"

[[ $failures -eq 0 ]] || { echo "$failures checks failed"; exit 1; }
