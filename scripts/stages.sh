# Sourced by test.sh and windows-test.sh. Each stage of the test command
# (native, fuzz, Windows x86_64, Windows i686) leaves one line in a status
# file, "NAME<tab>RESULT<tab>DETAIL", and test.sh prints them at the end, so
# that a stage that was skipped is never taken for one that passed.
#
#   run_step COMMAND...                  runs COMMAND in a subshell that stops
#                                        at its first failing command, and
#                                        leaves its exit status in step_status
#   stage_record FILE NAME RESULT [DETAIL]
#                                        RESULT is passed, skipped or failed
#   stage_ctest FILE NAME STATUS LOG     passed or failed by STATUS, with the
#                                        counts from CTest's output in LOG
#   stage_skip FILE NAME REASON          skipped with the reason, or failed
#                                        when the stage is required
#                                        (LUMIVOX_REQUIRE_I686=1 for i686)
#   ctest_counts LOG                     "407 tests, 1 failed, 12 skipped"
#   stage_failed FILE                    true when a stage failed or none
#                                        reported
#   stage_summary FILE                   prints the lines; non-zero as
#                                        stage_failed

# A command list on the left of || or && runs with -e switched off, even in
# a subshell; run_step keeps its subshell out of such a list so that -e
# holds inside, and reports the status in a variable instead.
run_step() {
  set +e
  (
    set -e
    "$@"
  )
  step_status=$?
  set -e
}

stage_record() {
  local file=$1 name=$2 result=$3 detail=${4:-}
  printf '%s\t%s\t%s\n' "$name" "$result" "${detail//$'\n'/; }" >>"$file"
}

ctest_counts() {
  local line total failed skipped
  line=$(grep -Eo '[0-9]+ tests? failed out of [0-9]+' "$1" 2>/dev/null | tail -n 1)
  if [[ -z $line ]]; then
    echo "no CTest result"
    return
  fi
  failed=${line%% *}
  total=${line##* }
  skipped=$(grep -c '(Skipped)$' "$1" || true)
  local counts="$total tests"
  [[ $failed -eq 0 ]] || counts+=", $failed failed"
  [[ $skipped -eq 0 ]] || counts+=", $skipped skipped"
  echo "$counts"
}

stage_ctest() {
  local file=$1 name=$2 status=$3 log=$4
  if [[ $status -eq 0 ]]; then
    stage_record "$file" "$name" passed "$(ctest_counts "$log")"
  else
    stage_record "$file" "$name" failed "$(ctest_counts "$log"); exit status $status"
  fi
}

stage_skip() {
  local file=$1 name=$2 reason=$3
  if [[ $name == *i686* && ${LUMIVOX_REQUIRE_I686:-0} == 1 ]]; then
    stage_record "$file" "$name" failed "required by LUMIVOX_REQUIRE_I686=1 but cannot run: $reason"
  else
    stage_record "$file" "$name" skipped "$reason"
  fi
}

stage_failed() {
  [[ -s $1 ]] || return 0
  cut -f2 "$1" | grep -qx failed
}

stage_summary() {
  local name result detail
  echo
  echo "test summary"
  if [[ ! -s $1 ]]; then
    echo "  no stage reported"
  fi
  while IFS=$'\t' read -r name result detail; do
    case "$result" in
      passed) result="passed" ;;
      skipped) result="SKIPPED, NOT RUN" ;;
      failed) result="FAILED" ;;
    esac
    printf '  %-16s %s%s\n' "$name" "$result" "${detail:+ ($detail)}"
  done <"$1"
  ! stage_failed "$1"
}
