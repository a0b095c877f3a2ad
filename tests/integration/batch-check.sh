#!/usr/bin/env bash
# Whole-library runs of tarvo-batch over a tree of real books: good, DRM, damaged, hanging and
# crashing ones, odd names, a second run, a resumed run and jobs sent to a second "machine".
# Usage: batch-check.sh TARVO_BATCH TARVO_CMD DATA_DIR      (exit 77: parallel not installed)
set -uo pipefail
batch=$(realpath "$1") real_cmd=$(realpath "$2") data=$(realpath "$3")
command -v parallel >/dev/null && command -v rsync >/dev/null || exit 77
source "$(dirname "$0")/time-scale.sh"
# Long enough for any real book here, however loaded the machine; the hanging book sleeps 60 s.
limit=$(scaled 6)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { [[ "$1" == "$2" ]] || fail "$3: expected [$2], got [$1]"; }

# A stand-in TarvoCmd: records each book it is given (not the batch's start-up question), can be
# slowed down by a helper of its own, and hangs or crashes on books named so; everything else is
# done by the real program.
slow_helper=$work/slow-helper
cat >"$work/tarvo-stand-in" <<EOF
#!/usr/bin/env bash
[[ \${1:-} == [cg] ]] && echo "\$2" >>"$work/calls"
case "\${2:-}" in *hang*) exec sleep 60;; *crash*) kill -SEGV \$\$;; esac
[[ -n "\${SLOW:-}" ]] && (exec -a "$slow_helper" sleep "\$SLOW")
exec "$real_cmd" "\$@"
EOF
chmod +x "$work/tarvo-stand-in"
export TARVO_CMD=$work/tarvo-stand-in

