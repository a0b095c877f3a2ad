#!/usr/bin/env bash
# Times every conversion of a several-MB book (the Debian Policy test book with its documents
# repeated, and the Kindle files made from it) beside calibre's ebook-convert / ebook-meta when
# installed and beside the floor: one `tidy -q -asxhtml` process over the book's documents, the
# HTML repair that no converter can skip. Prints the minimum of the runs, the ratios and our peak
# memory (of its largest process: `c` works a book's pages in one process per core, and the times
# are wall-clock; TARVO_WORKERS=1 measures one process). Needs hyperfine, tidy, unzip, python3 and
# /usr/bin/time (apt-get install hyperfine tidy unzip time; calibre optional).
# Usage: scripts/bench-speed.sh [build folder, default build] [runs, default 10]
set -euo pipefail
cd "$(dirname "$0")/.."
tarvo=$PWD/${1:-build}/src/cli/TarvoCmd
runs=${2:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen
[ "$(id -u)" = 0 ] && export QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox
calibre=$(command -v ebook-convert || true)
[ -n "${NO_CALIBRE:-}" ] && calibre=""   # ours and the floor only

python3 scripts/make-big-epub.py tests/data/epub/policy.epub "$work/book.epub" 10
mkdir -p "$work/docs"
unzip -q "$work/book.epub" -d "$work/docs"
find "$work/docs" -name '*.*htm*' | sort >"$work/docs.list"
"$tarvo" c "$work/book.epub" "$work/book.azw3" "$work/job-azw3" >/dev/null
"$tarvo" c "$work/book.epub" "$work/book.azw" "$work/job-azw" >/dev/null
mv "$work/book.azw" "$work/book-joint.mobi"
# Only calibre writes MOBI 6 alone; without it the small MOBI 6 test book stands in.
if [ -n "$calibre" ]; then
  ebook-convert "$work/book.epub" "$work/book-mobi6.mobi" --mobi-file-type old >/dev/null 2>&1
else
  cp tests/data/mobi/qs-eng-mobi6.mobi "$work/book-mobi6.mobi"
fi
# The text of the book, as a text input of the same size class.
"$tarvo" c "$work/book.epub" "$work/book.txt" "$work/job-txt" >/dev/null
# The same text as one HTML page of several MB (a paragraph a line, a heading every 50 lines).
python3 - "$work/book.txt" "$work/book.html" <<'PY'
import html, sys
lines = [l for l in open(sys.argv[1], encoding="utf-8", errors="replace").read().splitlines() if l.strip()]
with open(sys.argv[2], "w", encoding="utf-8") as page:
    page.write("<html><head><title>Book</title></head><body>\n")
    for n, line in enumerate(lines):
        page.write(("<h2>%s</h2>\n" if n % 50 == 0 else "<p>%s</p>\n") % html.escape(line))
    page.write("</body></html>\n")
PY
rm -rf "$work"/job-*

echo "input: $(stat -c %s "$work/book.epub") bytes, $(wc -l <"$work/docs.list") documents;" \
  "text $(stat -c %s "$work/book.txt") bytes; page $(stat -c %s "$work/book.html") bytes;" \
  "load: $(cut -d' ' -f1-3 /proc/loadavg)"

# Minimum run time in milliseconds of one command, from hyperfine's JSON export.
time_ms() {
  local json="$work/run.json"
  hyperfine --style none --ignore-failure --warmup 1 --runs "$runs" --export-json "$json" \
    --prepare "rm -rf $work/job $work/out.* $work/meta.json" "$1" >/dev/null 2>&1
  python3 -c 'import json,sys; print(round(min(json.load(open(sys.argv[1]))["results"][0]["times"])*1000))' "$json"
}

peak_mb() {
  rm -rf "$work/job" "$work"/out.*
  # shellcheck disable=SC2086 # the command is split into words on purpose
  /usr/bin/time -f %M $1 2>&1 >/dev/null | tail -1 | awk '{ printf "%.0f", $1 / 1024 }'
}

floor=$(time_ms "xargs -a $work/docs.list tidy -q -asxhtml -utf8 --show-warnings no --show-errors 0")
printf '%-20s %9s %9s %9s %9s %9s\n' case "ours ms" "calibre" ratio "vs floor" "peak MB"
row() {
  local label=$1 ours=$2 theirs=$3 withFloor=$4
  local ourMs theirMs="-" ratio="-" floorRatio="-"
  ourMs=$(time_ms "$ours")
  if [ -n "$calibre" ]; then
    theirMs=$(time_ms "$theirs")
    ratio=$(awk -v a="$theirMs" -v b="$ourMs" 'BEGIN { printf "%.1fx", a / b }')
  fi
  [ "$withFloor" = yes ] && floorRatio=$(awk -v a="$ourMs" -v b="$floor" 'BEGIN { printf "%.2fx", a / b }')
  printf '%-20s %9s %9s %9s %9s %9s\n' "$label" "$ourMs" "$theirMs" "$ratio" "$floorRatio" "$(peak_mb "$ours")"
}
convert() { echo "$tarvo c $work/$1 $work/out.$2 $work/job"; }
calibreConvert() { echo "ebook-convert $work/$1 $work/out-calibre.$2"; }
row "EPUB -> EPUB" "$(convert book.epub epub)" "$(calibreConvert book.epub epub)" yes
row "AZW3 -> EPUB" "$(convert book.azw3 epub)" "$(calibreConvert book.azw3 epub)" yes
row "joint MOBI -> EPUB" "$(convert book-joint.mobi epub)" "$(calibreConvert book-joint.mobi epub)" yes
row "MOBI 6 -> EPUB" "$(convert book-mobi6.mobi epub)" "$(calibreConvert book-mobi6.mobi epub)" yes
row "TXT -> EPUB" "$(convert book.txt epub)" "$(calibreConvert book.txt epub)" no
row "HTML page -> EPUB" "$(convert book.html epub)" "$(calibreConvert book.html epub)" no
row "EPUB -> TXT" "$(convert book.epub txt)" "$(calibreConvert book.epub txt)" no
row "EPUB -> AZW3" "$(convert book.epub azw3)" "$(calibreConvert book.epub azw3)" no
row "EPUB -> MOBI" "$(convert book.epub mobi)" "$(calibreConvert book.epub mobi)" no
row "g EPUB" "$tarvo g $work/book.epub $work/job $work/meta.json $work/out.cover" "ebook-meta $work/book.epub" no
row "g AZW3" "$tarvo g $work/book.azw3 $work/job $work/meta.json $work/out.cover" "ebook-meta $work/book.azw3" no
echo "floor: ${floor} ms for one tidy process over the $(wc -l <"$work/docs.list") documents"
