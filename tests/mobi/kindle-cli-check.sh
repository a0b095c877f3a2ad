#!/usr/bin/env bash
# Runs the built TarvoCmd over the Kindle test books: "c" to EPUB judged by unzip and epubcheck (no
# FATAL, no package errors), the qs-eng books' table of contents against the EPUB they were made
# from, "g" values and cover bytes, "s" followed by mobitool, "g" and "c", and the codes of bad books.
# Usage: kindle-cli-check.sh TARVOCMD DATA_DIR [quick]   (DATA_DIR is tests/data; quick, for the
# sanitizer build, leaves out epubcheck, which judges the same bytes in every build)
set -u
tarvo=$1 data=$2 quick=${3:-}
jar=$(ls /usr/share/java/epubcheck*.jar 2>/dev/null | head -n 1)
if [[ -z $jar ]] || ! command -v java >/dev/null || ! command -v unzip >/dev/null; then
  echo "epubcheck, java or unzip missing: skipped"; exit 77
fi
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "$1: PROBLEM: $2"; status=1; }
last() { tail -n 1 | tr -d '\r'; }
labels() { unzip -p "$1" '*.ncx' | grep -o '<text>[^<]*</text>' | tail -n +2; }
nesting() { unzip -p "$1" '*.ncx' | tr -d '\r\n' | sed 's/<navPoint /\n(/g; s/<\/navPoint>/)/g' | tr -cd '()'; }

