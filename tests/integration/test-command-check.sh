#!/usr/bin/env bash
# scripts/test.sh with every program it starts replaced by a stand-in that fails on cue: the stage
# that failed is named with the stages it left out, and its exit status is the command's.
# Usage: test-command-check.sh SOURCE_DIR
set -u
root=$1
sandbox=$(mktemp -d); trap 'rm -rf "$sandbox"' EXIT
mkdir -p "$sandbox/scripts" "$sandbox/bin"
cp "$root/scripts/test.sh" "$sandbox/scripts/"
# Each stand-in records how it was called and fails with 3 when FAIL_ON is part of that call.
for program in scripts/deps.sh scripts/check-format.sh scripts/fuzz.sh bin/cmake bin/ctest; do
  cat >"$sandbox/$program" <<'STUB'
#!/usr/bin/env bash
echo "$(basename "$0") $* scale=${TARVO_TIME_SCALE:-}" >>"$CALLS"
case " $(basename "$0") $* " in *"$FAIL_ON"*) exit 3;; esac
exit 0
STUB
  chmod +x "$sandbox/$program"
done
status=0
all="formatting, configure, build, normal tests, sanitizer build, sanitizer tests, fuzzing"
# what fails | the stage named | the stages named as not run | exit status
while IFS='|' read -r fail_on stage not_run code; do
  export CALLS=$sandbox/calls FAIL_ON=$fail_on
  : >"$CALLS"
  out=$(PATH="$sandbox/bin:$PATH" TARVO_TIME_SCALE=1.5 bash "$sandbox/scripts/test.sh" 2>&1)
  got=$?
  problem=
  ((got == code)) || problem="exit status $got, not $code"
  if [[ -n $stage ]]; then
    grep -qxE "=== test.sh: FAILED in stage '$stage' \(exit status 3\) after [0-9]+ s" <<<"$out" || problem+=" no failure line for '$stage'"
    if [[ -n $not_run ]]; then
      grep -qxF "=== test.sh: not run: $not_run" <<<"$out" || problem+=" not-run line wrong"
    else
      grep -q 'not run' <<<"$out" && problem+=" a not-run line after the last stage"
    fi
  else
    grep -q '^=== test.sh: all stages passed' <<<"$out" || problem+=" no line saying all passed"
    [[ $(grep -c '^ctest .*scale=1.5$' "$CALLS") == 2 ]] || problem+=" the test stages did not get TARVO_TIME_SCALE"
  fi
  [[ -z $problem ]] || { echo "failing on '$fail_on': $problem"; echo "$out" | sed 's/^/    /'; status=1; }
done <<TABLE
deps.sh |set-up|$all|3
check-format.sh |formatting|${all#formatting, }|3
-B build -D|configure|${all#formatting, configure, }|3
--build build -j|build|normal tests, sanitizer build, sanitizer tests, fuzzing|3
--test-dir build --|normal tests|sanitizer build, sanitizer tests, fuzzing|3
-B build-asan|sanitizer build|sanitizer tests, fuzzing|3
--test-dir build-asan|sanitizer tests|fuzzing|3
fuzz.sh |fuzzing||3
nothing at all|||0
TABLE
((status == 0)) && echo "the test command names the stage that failed"
exit $status
