#!/usr/bin/env bash
# tarvo-batch on a hostile library: books of one stem in one folder, a package beside an EPUB of its
# name, names that are not UTF-8 or that a shell would take apart, DRM and damaged books, and a PDF
# whose pdftohtml hangs. A second batch is started on the same DST by mistake, the first is
# interrupted while the PDF hangs and then resumed. In the end every book has exactly one row,
# every converted book exactly one output of its own, no process of the batch is left 2 s after
# it ends, and nothing was written outside DST and its work folder.
# Usage: batch-library-check.sh TARVO_BATCH TARVO_CMD [BOOKS]
#        (exit 77: parallel not installed; BOOKS defaults to a few hundred)
set -uo pipefail
batch=$(realpath "$1") real_cmd=$(realpath "$2") books=${3:-240}
here=$(cd "$(dirname "$0")" && pwd)
command -v parallel >/dev/null || exit 77
source "$here/time-scale.sh"
# Real books here take a fraction of a second; only the PDF may reach the limit.
limit=$(scaled 5)
# How long to wait for the first batch to reach a point: longer for a bigger library.
patience=$((120 + books / 4))
root=$(mktemp -d /tmp/batch-library.XXXXXX)
marker=hanging-pdftohtml-${root##*.}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ours() { pgrep -f -- "$root"; }   # every process of the batch names a path below root
cleanup() {
  local pid
  for pid in $(ours); do kill -KILL "$pid" 2>/dev/null; done
  rm -rf "$root"
}
trap cleanup EXIT
mkdir -p "$root/bin" "$root/home" "$root/tmp" "$root/cwd"
echo "$(date +%T) a hostile library of $books books"
"$here/../../scripts/make-library.py" "$books" "$root/lib" --hostile --manifest "$root/manifest.json" ||
  exit 1

# The pdftohtml that TarvoCmd's guard finds first on PATH: it hangs, and its name in the process
# list says whose it is.
printf '#!/bin/bash\nexec -a %s sleep 3600\n' "$marker" >"$root/bin/pdftohtml"
chmod +x "$root/bin/pdftohtml"

# Everything below root but DST, the second DST and parallel's own settings; the books by content.
snapshot() {
  python3 - "$root" <<'EOF'
import hashlib, os, sys
root = os.fsencode(sys.argv[1])
skipped = {os.path.join(root, name) for name in (b"dst", b"dst2", b"home/.parallel", b"state")}
for folder, subfolders, names in os.walk(root):
    subfolders[:] = sorted(d for d in subfolders if os.path.join(folder, d) not in skipped)
    for name in sorted(names):
        path = os.path.join(folder, name)
        status = os.lstat(path)
        digest = hashlib.sha1(open(path, "rb").read()).hexdigest() if os.path.isfile(path) else ""
        print(repr(os.path.relpath(path, root)), status.st_size, status.st_mtime_ns, digest)
EOF
}
mkdir -p "$root/state"
snapshot >"$root/state/before"

run_batch() {   # the batch as a user starts it, in a working folder and HOME of its own
  cd "$root/cwd" && HOME=$root/home TMPDIR=$root/tmp PATH=$root/bin:$PATH TARVO_CMD=$real_cmd \
    exec "$batch" convert "$root/lib" "$@"
}
wait_for() {   # seconds, condition...: polls the condition ten times a second
  local tenths=$(($(scaled "$1") * 10))
  shift
  while ((tenths-- > 0)); do "$@" && return 0; sleep 0.1; done
  return 1
}
joblog=$root/dst/.tarvo-batch/joblog
has_jobs() { [[ -f $joblog && $(wc -l <"$joblog") -ge 3 ]]; }
pdf_hangs() { pgrep -f -- "$marker" >/dev/null; }
alive() { [[ $(ps -o stat= -p "$1") == [^Z]* ]]; }   # an unwaited child stays a zombie
dead() { ! alive "$1"; }
no_leftovers() {   # what, after its batch ended: nothing of it may be running 2 s later
  sleep 2
  local left
  left=$(ours | xargs -r ps -o pid=,args= -p)
  [[ -z $left ]] || fail "$1: processes left 2 s after the batch ended:"$'\n'"$left"
}
now() { date +%s.%N; }

echo "$(date +%T) first batch, a second on its DST, Ctrl-C while the PDF hangs"
first_start=$(now)
(run_batch "$root/dst" --to epub --timeout "$limit" --jobs 2 >"$root/state/first.out" \
  2>"$root/state/first.err") &
first=$!
# Each wait for the first batch ends as soon as it has ended: a batch that fell over says so at once.
or_ended() { "$@" || dead "$first"; }
if ! wait_for "$patience" or_ended has_jobs || ! has_jobs; then
  echo "FAIL: the first batch ran no job:"
  tail -5 "$root/state/first.err"
  exit 1
fi

started=$(now)
message=$( (run_batch "$root/dst" --to epub) 2>&1 >/dev/null)
status=$?
took=$(awk -v a="$started" -v b="$(now)" 'BEGIN { print int(b - a) }')
[[ $status == 2 ]] || fail "second batch on the same DST: exit $status, not 2"
grep -qw -- "$first" <<<"$message" || fail "second batch: message does not name pid $first: $message"
((took <= $(scaled 5))) || fail "second batch: refused only after $took s"
# The same work folder under another DST is the same batch's state.
message=$( (run_batch "$root/dst2" --to epub --work "$root/dst/.tarvo-batch") 2>&1 >/dev/null)
status=$?
[[ $status == 2 ]] || fail "second batch on the same work folder: exit $status, not 2"
grep -qw -- "$first" <<<"$message" || fail "second batch on the work folder: message does not name pid $first"
alive "$first" || fail "first batch ended before it could be interrupted"

wait_for "$patience" or_ended pdf_hangs && pdf_hangs || fail "the hanging pdftohtml never started"
kill -INT "$first" 2>/dev/null
wait_for 60 dead "$first" || fail "first batch still running 60 s after Ctrl-C"
wait "$first"
first_status=$?
first_end=$(now)
((first_status != 0)) || fail "interrupted batch: exit 0"
no_leftovers "interrupted batch"
echo "$(date +%T) interrupted after $(($(cat "$joblog" 2>/dev/null | wc -l) - 1)) jobs (exit $first_status)"

echo "$(date +%T) resumed"
resume_start=$(now)
(run_batch "$root/dst" --to epub --timeout "$limit" --jobs 2 --resume) >"$root/state/resume.out" \
  2>"$root/state/resume.err"
resume_status=$?
resume_end=$(now)
no_leftovers "resumed batch"
echo "resumed: exit $resume_status, $(tail -1 "$root/state/resume.out")"
((resume_status == 1)) || fail "resumed batch: exit $resume_status, not 1 (damaged books failed)" \
  "$(tail -3 "$root/state/resume.err")"

python3 - "$root" <<'EOF' || fail "results"
import collections, json, os, re, sys
root = sys.argv[1]
dst = os.path.join(root, "dst")
DRM_CODES = {0x10001, 0x10002, 0x10003, 0x10004, 0x10005, 0x10006, 0x10101}
# results.tsv's cells: backslash escapes for backslash, tab, newline and carriage return, and
# \xHH for each byte of a name that is not UTF-8.
ESCAPED = re.compile(rb"\\(x[0-9a-fA-F]{2}|.)", re.DOTALL)
def cell(raw):
    return ESCAPED.sub(lambda m: bytes.fromhex(m.group(1)[1:].decode()) if len(m.group(1)) == 3
                       else {b"t": b"\t", b"n": b"\n", b"r": b"\r"}.get(m.group(1), m.group(1)), raw)
books = [json.loads(line) for line in open(os.path.join(root, "manifest.json"), encoding="utf-8")]
kinds = {bytes.fromhex(book["hex"]): book["kind"] for book in books}
with open(os.path.join(dst, "results.tsv"), "rb") as stream:
    header = stream.readline().rstrip(b"\n").split(b"\t")
    rows = [[cell(c) for c in line.rstrip(b"\n").split(b"\t")] for line in stream]
column = {name.decode(): index for index, name in enumerate(header)}
problems = []
def problem(*what):
    problems.append(" ".join(str(w) for w in what))
per_book = collections.Counter(row[column["input"]] for row in rows)
for book, count in per_book.items():
    if book not in kinds:
        problem("a row for no book:", book)
    elif count != 1:
        problem("%d rows for" % count, book)
for book in kinds:
    if book not in per_book:
        problem("no row for", book)
outputs = collections.Counter()
failures = collections.Counter()
for row in rows:
    book, output, code, message = (row[column[n]] for n in ("input", "output", "code", "message"))
    kind = kinds.get(book)
    code = int(code) if code.lstrip(b"-").isdigit() else None
    text = message.decode("utf-8", "replace")
    if code != 0:
        failures["%s %s" % (code, re.sub(r" \(TempDirectory kept.*", "", text)[:60])] += 1
    if kind == "ok" and code != 0:
        problem("not converted:", book, code, text)
    if kind == "drm" and code not in DRM_CODES:
        problem("not refused for DRM:", book, code, text)
    if kind in ("damaged", "refused") and code in {0, None} | DRM_CODES:
        problem("damaged book not failed:", book, code, text)
    if kind == "hang" and "timed out" not in text:
        problem("hanging PDF not timed out:", book, code, text)
    if code == 0:
        outputs[output] += 1
        path = os.path.join(os.fsencode(dst), output)
        if not os.path.isfile(path) or open(path, "rb").read(2) != b"PK":
            problem("no EPUB at the output of", book, output)
    elif output:
        problem("an output for a book that failed:", book, output)
for output, count in outputs.items():
    if count > 1:
        problem("%d rows share the output" % count, output)
written = set()
for folder, subfolders, names in os.walk(os.fsencode(dst)):
    subfolders[:] = [d for d in subfolders if d != b".tarvo-batch"]
    written |= {os.path.relpath(os.path.join(folder, n), os.fsencode(dst)) for n in names
                if n.endswith(b".epub")}
for extra in sorted(written - set(outputs)):
    problem("an output no row names:", extra)
print("%d books, %d rows, %d converted; not converted by code and message:" %
      (len(kinds), len(rows), sum(outputs.values())))
for what, count in failures.most_common():
    print("  %5d  %s" % (count, what))
for line in problems[:30]:
    print("  " + line)
sys.exit(1 if problems else 0)
EOF

snapshot >"$root/state/after"
diff "$root/state/before" "$root/state/after" >"$root/state/diff" ||
  fail "written outside DST and its work folder (or a book changed):"$'\n'"$(head -20 "$root/state/diff")"

timing() { "$here/../../scripts/bench-batch.sh" --timing "$joblog" "$@" "$root/dst/results.tsv" | grep -E "^wall|own time|overhead|wrapper"; }
echo "first run:"; timing "$first_start" "$first_end"
echo "resumed run:"; timing "$resume_start" "$resume_end"
((failures == 0)) && echo "batch library check passed"
exit $((failures > 0))