cp "$data/mobi/qs-eng-joint.mobi" "$work/qs-eng-joint.azw"
for book in "$data"/mobi/*.mobi "$data"/mobi/*.azw3 "$work/qs-eng-joint.azw"; do
  name=$(basename "$book")
  [[ $name == bad-* ]] && continue
  out="$work/$name.epub"
  echo "$(date +%T) $name -> epub"
  result=$("$tarvo" c "$book" "$out" "$work/c-$name" | last)
  if [[ $result != "return 0" ]]; then fail "$name" "c gave $result"; continue; fi
  unzip -tqq "$out" >/dev/null 2>&1 || fail "$name" "unzip -t fails"
  report=
  [[ -n $quick ]] || report=$(java -jar "$jar" "$out" 2>&1)
  grep -q '^FATAL' <<<"$report" && fail "$name" "epubcheck FATAL: $(grep -m1 '^FATAL' <<<"$report")"
  package=$(grep -E '^(ERROR|FATAL)' <<<"$report" | grep -vE '\.(x?html?)(\(|:)')
  [[ -z $package ]] || fail "$name" "package errors: $(head -n 2 <<<"$package")"
  # The EPUB calibre 6.13 makes of each MOBI 6 book has this many epubcheck errors; ours has fewer.
  case $name in
    qs-eng-mobi6.mobi) calibre=78 ;;
    shared-position-mobi6.mobi) calibre=82 ;;
    lm-ja-mobi6.mobi) calibre=9406 ;;
    cp1252-mobi6.mobi) calibre=2 ;;
    *) calibre= ;;
  esac
  errors=$(grep -c '^ERROR' <<<"$report")
  [[ -z $calibre ]] || ((errors < calibre)) || fail "$name" "$errors epubcheck errors, calibre's EPUB has $calibre"
  if [[ $name == qs-eng-* ]]; then
    diff <(labels "$data/epub/qs-eng.epub") <(labels "$out") >/dev/null || fail "$name" "chapter titles differ from qs-eng.epub"
    if [[ $(nesting "$data/epub/qs-eng.epub") != *"$(nesting "$out")" ]]; then
      fail "$name" "nesting differs from qs-eng.epub"
    fi
    result=$("$tarvo" g "$book" "$work/g-$name" "$work/$name.json" "$work/$name.jpg" | last)
    [[ $result == "return 0" ]] || fail "$name" "g gave $result"
    grep -q '"title":"Quick Start Guide"' "$work/$name.json" || fail "$name" "g title"
    grep -q '"creator":"John Schember"' "$work/$name.json" || fail "$name" "g creator"
    grep -q '"language":"en"' "$work/$name.json" || fail "$name" "g language"
    cmp -s "$work/$name.jpg" "$data/mobi/qs-eng-cover.jpg" || fail "$name" "g cover bytes"
  fi
done

for book in qs-eng-mobi6.mobi qs-eng-joint.mobi qs-eng-kf8.azw3 cp1252-mobi6.mobi huffdic-joint.mobi; do
  copy="$work/s-$book"
  echo "$(date +%T) s on $book"
  cp "$data/mobi/$book" "$copy"
  result=$("$tarvo" s "$copy" "$work/s-job-$book" -t "New Title" -a "Ann One" -a "Bob Two" -desc "About" \
           -cover "$data/mobi/qs-eng-cover.jpg" | last)
  [[ $result == "return 0" ]] || { fail "$book" "s gave $result"; continue; }
  if command -v mobitool >/dev/null; then
    meta=$(mobitool -m "$copy" 2>&1) || fail "$book" "mobitool fails after s"
    grep -q '^Title: New Title' <<<"$meta" || fail "$book" "mobitool title after s"
    # One EXTH record per author, which mobitool lists on one line.
    grep -q '^Author: Ann One; Bob Two$' <<<"$meta" || fail "$book" "mobitool authors after s"
  fi
  result=$("$tarvo" g "$copy" "$work/g2-$book" "$work/s-$book.json" "$work/s-$book.jpg" | last)
  grep -q '"title":"New Title"' "$work/s-$book.json" || fail "$book" "g title after s"
  cmp -s "$work/s-$book.jpg" "$data/mobi/qs-eng-cover.jpg" || fail "$book" "g cover after s"
  result=$("$tarvo" c "$copy" "$work/s-$book.epub" "$work/c2-$book" | last)
  [[ $result == "return 0" ]] || fail "$book" "c after s gave $result"
done

# SVG's camel-case attribute names survive the Kindle text (which a reader takes literally) and the
# way back to EPUB.
result=$("$tarvo" c "$data/epub/qs-eng.epub" "$work/svg.azw3" "$work/svg-job" | last)
[[ $result == "return 0" ]] || fail "qs-eng.epub" "c to azw3 gave $result"
mkdir -p "$work/svg-raw"
if command -v mobitool >/dev/null && mobitool -d -o "$work/svg-raw" "$work/svg.azw3" >/dev/null 2>&1; then
  grep -aq '<svg [^>]* preserveAspectRatio="none" [^>]*viewBox="0 0 600 800"' "$work"/svg-raw/*.rawml ||
    fail "qs-eng.epub" "azw3 cover SVG lost the case of its attribute names"
fi
"$tarvo" c "$work/svg.azw3" "$work/svg.epub" "$work/svg-job2" >/dev/null
unzip -p "$work/svg.epub" '*.html' | grep -aq '<svg [^>]*viewBox="0 0 600 800"' ||
  fail "qs-eng.epub" "azw3 to epub lost the cover SVG's viewBox"

while read -r book code; do
  result=$("$tarvo" c "$data/mobi/$book" "$work/$book.epub" "$work/bad-$book" | last)
  [[ $result == "return $code" ]] || fail "$book" "c gave $result, not $code"
  result=$("$tarvo" g "$data/mobi/$book" "$work/badg-$book" "$work/$book.json" "$work/$book.jpg" | last)
  [[ $result == "return $code" ]] || fail "$book" "g gave $result, not $code"
done <<'LIST'
bad-encryption2.mobi 65537
bad-eof-record.mobi 503316481
bad-truncated-half.mobi 503316481
bad-invalid-indx.mobi 117440513
LIST
cp "$data/mobi/bad-topaz.azw1" "$work/topaz.azw"
result=$("$tarvo" g "$work/topaz.azw" "$work/tpz" "$work/tpz.json" "$work/tpz.jpg" | last)
[[ $result == "return 65542" ]] || fail "topaz.azw" "g gave $result"

((status == 0)) && echo "Kindle books: all checks passed"
exit $status
