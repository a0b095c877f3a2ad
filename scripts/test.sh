#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite: once with warnings as errors,
# once under AddressSanitizer + UndefinedBehaviorSanitizer, then a bounded fuzzing run.
# Each stage is named as it starts; the first that fails is named again at the end, with the
# stages that did not run because of it, and its exit status is the command's.
# The slow checks' time limits are multiplied by TARVO_TIME_SCALE; left unset, it is measured here
# before each test stage (see time_scale), so a loaded or slower machine gets longer limits.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
stages=("set-up" "formatting" "configure" "build" "normal tests" "sanitizer build" "sanitizer tests" "fuzzing")
done_stages=()
given_scale=${TARVO_TIME_SCALE:-}

# Runs one stage; on failure says which, and which later stages are left out, then exits.
stage() {
  local name=$1 start=$SECONDS code
  shift
  echo "=== test.sh: $name"
  "$@"
  code=$?
  if ((code != 0)); then
    local later=() seen=
    for s in "${stages[@]}"; do
      [[ $seen ]] && later+=("$s")
      [[ $s == "$name" ]] && seen=1
    done
    echo "=== test.sh: FAILED in stage '$name' (exit status $code) after $((SECONDS - start)) s" >&2
    if ((${#later[@]})); then
      local list
      list=$(printf '%s, ' "${later[@]}")
      echo "=== test.sh: not run: ${list%, }" >&2
    fi
    exit "$code"
  fi
  done_stages+=("$name $((SECONDS - start)) s")
}

# How much slower than the idle 2-core machine CI runs on a single-threaded job runs right now: a
# fixed Python loop's wall time against the REFERENCE s of processor time it takes there. A slower
# processor and other work competing for the cores both raise it. At least 1; at most 5, since a
# machine slower than that cannot finish the command within CI's 90 minutes anyway.
time_scale() {
  python3 - <<'PY'
import time
REFERENCE = 0.50
start = time.monotonic()
total = 0
for i in range(5_000_000):
    total += i * i % 7
wall = time.monotonic() - start
print(f"{min(5.0, max(1.0, wall / REFERENCE)):.1f}")
PY
}

configure() { cmake -S . -B "$1" -DTARVO_WERROR=ON "${@:2}" >/dev/null; }

run_tests() {
  local scale=${given_scale:-$(time_scale)}
  echo "slow checks' time limits x$scale (TARVO_TIME_SCALE)"
  TARVO_TIME_SCALE=$scale ctest --test-dir "$1" --output-on-failure -j"$jobs"
}

# epubcheck, started over a hundred times by the slow checks, spends most of its processor time
# compiling itself: the quick compiler alone halves that, with the same reports.
export JDK_JAVA_OPTIONS="${JDK_JAVA_OPTIONS:-} -XX:TieredStopAtLevel=1 -XX:+UseSerialGC"

stage "set-up" scripts/deps.sh --tests
stage "formatting" scripts/check-format.sh
stage "configure" configure build
stage "build" cmake --build build -j"$jobs"
stage "normal tests" run_tests build

sanitizer_build() { configure build-asan -DTARVO_SANITIZE=ON && cmake --build build-asan -j"$jobs"; }
stage "sanitizer build" sanitizer_build
sanitizer_tests() { ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests build-asan; }
stage "sanitizer tests" sanitizer_tests

# 30 s a target keeps the whole command within half an hour; longer runs: TARVO_FUZZ_SECONDS=600.
stage "fuzzing" scripts/fuzz.sh "${TARVO_FUZZ_SECONDS:-30}"

list=$(printf '%s, ' "${done_stages[@]}")
echo "=== test.sh: all stages passed (${list%, })"
