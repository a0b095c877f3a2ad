#!/usr/bin/env bash
# How much of a library conversion tarvo-batch spends on its own work: the time before GNU parallel
# starts the first job (start-up, survey, plan, staging) and after the last one ends (results,
# outputs moved into place) against the whole run, and each job's cost beyond TarvoCmd's own time.
#
#   scripts/bench-batch.sh [COUNT] [--hostile] [--jobs N] [--profile] [--keep]
#       COUNT small books (default 2000) made by make-library.py, converted to EPUB once.
#       --profile  then runs the batch again under cProfile with a TarvoCmd that only answers, so
#                  the profile holds the batch's own work; prints where its time goes.
#   scripts/bench-batch.sh --timing JOBLOG START END [RESULTS_TSV]
#       the same figures for a run that started and ended at those epoch seconds (used by the
#       library check on its interrupted and resumed runs).
#
# TARVO_BATCH (default build/src/cli/tarvo-batch) names the batch; it uses the TarvoCmd beside it
# unless TARVO_CMD says otherwise. BENCH_DIR (default a new folder in /tmp) holds the library.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# Reads parallel's job log (Starttime and JobRuntime of every job) and TarvoCmd's own seconds from
# results.tsv; only jobs that started within [START, END] count, so a resumed run's log, which
# holds the earlier run's jobs too, gives the figures of this run alone.
timing() {
  python3 - "$@" <<'EOF'
import csv, statistics, sys
joblog, start, end = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
results = sys.argv[4] if len(sys.argv) > 4 else None
jobs = []
with open(joblog, encoding="utf-8", errors="replace") as stream:
    next(stream, None)
    for line in stream:
        fields = line.split("\t")
        if len(fields) >= 8 and fields[0].isdigit():
            began, took = float(fields[2]), float(fields[3])
            if start <= began <= end:
                jobs.append((began, took))
whole = end - start
print("wall %.1f s" % whole)
if not jobs:
    print("no job ran: the whole run was the batch's own work")
    sys.exit(0)
first = min(b for b, _ in jobs)
last = max(b + t for b, t in jobs)
before, after = first - start, max(0.0, end - last)
print("jobs %d, run by parallel for %.1f s" % (len(jobs), last - first))
print("batch's own time: %.2f s before the first job, %.2f s after the last one" % (before, after))
print("planning overhead %.2f %% of the whole run" % (100 * (before + after) / whole))
runtimes = [t for _, t in jobs]
print("job time: mean %.3f s, median %.3f s (parallel's JobRuntime: the job wrapper and TarvoCmd)"
      % (statistics.mean(runtimes), statistics.median(runtimes)))
if results:
    with open(results, encoding="utf-8", errors="replace", newline="") as stream:
        rows = list(csv.reader(stream, delimiter="\t", quoting=csv.QUOTE_NONE))
    column = rows[0].index("seconds") if rows and "seconds" in rows[0] else 4
    own = [float(r[column]) for r in rows[1:] if len(r) > column and r[column]]
    if own:
        print("TarvoCmd's own time: mean %.3f s over %d books; the job wrapper adds %.3f s a book"
              % (statistics.mean(own), len(own), statistics.mean(runtimes) - statistics.mean(own)))
EOF
}

if [[ ${1:-} == --timing ]]; then
  shift
  timing "$@"
  exit
fi

count=2000 hostile=() jobs=() profile=0 keep=0
while (($#)); do
  case $1 in
    --hostile) hostile=(--hostile) ;;
    --jobs) jobs=(--jobs "$2"); shift ;;
    --profile) profile=1 ;;
    --keep) keep=1 ;;
    [0-9]*) count=$1 ;;
    *) echo "usage: $0 [COUNT] [--hostile] [--jobs N] [--profile] [--keep]" >&2; exit 2 ;;
  esac
  shift
done
batch=${TARVO_BATCH:-$here/../build/src/cli/tarvo-batch}
[[ -x $batch ]] || { echo "no tarvo-batch at $batch (build first, or set TARVO_BATCH)" >&2; exit 2; }
work=${BENCH_DIR:-$(mktemp -d /tmp/bench-batch.XXXXXX)}
((keep)) || trap 'rm -rf "$work"' EXIT
mkdir -p "$work"

made=$(date +%s.%N)
"$here/make-library.py" "$count" "$work/library" "${hostile[@]}" >/dev/null
echo "library of $count books made in $(awk -v a="$made" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"

start=$(date +%s.%N)
set +e
summary=$("$batch" convert "$work/library" "$work/out" --to epub "${jobs[@]}" 2>"$work/stderr")
status=$?
set -e
end=$(date +%s.%N)
echo "tarvo-batch: exit $status, $summary"
[[ -s $work/stderr ]] && head -5 "$work/stderr"
timing "$work/out/.tarvo-batch/joblog" "$start" "$end" "$work/out/results.tsv"
# The batch's own steps, told apart by when their files were written.
plan=$(stat -c %.Y "$work/out/.tarvo-batch/plan.json" 2>/dev/null || echo "")
arguments=$(stat -c %.Y "$work/out/.tarvo-batch/arguments" 2>/dev/null || echo "")
[[ -n $plan && -n $arguments ]] && awk -v s="$start" -v p="$plan" -v a="$arguments" \
  'BEGIN { printf "of which: start-up, survey and staging until plan.json %.2f s, arguments written %.2f s after\n", p - s, a - p }'

if ((profile)); then
  # Each book "converts" at once into an empty output: what is left is the batch's own work.
  # It answers --facts as the real one does, or the batch would stop before planning.
  real=${TARVO_CMD:-$(dirname "$batch")/TarvoCmd}
  "$real" --facts >"$work/facts.json"
  answer=$work/answer
  printf '#!/bin/sh\n[ "$1" = --facts ] && exec cat %q\n[ $# -ge 3 ] && : >"$3"\necho succeed\necho "return 0"\n' \
    "$work/facts.json" >"$answer"
  chmod +x "$answer"
  start=$(date +%s.%N)
  TARVO_CMD=$answer python3 -m cProfile -o "$work/batch.prof" "$batch" convert "$work/library" \
    "$work/profiled" --to epub "${jobs[@]}" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "--- with a TarvoCmd that only answers (under cProfile):"
  timing "$work/profiled/.tarvo-batch/joblog" "$start" "$end"
  python3 - "$work/batch.prof" <<'EOF'
import pstats, sys
stats = pstats.Stats(sys.argv[1])
# Waiting for parallel is the jobs' time, not the batch's.
stats.sort_stats("cumulative").print_stats(r"tarvo-batch|posix|shutil|json|genericpath", 25)
EOF
fi
((keep)) && echo "kept: $work"
exit 0
