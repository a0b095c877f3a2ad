#!/bin/sh
# EPUB made from HTMLZ and from unpacked packages, judged by epubcheck: no FATAL, and no more
# errors than the same book converted to EPUB directly (source markup gives its own errors).
# Usage: package-formats-check.sh TARVOCMD TESTDATA [quick]. Exit 77 (skipped) without java or
# epubcheck. quick (the sanitizer build) converts but leaves the judging by epubcheck out.
set -u
cmd=$1
data=$2
mode=${3:-full}
jar=$(ls /usr/share/java/epubcheck*.jar 2>/dev/null | head -n 1)
[ -n "$jar" ] && command -v java >/dev/null || exit 77
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL $1: $2"; failed=1; }
errors() { [ "$mode" = quick ] && { echo 0; return; }; java -jar "$jar" "$1" 2>&1 | grep -c '^\(ERROR\|FATAL\)'; }
fatals() { [ "$mode" = quick ] && { echo 0; return; }; java -jar "$jar" "$1" 2>&1 | grep -c '^FATAL'; }

convert() {
  echo "$(date +%T) $(basename "$1") -> $(basename "$2")"
  out=$("$cmd" c "$1" "$2" "$work/tmp-$(basename "$2")" | tail -n 2)
  [ "$out" = "$(printf 'succeed\nreturn 0')" ] || { fail "$1" "c to $2 printed: $out"; return 1; }
}

for book in qs-eng.htmlz qs-eng-spine-no-toc.htmlz; do
  convert "$data/epub/$book" "$work/$book.epub" || continue
  [ "$(errors "$work/$book.epub")" = 0 ] || fail "$book" "epubcheck errors in the EPUB made from it"
done

for book in qs-eng.epub policy.epub; do
  convert "$data/epub/$book" "$work/pkg-$book/dir/book.opf" || continue
  convert "$work/pkg-$book/dir/book.opf" "$work/again-$book" || continue
  [ "$(fatals "$work/again-$book")" = 0 ] || fail "$book" "epubcheck FATAL after the package round trip"
  direct=$work/direct-$book
  convert "$data/epub/$book" "$direct" || continue
  ours=$(errors "$work/again-$book") theirs=$(errors "$direct")
  [ "$ours" -le "$theirs" ] || fail "$book" "$ours errors through a package, $theirs converted directly"
done
exit $failed
