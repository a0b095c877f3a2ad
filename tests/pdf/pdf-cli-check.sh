#!/usr/bin/env bash
# Runs the built TarvoCmd with the real PDF helpers beside it: PDF to EPUB judged by epubcheck and
# by the words poppler reads from the PDF, EPUB to PDF judged by pdfinfo, pdftotext and pdftoppm,
# and the failures (not a PDF, an output folder that cannot be written, helpers out of time, a book
# that asks for network resources) by their codes and by what they leave behind.
# Usage: pdf-cli-check.sh TARVOCMD DATA_DIR [quick]   (DATA_DIR is tests/data; quick leaves out the
# long Japanese rendering, which is the helpers' work, not ours)
set -u
tarvo=$1 data=$2 mode=${3:-full}
jar=$(ls /usr/share/java/epubcheck*.jar 2>/dev/null | head -n 1)
for tool in java unzip pdfinfo pdftotext pdftoppm /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "$tool missing: skipped"; exit 77; }
done
[[ -n $jar ]] || { echo "epubcheck missing: skipped"; exit 77; }
work=$(mktemp -d); trap 'rm -rf "$work"; [[ -n ${server:-} ]] && kill "$server" 2>/dev/null' EXIT
status=0
fail() { echo "$1: PROBLEM: $2"; status=1; }
result() { "$tarvo" "$@" | tail -n 1 | tr -d '\r'; }
# Words of five letters or more, one a line, sorted and unique.
words() { tr -cs '[:alpha:]' '\n' | awk 'length >= 5' | sort -u; }
epub_text() { unzip -p "$1" '*.html' '*.xhtml' 2>/dev/null | sed 's/<[^>]*>/ /g; s/&#160;/ /g; s/&nbsp;/ /g'; }
# Bytes of a page rendered in grey that are not white (the PGM header counts a few).
ink() { pdftoppm -gray -r 30 -f "$2" -l "$2" "$1" | tr -d '\377' | wc -c; }

pdf_to_epub() { # label pdf
  local label=$1 pdf=$2 out="$work/$1.epub"
  local r; r=$(result c "$pdf" "$out" "$work/job-$label")
  [[ $r == "return 0" ]] || { fail "$label" "c gave $r"; return; }
  local report; report=$(java -jar "$jar" "$out" 2>&1)
  grep -q '^FATAL' <<<"$report" && fail "$label" "epubcheck FATAL: $(grep -m1 '^FATAL' <<<"$report")"
  local expected found missing
  expected=$(pdftotext "$pdf" - | words | wc -l)
  missing=$(comm -23 <(pdftotext "$pdf" - | words) <(epub_text "$out" | words) | wc -l)
  found=$((expected - missing))
  ((expected > 50 && found * 100 >= expected * 98)) || fail "$label" "only $found of $expected words of the PDF in the EPUB"
  unzip -p "$out" | grep -aq "$work" && fail "$label" "a folder of this machine is named in the EPUB"
}

epub_to_pdf() { # label epub title min_pages max_pages phrase
  local label=$1 out="$work/$1.pdf"
  local r; r=$(result c "$2" "$out" "$work/job-$label")
  [[ $r == "return 0" ]] || { fail "$label" "c gave $r"; return; }
  local info pages; info=$(pdfinfo "$out")
  grep -q "^Title: *$3\$" <<<"$info" || fail "$label" "pdfinfo title: $(grep '^Title' <<<"$info")"
  pages=$(awk '/^Pages:/ {print $2}' <<<"$info")
  ((pages >= $4 && pages <= $5)) || fail "$label" "$pages pages"
  pdftotext "$out" - | grep -q "$6" || fail "$label" "\"$6\" not in the PDF's text"
  (($(ink "$out" 3) > 500)) || fail "$label" "page 3 renders blank"
  ls -A "$work" | grep -q '\.tmp$' && fail "$label" "a partial PDF was left behind"
}

pdf_to_epub "qs-eng-calibre" "$data/pdf/qs-eng-calibre.pdf"
epub_to_pdf "qs-eng" "$data/epub/qs-eng.epub" "Quick Start Guide" 10 60 "Task 1: Organizing"
[[ $mode == quick ]] || epub_to_pdf "lm-ja" "$data/epub/lm-ja.epub" "Live システムマニュアル" 50 400 "このマニュアルについて"
[[ -f $work/qs-eng.pdf ]] && pdf_to_epub "qs-eng-rendered" "$work/qs-eng.pdf"

# Failures: the code, and no output.
printf 'not a PDF at all\n' >"$work/text.pdf"
cp "$data/pdf/qs-eng-calibre.pdf" "$work/in.pdf"
while IFS='|' read -r label input output code option value; do
  extra=()
  [[ -n $option ]] && extra=("$option" "$value")
  r=$(result c "$input" "$output" "$work/job-$label" "${extra[@]}")
  [[ $r == "return $code" ]] || fail "$label" "c gave $r, not $code"
  [[ -e $output ]] && fail "$label" "$output was written"
done <<EOF
not a pdf|$work/text.pdf|$work/text.epub|184549377||
output folder not writable|$data/epub/qs-eng.epub|/proc/tarvo-check.pdf|33554435||
pdftohtml out of time|$work/in.pdf|$work/late.epub|184549377|-pdf2html|--time-limit 0.001 -noframes -enc UTF-8
cov out of time|$data/epub/lm-ja.epub|$work/late.pdf|33554435|-wk|--time-limit 1
EOF
ls -A "$work" | grep -q '\.tmp$' && fail "failures" "a partial PDF was left behind"

# A page that asks for a style sheet and an image over HTTP: the server must see no request.
mkdir -p "$work/net"
/usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/net" >"$work/server.log" 2>&1 &
server=$!
for _ in $(seq 50); do grep -q 'port' "$work/server.log" && break; sleep 0.1; done
port=$(grep -o 'port [0-9]*' "$work/server.log" | head -n 1 | cut -d' ' -f2)
cat >"$work/net/page.html" <<EOF
<html><head><title>Net</title><link rel="stylesheet" href="http://127.0.0.1:$port/style.css"/>
<style>@import url("http://127.0.0.1:$port/more.css");</style></head>
<body><h1>Offline</h1><img src="http://127.0.0.1:$port/image.png"/>
<p style="background: url(http://127.0.0.1:$port/back.png)">text</p></body></html>
EOF
r=$(result c "$work/net/page.html" "$work/net.pdf" "$work/job-net")
[[ $r == "return 0" ]] || fail "network" "c gave $r"
grep -q 'GET' "$work/server.log" && fail "network" "a helper fetched: $(grep -m1 GET "$work/server.log")"

exit $status
