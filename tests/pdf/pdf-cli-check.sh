#!/usr/bin/env bash
# Runs the built TarvoCmd with the real PDF helpers beside it: PDF to EPUB judged by epubcheck and
# by the words poppler reads from the PDF, EPUB to PDF judged by pdfinfo, pdftotext and pdftoppm,
# the failures (not a PDF, an output folder that cannot be written, helpers out of time, a book
# that asks for network resources) by their codes and by what they leave behind, and g on PDFs
# (calibre's, ours, a truncated one, one without metadata) by its JSON and cover.
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
  echo "$(date +%T) $label.pdf -> epub"
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
  echo "$(date +%T) $label.epub -> pdf"
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
echo "$(date +%T) failures"
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

# The metadata of a book with two authors, one of them written with a character reference, with
# subjects and a date, reaches the PDF's information dictionary and comes back through g.
/usr/bin/python3 - "$data/epub/qs-eng.epub" "$work/two.epub" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as source, zipfile.ZipFile(sys.argv[2], "w") as target:
    for item in source.infolist():
        data = source.read(item.filename)
        if item.filename.endswith(".opf"):
            data = data.replace(b'<dc:creator opf:role="aut" opf:file-as="Schember, John">John Schember</dc:creator>',
                                b'<dc:creator opf:role="aut">Developer&amp;#x27;s Reference Team</dc:creator>'
                                b'<dc:creator opf:role="aut">B Two</dc:creator><dc:subject>Ebooks</dc:subject>'
                                b'<dc:subject>Guides</dc:subject><dc:date>2023-03-06</dc:date>')
        target.writestr(item, data, zipfile.ZIP_STORED if item.filename == "mimetype" else zipfile.ZIP_DEFLATED)
PY
r=$(result c "$work/two.epub" "$work/two.pdf" "$work/job-two")
[[ $r == "return 0" ]] || fail "two authors" "c gave $r"
info=$(pdfinfo -isodates "$work/two.pdf")
for line in "Title: *Quick Start Guide" "Author: *Developer's Reference Team & B Two" "Creator: *TarvoCmd" \
  "Keywords: *Ebooks, Guides" "Subject: *calibre Quick Start Guide" "CreationDate: *2023-03-06T00:00:00Z"; do
  grep -q "^$line\$" <<<"$info" || fail "two authors" "pdfinfo has no \"$line\""
done

# g on PDFs: the JSON (the cover's type in it, as every format gives it), and page 1 as a JPEG cover; a PDF poppler cannot read writes nothing.
head -c 80000 "$data/pdf/qs-eng-calibre.pdf" >"$work/truncated.pdf"
printf '%%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]>>endobj\ntrailer<</Root 1 0 R>>\n%%%%EOF\n' >"$work/no-info.pdf"
qs='"description":"calibre Quick Start Guide","language":"en","title":"Quick Start Guide"'
while IFS='|' read -r label input code json; do
  r=$(result g "$input" "$work/job-g-$label" "$work/g-$label.json" "$work/g-$label.jpg")
  [[ $r == "return $code" ]] || { fail "g $label" "gave $r, not $code"; continue; }
  if [[ $code != 0 ]]; then
    [[ -e $work/g-$label.json || -e $work/g-$label.jpg ]] && fail "g $label" "wrote a file"
    continue
  fi
  [[ $(cat "$work/g-$label.json") == "$json" ]] || fail "g $label" "JSON $(cat "$work/g-$label.json")"
  [[ $(head -c 2 "$work/g-$label.jpg" | od -An -tx1) == " ff d8" ]] || fail "g $label" "no JPEG cover"
done <<EOF
calibre|$data/pdf/qs-eng-calibre.pdf|0|{"coverimageext":"jpg","creator":"John Schember","date_publication":"2026-12-07T07:32:44Z",$qs}
ours|$work/qs-eng.pdf|0|{"coverimageext":"jpg","creator":"John Schember",$qs}
two authors|$work/two.pdf|0|{"coverimageext":"jpg","creator":"Developer's Reference Team & B Two","date_publication":"2023-03-06","description":"calibre Quick Start Guide","language":"en","subject":"Ebooks & Guides","title":"Quick Start Guide"}
truncated|$work/truncated.pdf|184549379|
no information dictionary|$work/no-info.pdf|0|{"coverimageext":"jpg"}
not a pdf|$work/text.pdf|184549379|
EOF

# A page that asks for a style sheet and an image over HTTP: the server must see no request.
echo "$(date +%T) no network"
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
