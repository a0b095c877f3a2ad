#!/usr/bin/env bash
# Converts every test EPUB to EPUB with TarvoCmd and asks independent readers about the result:
# unzip -t, "mimetype" first and stored, OPF/NCX/container well-formed (xmllint), and epubcheck.
# epubcheck errors inside content documents come from the books themselves; errors about the
# package (OPF, NCX, container) are ours and must not outnumber the source book's own.
# Usage: epub-output-check.sh TARVOCMD DATA_DIR
set -u
tarvo=$1 data=$2
jar=$(ls /usr/share/java/epubcheck*.jar 2>/dev/null | head -n 1)
if [[ -z $jar ]] || ! command -v java >/dev/null || ! command -v xmllint >/dev/null || ! command -v unzip >/dev/null; then
  echo "epubcheck, java, xmllint or unzip missing: skipped"; exit 77
fi
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
status=0
package_errors() { grep -E '^(ERROR|FATAL)' | grep -vE '\.(x?html?)(\(|:)' | wc -l; }
for book in "$data"/*.epub "$data"/*-no-extension; do
  [[ -f $book ]] || continue
  name=$(basename "$book")
  [[ $name == bad-* ]] && continue
  out="$work/$name.out.epub"
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
  source_report=$(cp "$book" "$work/src.epub" && java -jar "$jar" "$work/src.epub" 2>&1)
  out_report=$(java -jar "$jar" "$out" 2>&1)
  fatals=$(grep -c '^FATAL' <<<"$out_report")
  ours=$(package_errors <<<"$out_report")
  theirs=$(package_errors <<<"$source_report")
  content=$(grep -cE '^ERROR' <<<"$out_report")
  [[ $fatals == 0 ]] || problems+=("epubcheck FATAL: $(grep -m1 '^FATAL' <<<"$out_report")")
  ((ours <= theirs)) || problems+=("$ours package errors (source: $theirs): $(grep -E '^(ERROR|FATAL)' <<<"$out_report" | grep -vE '\.(x?html?)(\(|:)' | head -n 3)")
  if ((${#problems[@]})); then
    status=1; echo "$name: PROBLEM: ${problems[*]}"
  else
    echo "$name: ok ($content epubcheck errors in all, $ours in the package; source package errors: $theirs)"
  fi
done
exit $status
