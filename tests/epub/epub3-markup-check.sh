#!/usr/bin/env bash
# Every EPUB 3 book of the test data converted to EPUB 2, judged by epubcheck: where the source has
# no error, no document, style sheet or image of ours may have one. Errors in toc.ncx are left to
# the table-of-contents checks. Prints the counts per book.
# Usage: epub3-markup-check.sh TARVOCMD TESTDATA. Exit 77 (skipped) without java or epubcheck.
set -u
tarvo=$1 data=$2
jar=$(ls /usr/share/java/epubcheck*.jar 2>/dev/null | head -n 1)
[[ -n $jar ]] && command -v java >/dev/null || { echo "epubcheck or java missing: skipped"; exit 77; }
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
status=0
errors() { grep -E '^(ERROR|FATAL)' <<<"$1" | grep -v 'toc\.ncx'; }
for book in "$data"/epub3/*.epub; do
  name=$(basename "$book" .epub)
  out="$work/$name.epub"
  result=$("$tarvo" c "$book" "$out" "$work/job-$name" | tail -n 1)
  if [[ $result != "return 0" ]]; then echo "FAIL $name: conversion printed $result"; status=1; continue; fi
  source=$(errors "$(java -jar "$jar" "$book" 2>&1)")
  ours=$(errors "$(java -jar "$jar" "$out" 2>&1)")
  if [[ -n $source ]]; then
    echo "$name: source has $(wc -l <<<"$source") errors, not judged"
  elif [[ -n $ours ]]; then
    echo "FAIL $name: $(wc -l <<<"$ours") errors outside the NCX:"; head -n 5 <<<"$ours"; status=1
  else
    echo "$name: ok"
  fi
done
exit $status
