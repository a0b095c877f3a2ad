#!/usr/bin/env bash
# Converts every test EPUB to EPUB with TarvoCmd and asks independent readers about the result:
# unzip -t, "mimetype" first and stored, OPF/NCX/container well-formed (xmllint), and epubcheck.
# epubcheck errors inside content documents come from the books themselves; errors about the
# package (OPF, NCX, container) are ours and must not outnumber the source book's own. No document
# may have the wrong doctype (HTM-004), and no book gives a kind of error it lacks itself: an EPUB 3
# source's HTML5 markup must have become XHTML 1.1. A package naming files its archive lacks gives a
# package without errors; only its documents' links to those files remain.
# Then `s` rewrites a copy of every book: its package must stay well-formed with every prefix
# bound (xmllint), and epubcheck must find no kind of error the source does not have.
# Usage: epub-output-check.sh TARVOCMD DATA_DIR [quick]
#   quick: no epubcheck, which judges the same bytes in every build (the sanitizer build runs this way).
set -u
tarvo=$1 data=$2 quick=${3:-}
jar=$(ls /usr/share/java/epubcheck*.jar 2>/dev/null | head -n 1)
if [[ -z $quick ]] && { [[ -z $jar ]] || ! command -v java >/dev/null; }; then
  echo "epubcheck or java missing: skipped"; exit 77
fi
if ! command -v xmllint >/dev/null || ! command -v unzip >/dev/null; then
  echo "xmllint or unzip missing: skipped"; exit 77
fi
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
status=0
package_errors() { grep -E '^(ERROR|FATAL)' | grep -vE '\.(x?html?)(\(|:)' | wc -l; }
# Error kinds: the code and message without the place, file names left out.
error_kinds() {
  grep -E '^(ERROR|FATAL)' | sed -E 's/^([A-Z]+\([A-Z0-9-]+\)): .*\([-0-9]+,[-0-9]+\): /\1 /; s/"[^"]*[/#.][^"]*"/"-"/g' | sort -u
}
new_kinds() { comm -13 <(error_kinds <<<"$1") <(error_kinds <<<"$2"); }
# epubcheck's report on a book; an empty one in quick mode.
epubcheck() { [[ -n $quick ]] || java -jar "$jar" "$1" 2>&1; }
for book in "$data"/*.epub "$data"/*-no-extension; do
  [[ -f $book ]] || continue
  name=$(basename "$book")
  [[ $name == bad-* ]] && continue
  out="$work/$name.out.epub"
  echo "$(date +%T) $name -> epub"
  result=$("$tarvo" c "$book" "$out" "$work/job-$name" | tail -n 1)
  if [[ $result != "return 0" ]]; then echo "$name: conversion failed: $result"; status=1; continue; fi
  problems=()
  unzip -tqq "$out" >/dev/null 2>&1 || problems+=("unzip -t fails")
  [[ $(unzip -Z1 "$out" | head -n 1) == mimetype ]] || problems+=("mimetype is not first")
  unzip -Zv "$out" mimetype | grep -q "compression method:.*none (stored)" || problems+=("mimetype not stored")
  mkdir -p "$work/x-$name" && unzip -qq "$out" -d "$work/x-$name"
  for f in "$work/x-$name"/META-INF/container.xml "$work/x-$name"/OEBPS/content.opf "$work/x-$name"/OEBPS/toc.ncx; do
    xmllint --noout --nonet "$f" 2>/dev/null || problems+=("not well-formed: ${f#$work/x-$name/}")
  done
  source_report=$(cp "$book" "$work/src.epub" && epubcheck "$work/src.epub")
  printf '%s\n' "$source_report" > "$work/report-$name"
  out_report=$(epubcheck "$out")
  fatals=$(grep -c '^FATAL' <<<"$out_report")
  ours=$(package_errors <<<"$out_report")
  theirs=$(package_errors <<<"$source_report")
  content=$(grep -cE '^ERROR' <<<"$out_report")
  [[ $fatals == 0 ]] || problems+=("epubcheck FATAL: $(grep -m1 '^FATAL' <<<"$out_report")")
  ((ours <= theirs)) || problems+=("$ours package errors (source: $theirs): $(grep -E '^(ERROR|FATAL)' <<<"$out_report" | grep -vE '\.(x?html?)(\(|:)' | head -n 3)")
  grep -q 'HTM-004' <<<"$out_report" && problems+=("wrong doctype: $(grep -m1 'HTM-004' <<<"$out_report")")
  added=$(new_kinds "$source_report" "$out_report")
  if [[ $name == *-files-missing* ]]; then
    # The documents' own links to the missing files remain (RSC-007, reported in the documents).
    added=$(grep -v '^ERROR(RSC-007)' <<<"$added")
    ((ours == 0)) || problems+=("files missing from the source still listed: $ours package errors")
  fi
  [[ -z $added ]] || problems+=("errors the source does not have: $(head -n 3 <<<"$added")")
  if [[ $name == qs-fra* ]]; then
    entries=$(unzip -p "$out" OEBPS/toc.ncx | grep -c '<navPoint')
    deep=$(unzip -p "$out" OEBPS/toc.ncx | xmllint --xpath 'count(//*[local-name()="navPoint"]/*[local-name()="navPoint"]/*[local-name()="navPoint"])' - 2>/dev/null)
    [[ $entries == 22 && $deep == 9 ]] || problems+=("NCX above the package: $entries entries, $deep at level 3 (want 22, 9)")
  fi
  if ((${#problems[@]})); then
    status=1; echo "$name: PROBLEM: ${problems[*]}"
  elif [[ -n $quick ]]; then
    echo "$name: ok (no epubcheck)"
  else
    echo "$name: ok ($content epubcheck errors in all, $ours in the package; source package errors: $theirs)"
  fi
done
for book in "$data"/*.epub "$data"/*-no-extension; do
  [[ -f $book ]] || continue
  name=$(basename "$book")
  [[ $name == bad-* ]] && continue
  copy="$work/s-$name"
  echo "$(date +%T) s on $name"
  cp "$book" "$copy"
  result=$("$tarvo" s "$copy" "$work/sjob-$name" -t 'Tom &#38; Jerry &#0;' -a 'A <b>' | tail -n 1)
  if [[ $result != "return 0" ]]; then echo "$name: s failed: $result"; status=1; continue; fi
  problems=()
  opf=$(unzip -p "$copy" META-INF/container.xml | grep -o 'full-path="[^"]*"' | head -n 1 | cut -d'"' -f2)
  unzip -p "$copy" "$opf" > "$work/s-$name.opf"
  # An unbound prefix is only a message on standard error: any message counts.
  xmllint --noout --nonet "$work/s-$name.opf" 2>"$work/s-$name.lint"
  [[ ! -s $work/s-$name.lint ]] || problems+=("package: $(head -n 1 "$work/s-$name.lint")")
  # "&#38;" names a character and is written as it; "&#0;" names none and stays text.
  grep -q "Tom &amp; Jerry &amp;#0;" "$work/s-$name.opf" || problems+=("title not written as expected")
  [[ -f $work/report-$name ]] || { cp "$book" "$work/src.epub" && epubcheck "$work/src.epub" > "$work/report-$name"; }
  added=$(new_kinds "$(cat "$work/report-$name")" "$(epubcheck "$copy")")
  [[ -z $added ]] || problems+=("errors the source does not have: $(head -n 3 <<<"$added")")
  if ((${#problems[@]})); then
    status=1; echo "$name: s PROBLEM: ${problems[*]}"
  else
    echo "$name: s ok"
  fi
done
exit $status