# ssh to a second machine, played by this one with its own home folder; like sshd it sets HOME
# and SHELL (parallel's remote worker runs jobs with $SHELL, and CI may start us without one).
cat >"$work/fake-ssh" <<EOF
#!/usr/bin/env bash
while [[ \$# -gt 0 && \$1 == -* ]]; do case \$1 in -o|-p|-l|-i|-S) shift 2;; *) shift;; esac; done
shift; [[ \${1:-} == -- ]] && shift
export HOME=$work/remote-home SHELL=/bin/bash; mkdir -p "\$HOME"; cd "\$HOME" && exec bash -c "\$*"
EOF
chmod +x "$work/fake-ssh"

library=$work/library
mkdir -p "$library/nested/deeper" "$library/odd names"
cp "$data/epub/qs-eng.epub" "$library/"
cp "$data/epub/lm-ja.epub" "$library/nested/"
cp "$data/epub/policy.epub" "$library/odd names/it's a \"quoted\" book.epub"
cp "$data/mobi/qs-eng-mobi6.mobi" "$data/mobi/qs-eng-kf8.azw3" "$library/nested/deeper/"
cp "$data/text/en-utf8.txt" "$library/odd names/plain text.txt"
cp "$data/mobi/bad-encryption2.mobi" "$library/nested/drm.mobi"
cp "$data/mobi/bad-truncated-half.mobi" "$library/nested/deeper/damaged.mobi"
cp "$data/text/en-utf8.txt" "$library/hang.txt"
cp "$data/text/en-utf8.txt" "$library/crash.txt"
good_books=6

code_of() { awk -F'\t' -v b="$2" '$1 == b { print $3 }' "$1"; }
message_of() { awk -F'\t' -v b="$2" '$1 == b { print $4 }' "$1"; }

for format in epub txt; do
  echo "$(date +%T) the library to $format, then again"
  out=$work/out-$format
  summary=$("$batch" convert "$library" "$out" --to "$format" --timeout "$limit" --jobs 2)
  status=$?
  table=$out/results.tsv
  expect_eq "$status" 1 "$format: exit status with failed books"
  expect_eq "$summary" "converted $good_books, skipped 0, refused for DRM 1, failed 3" "$format: summary"
  expect_eq "$(($(wc -l <"$table") - 1))" 10 "$format: one row per book"
  for book in qs-eng.epub nested/lm-ja.epub "odd names/it's a \"quoted\" book.epub" \
      nested/deeper/qs-eng-mobi6.mobi nested/deeper/qs-eng-kf8.azw3 "odd names/plain text.txt"; do
    expect_eq "$(code_of "$table" "$book")" 0 "$format: $book converted"
    [[ -s "$out/${book%.*}.$format" ]] || fail "$format: no output for $book"
  done
  expect_eq "$(code_of "$table" nested/drm.mobi)" 65537 "$format: DRM refused"
  expect_eq "$(code_of "$table" nested/deeper/damaged.mobi)" 503316481 "$format: damaged book"
  [[ "$(message_of "$table" hang.txt)" == "timed out"* ]] || fail "$format: hang not timed out"
  [[ "$(message_of "$table" crash.txt)" == "crashed (signal 11)"* ]] || fail "$format: crash"
  # Kept: the TempDirectories of the DRM and the damaged book (the stand-in hangs and crashes
  # before TarvoCmd makes one); removed: those of every converted book.
  [[ $(find "$out/.tarvo-batch/stage/tmp" -mindepth 1 -maxdepth 1 -name '[0-9]*' | wc -l) == 2 ]] ||
    fail "$format: only the failed books' TempDirectories are kept"

  : >"$work/calls"
  summary=$("$batch" convert "$library" "$out" --to "$format" --timeout "$limit")
  expect_eq "$?/$summary" "0/converted 0, skipped 10, refused for DRM 0, failed 0" "$format: second run"
  [[ ! -s "$work/calls" ]] || fail "$format: second run converted again: $(cat "$work/calls")"
done
unzip -tq "$work/out-epub/odd names/it's a \"quoted\" book.epub" >/dev/null || fail "odd name: bad EPUB"

# Interrupted, then resumed: books finished before the kill are not converted again, and
# nothing of the stopped books runs on. The batch alone is told to stop (as by a job manager's
# TERM), or its whole process group is (as by Ctrl-C in a terminal).
shelf=$work/shelf
mkdir -p "$shelf"
for i in 1 2 3 4 5 6 7 8; do cp "$data/epub/qs-eng.epub" "$shelf/book $i.epub"; done
for stop in batch group; do
  echo "$(date +%T) interrupted ($stop) and resumed"
  out=$work/out-resume-$stop
  : >"$work/calls"
  SLOW=0.7 setsid "$batch" convert "$shelf" "$out" --to azw3 --jobs 2 >/dev/null 2>&1 &
  leader=$!
  joblog=$out/.tarvo-batch/joblog
  for _ in $(seq $(($(scaled 60) * 10))); do   # killed once two books are done, however slow the machine
    [[ -f $joblog && $(wc -l <"$joblog") -ge 3 ]] && break
    sleep 0.1
  done
  if [[ $stop == batch ]]; then kill -INT "$leader"; else kill -INT -- "-$leader"; fi
  wait "$leader" 2>/dev/null
  sleep 2
  left=$(pgrep -f "$slow_helper|$work/tarvo-stand-in")
  [[ -z $left ]] || { fail "interrupted ($stop): processes left: $(echo $left)"; kill $left; }
  done_before=$(($(wc -l <"$joblog") - 1))
  ((done_before > 0 && done_before < 8)) || fail "resume ($stop): kill came at the wrong time ($done_before done)"
  : >"$work/calls"
  summary=$("$batch" convert "$shelf" "$out" --to azw3 --resume)
  expect_eq "$?/$summary" "0/converted 8, skipped 0, refused for DRM 0, failed 0" "resume ($stop): summary"
  expect_eq "$(wc -l <"$work/calls")" $((8 - done_before)) "resume ($stop): only what was missing ran"
  expect_eq "$(ls "$out"/*.azw3 | wc -l)" 8 "resume ($stop): every output in place"
done

# Jobs spread over this machine and a second one reached through ssh.
echo "$(date +%T) over two machines"
summary=$("$batch" convert "$shelf" "$work/out-remote" --to epub -S : -S 1/second \
  --ssh "$work/fake-ssh")
expect_eq "$?/$summary" "0/converted 8, skipped 0, refused for DRM 0, failed 0" "remote: summary"
grep -q $'\tsecond\t' "$work/out-remote/.tarvo-batch/joblog" || fail "remote: no job ran on 'second'"
for i in 1 2 3 4 5 6 7 8; do
  unzip -tq "$work/out-remote/book $i.epub" >/dev/null || fail "remote: book $i not returned whole"
done

# The catalogue holds one JSON line per book with the metadata g gives for it alone.
echo "$(date +%T) catalogue"
export TARVO_CMD=$real_cmd
"$batch" catalogue "$library" "$work/catalogue/books.jsonl" --timeout "$limit" >/dev/null
python3 - "$work/catalogue/books.jsonl" "$library" "$real_cmd" "$work" <<'EOF' || fail "catalogue"
import json, os, subprocess, sys
catalogue, library, tarvo, work = sys.argv[1:]
lines = [json.loads(line) for line in open(catalogue, encoding="utf-8")]
assert len(lines) == 10, len(lines)
for line in lines:
    meta = os.path.join(work, "one.json")
    subprocess.run([tarvo, "g", os.path.join(library, line["path"]), os.path.join(work, "t"), meta,
                    os.path.join(work, "cover")], stdout=subprocess.DEVNULL)
    alone = json.load(open(meta, encoding="utf-8-sig")) if os.path.exists(meta) else {}
    if os.path.exists(meta):
        os.unlink(meta)
    if line["code"] == 0:
        assert line["metadata"].get("title") == alone.get("title"), (line, alone)
    if line["cover"]:
        assert os.path.getsize(os.path.join(os.path.dirname(catalogue), line["cover"])) > 0
assert any(line["cover"] for line in lines)
EOF

# Without a TarvoCmd that starts, the batch stops before planning: a message, status 2, no DST.
lonely=$work/lonely
mkdir -p "$lonely" && cp "$batch" "$lonely/"
printf '#!/bin/sh\nexec /nonexistent/TarvoCmd "$@"\n' >"$work/cannot-run"
chmod +x "$work/cannot-run"
refused() {   # what, TARVO_CMD ("" leaves it unset), words the message must hold
  local message status
  message=$(unset TARVO_CMD; [[ -n $2 ]] && export TARVO_CMD=$2
            "$lonely/tarvo-batch" convert "$library" "$work/out-refused" --to epub 2>&1 >/dev/null)
  status=$?
  expect_eq "$status" 2 "$1: exit status"
  [[ $message == *"$3"* ]] || fail "$1: message [$message] lacks [$3]"
  [[ ! -e $work/out-refused ]] || fail "$1: planned anyway"
}
refused "nothing beside tarvo-batch" "" "no TarvoCmd beside tarvo-batch ($lonely) and TARVO_CMD is not set"
refused "TARVO_CMD names nothing" "$work/nothing-here" "TARVO_CMD=$work/nothing-here is not an executable"
refused "TARVO_CMD cannot run" "$work/cannot-run" "cannot run (exit 127"
printf '#!/bin/sh\necho "Format: TarvoCmd c ..."\n' >"$work/no-facts"
chmod +x "$work/no-facts"
refused "TARVO_CMD answers no facts" "$work/no-facts" "gives no facts"
"$batch" convert --help | grep -q TARVO_CMD || fail "help: TARVO_CMD not named"

# A TarvoCmd that could not start fails no book: the next run, plain or resumed, converts it
# without --retry-failed.
cat >"$work/flaky" <<EOF
#!/usr/bin/env bash
[[ \${1:-} == --facts || -z \${BROKEN:-} ]] && exec "$real_cmd" "\$@"
exec /nonexistent/TarvoCmd "\$@"
EOF
chmod +x "$work/flaky"
pair=$work/pair
mkdir -p "$pair"
cp "$data/epub/qs-eng.epub" "$data/text/en-utf8.txt" "$pair/"
for again in "" --resume; do
  out=$work/out-setup$again
  summary=$(BROKEN=1 TARVO_CMD=$work/flaky "$batch" convert "$pair" "$out" --to azw3 2>"$work/stderr")
  expect_eq "$?/$summary" "1/converted 0, skipped 0, refused for DRM 0, failed 2" "set-up$again: summary"
  for book in qs-eng.epub en-utf8.txt; do
    expect_eq "$(code_of "$out/results.tsv" "$book")" -2 "set-up$again: $book's code"
  done
  grep -q "2 books were not tried" "$work/stderr" || fail "set-up$again: not said: $(cat "$work/stderr")"
  summary=$(TARVO_CMD=$work/flaky "$batch" convert "$pair" "$out" --to azw3 $again)
  expect_eq "$?/$summary" "0/converted 2, skipped 0, refused for DRM 0, failed 0" "set-up$again: rerun"
done
# The same when the other machine has no tarvo-batch where the job looks for it.
summary=$("$batch" convert "$pair" "$work/out-setup-remote" --to azw3 -S 1/second --ssh "$work/fake-ssh" \
  --remote-command "$work/nothing-here" 2>/dev/null)
expect_eq "$?/$summary" "1/converted 0, skipped 0, refused for DRM 0, failed 2" "set-up remote: summary"
expect_eq "$(code_of "$work/out-setup-remote/results.tsv" en-utf8.txt)" -2 "set-up remote: code"
summary=$("$batch" convert "$pair" "$work/out-setup-remote" --to azw3 -S 1/second --ssh "$work/fake-ssh")
expect_eq "$?/$summary" "0/converted 2, skipped 0, refused for DRM 0, failed 0" "set-up remote: rerun"

# Unpacked OPF packages are one book each, named after their folder; the pages their manifests
# list are no books, a page none lists is left out with a row, any other book there is a book,
# and a library manager's metadata.opf is no book. Here and on a second machine alike.
packages=$work/packages
mkdir -p "$packages/shelf/qs" "$packages/lm" "$packages/Author/Title"
unzip -q "$data/epub/qs-eng.epub" -d "$packages/shelf/qs"
unzip -q "$data/epub/lm-ja.epub" -d "$packages/lm"   # its package is in OEBPS/, named by container.xml
cp "$data/text/en-utf8.txt" "$packages/shelf/qs/notes.txt"
echo '<html><body><p>draft</p></body></html>' >"$packages/shelf/qs/text/draft.xhtml"
cp "$data/epub/qs-eng.epub" "$packages/Author/Title/Title.epub"
printf '<package version="2.0"><metadata><dc:title>Title</dc:title></metadata></package>\n' \
  >"$packages/Author/Title/metadata.opf"
expected_rows=$(printf '%s\t%s\t%s\n' \
  Author/Title/Title.epub Author/Title/Title.epub 0 \
  lm/OEBPS/content.opf lm.epub 0 \
  shelf/qs/content.opf shelf/qs.epub 0 \
  shelf/qs/notes.txt shelf/qs/notes.epub 0 \
  shelf/qs/text/draft.xhtml "" "")
for where in here remote; do
  out=$work/out-packages-$where
  remote=()
  [[ $where == remote ]] && remote=(-S 1/second --ssh "$work/fake-ssh")
  summary=$("$batch" convert "$packages" "$out" --to epub "${remote[@]}")
  expect_eq "$?/$summary" "0/converted 4, skipped 1, refused for DRM 0, failed 0" "packages $where: summary"
  expect_eq "$(tail -n +2 "$out/results.tsv" | cut -f1-3)" "$expected_rows" "packages $where: rows"
  expect_eq "$(cd "$out" && find . -name '*.epub' | sort | tr '\n' ' ')" \
    "./Author/Title/Title.epub ./lm.epub ./shelf/qs.epub ./shelf/qs/notes.epub " "packages $where: outputs"
  # The package gives every file of the book it was unzipped from.
  expect_eq "$(unzip -Z1 "$out/shelf/qs.epub" | sort)" "$(unzip -Z1 "$work/out-epub/qs-eng.epub" | sort)" \
    "packages $where: the package's book"
  unzip -tq "$out/lm.epub" >/dev/null || fail "packages $where: lm.epub is not whole"
done

# Books that would share an output get one each: the first in byte order keeps the plain name,
# the others their file name with the new extension; a second run finds each book's own output.
echo "$(date +%T) books of one name"
export TARVO_CMD=$real_cmd
same=$work/same
mkdir -p "$same/sub" "$same/qs"
cp "$data/epub/qs-eng.epub" "$same/sub/same.epub"
cp "$data/mobi/qs-eng-mobi6.mobi" "$same/sub/same.mobi"
cp "$data/text/en-utf8.txt" "$same/sub/SAME.txt"   # one name with the others on FAT and exFAT
unzip -q "$data/epub/qs-eng.epub" -d "$same/qs"
cp "$data/epub/lm-ja.epub" "$same/qs.epub"
out=$work/out-same
summary=$("$batch" convert "$same" "$out" --to epub)
expect_eq "$?/$summary" "0/converted 5, skipped 0, refused for DRM 0, failed 0" "one name: summary"
expect_eq "$(tail -n +2 "$out/results.tsv" | cut -f1-3)" "$(printf '%s\t%s\t%s\n' \
  qs.epub qs.epub 0 qs/content.opf 'qs (2).epub' 0 sub/SAME.txt sub/SAME.epub 0 \
  sub/same.epub sub/same.epub.epub 0 sub/same.mobi sub/same.mobi.epub 0)" "one name: rows"
expect_eq "$(cd "$out" && find . -name '*.epub' | wc -l)" 5 "one name: five outputs"
for output in qs.epub 'qs (2).epub' sub/SAME.epub sub/same.epub.epub sub/same.mobi.epub; do
  unzip -tq "$out/$output" >/dev/null || fail "one name: $output is not whole"
done
summary=$("$batch" convert "$same" "$out" --to epub)
expect_eq "$?/$summary" "0/converted 0, skipped 5, refused for DRM 0, failed 0" "one name: second run"

# A name that is not UTF-8 is converted, listed and resumed under its own bytes; a name that
# TarvoCmd cannot take (a backslash) gets its own row and the batch goes on.
echo "$(date +%T) names that are not UTF-8, and a backslash"
odd=$work/odd
folder=$(printf 'd\xe9j\xe0') name=$(printf 'caf\xe9 \xff\xfe')
mkdir -p "$odd/$folder"
cp "$data/epub/qs-eng.epub" "$odd/$folder/$name.epub"
cp "$data/text/en-utf8.txt" "$odd/a\\b.txt"
cp "$data/text/en-utf8.txt" "$odd/plain.txt"
out=$work/out-odd
summary=$(BROKEN=1 TARVO_CMD=$work/flaky "$batch" convert "$odd" "$out" --to azw3 2>/dev/null)
expect_eq "$?/$summary" "1/converted 0, skipped 0, refused for DRM 0, failed 3" "odd names: nothing could start"
summary=$(TARVO_CMD=$work/flaky "$batch" convert "$odd" "$out" --to azw3 --resume)
expect_eq "$?/$summary" "1/converted 2, skipped 0, refused for DRM 0, failed 1" "odd names: resumed"
[[ -s "$out/$folder/$name.azw3" ]] || fail "odd names: no output under the name's own bytes"
expect_eq "$(tail -n +2 "$out/results.tsv" | cut -f1-3)" "$(printf '%s\t%s\t%s\n' 'a\\b.txt' '' -1 \
  'd\xe9j\xe0/caf\xe9 \xff\xfe.epub' 'd\xe9j\xe0/caf\xe9 \xff\xfe.azw3' 0 plain.txt plain.azw3 0)" \
  "odd names: rows"
[[ $(message_of "$out/results.tsv" 'a\\\\b.txt') == *backslash* ]] || fail "odd names: backslash row"
"$batch" catalogue "$odd" "$work/odd-catalogue/books.jsonl" >/dev/null
python3 - "$work/odd-catalogue/books.jsonl" <<'PYTHON' || fail "odd names: catalogue"
import json, os, sys
catalogue = sys.argv[1]
lines = {line.get("path_hex") or line["path"]: line
         for line in map(json.loads, open(catalogue, encoding="utf-8"))}
name = b"d\xe9j\xe0/caf\xe9 \xff\xfe.epub"
book = lines[name.hex()]
assert book["path"] == name.decode("utf-8", "replace") and book["code"] == 0, book
assert book["metadata"]["title"] == "Quick Start Guide", book
cover = os.path.join(os.path.dirname(catalogue).encode(), bytes.fromhex(book["cover_hex"]))
assert cover.endswith(b"caf\xe9 \xff\xfe.jpg") and os.path.getsize(cover) > 0, book
assert lines["a\\b.txt"]["code"] == -1 and lines["plain.txt"]["code"] == 0, lines
PYTHON

# A second batch on a DST in use is refused at once, naming the first, which ends as if alone.
echo "$(date +%T) a second batch on the same DST"
one=$work/one
mkdir -p "$one"
cp "$data/epub/qs-eng.epub" "$one/"
out=$work/out-twice
SLOW=$(scaled 5) TARVO_CMD=$work/tarvo-stand-in "$batch" convert "$one" "$out" --to epub >"$work/first" 2>&1 &
first=$!
for _ in $(seq $(($(scaled 30) * 10))); do
  [[ $(cat "$out/.tarvo-batch.lock" 2>/dev/null) == "$first" ]] && break
  sleep 0.1
done
for again in "" --resume; do
  message=$("$batch" convert "$one" "$out" --to epub $again 2>&1 >/dev/null)
  expect_eq "$?" 2 "second batch$again: exit status"
  [[ $message == *"in use by another batch (pid $first"* ]] || fail "second batch$again: message [$message]"
done
wait "$first"
expect_eq "$?/$(cat "$work/first")" "0/converted 1, skipped 0, refused for DRM 0, failed 0" "second batch: the first"

# A PDF whose pdftohtml hangs: --timeout stops the book and the pdftohtml TarvoCmd started.
echo "$(date +%T) a hanging pdftohtml"
hanging=$work/hanging-pdftohtml
mkdir -p "$work/fake-bin" "$work/pdf"
printf '#!/bin/bash\nexec -a "%s" sleep 60\n' "$hanging" >"$work/fake-bin/pdftohtml"
chmod +x "$work/fake-bin/pdftohtml"
cp "$data/pdf/qs-eng-calibre.pdf" "$work/pdf/"
summary=$(PATH=$work/fake-bin:$PATH "$batch" convert "$work/pdf" "$work/out-pdf" --to epub --timeout 3)
expect_eq "$?/$summary" "1/converted 0, skipped 0, refused for DRM 0, failed 1" "hanging pdftohtml: summary"
[[ $(message_of "$work/out-pdf/results.tsv" qs-eng-calibre.pdf) == "timed out"* ]] ||
  fail "hanging pdftohtml: not timed out"
sleep 2
left=$(pgrep -f "$hanging")
[[ -z $left ]] || { fail "hanging pdftohtml: still running after the batch"; kill $left; }

# An AZW4 print replica: c gives a notice that counts as success but writes no output, only the
# PDF it holds, into the TempDirectory. The book is not converted, and its row says where the PDF is.
echo "$(date +%T) an AZW4"
replica=$work/replica
mkdir -p "$replica"
cp "$data/text/en-utf8.txt" "$replica/"
# The uncompressed MOBI with its text records replaced by one "%MOP" container of a real PDF.
python3 - "$data/mobi/uncompressed-joint.mobi" "$data/pdf/qs-eng-calibre.pdf" "$replica/print.azw4" <<'PYTHON'
import struct, sys
mobi, pdf = (open(path, "rb").read() for path in sys.argv[1:3])
count = struct.unpack(">H", mobi[76:78])[0]
starts = [struct.unpack(">I", mobi[78 + 8 * i:82 + 8 * i])[0] for i in range(count)] + [len(mobi)]
records = [mobi[starts[i]:starts[i + 1]] for i in range(count)]
header = bytearray(records[0])
texts, flags = struct.unpack(">H", header[8:10])[0], struct.unpack(">H", header[0xF2:0xF4])[0]
text = b"%MOP" + struct.pack(">IIII", 1, 0, 20, len(pdf)) + pdf
# Each text record ends in its trailing entries: the multibyte one first, then one byte each.
trailer = (b"\0" if flags & 1 else b"") + b"\x81" * bin(flags >> 1).count("1")
chunks = [text[i:i + 4096] + trailer for i in range(0, len(text), 4096)]
header[4:8], header[8:10] = struct.pack(">I", len(text)), struct.pack(">H", len(chunks))
records = [bytes(header)] + chunks + records[1 + texts:]
out = bytearray(mobi[:76] + struct.pack(">H", len(records)))
offset = len(out) + 8 * len(records) + 2
for number, record in enumerate(records):
    out += struct.pack(">II", offset, 2 * number)
    offset += len(record)
open(sys.argv[3], "wb").write(bytes(out + b"\0\0" + b"".join(records)))
PYTHON
out=$work/out-replica
summary=$("$batch" convert "$replica" "$out" --to epub)
expect_eq "$?/$summary" "1/converted 1, skipped 0, refused for DRM 0, failed 1" "AZW4: summary"
expect_eq "$(code_of "$out/results.tsv" print.azw4)" 131073 "AZW4: code"
kept=$(message_of "$out/results.tsv" print.azw4)
[[ $kept == *"(no output written) (TempDirectory kept: "* ]] || fail "AZW4: message [$kept]"
kept=${kept##*TempDirectory kept: }
cmp -s "${kept%)}/content.pdf" "$data/pdf/qs-eng-calibre.pdf" || fail "AZW4: the PDF is not in the kept TempDirectory"
[[ ! -e $out/print.epub ]] || fail "AZW4: an output was placed"

# --to and --extensions take only what TarvoCmd writes and reads.
for wrong in "--to docx" "--to epub --extensions epub,doc"; do
  message=$("$batch" convert "$one" "$work/out-wrong" $wrong 2>&1 >/dev/null)
  expect_eq "$?" 2 "$wrong: exit status"
  [[ $message == *"TarvoCmd"*"epub"* ]] || fail "$wrong: message [$message] does not say what TarvoCmd takes"
done

((failures == 0)) && echo "batch check passed"
exit $((failures > 0))
