#!/bin/sh
# "s" on every EPUB of the test data, judged by other readers: "mimetype" first and stored, no
# folder entries (unzip, zipinfo), and no epubcheck error the book did not have before.
# Usage: epub-set-check.sh TARVOCMD TESTDATA [quick]. Exit 77 (skipped) without java, epubcheck or
# unzip. quick (the sanitizer build) leaves out epubcheck, which judges the same bytes either way.
set -u
cmd=$1
data=$2
mode=${3:-full}
jar=$(ls /usr/share/java/epubcheck*.jar 2>/dev/null | head -n 1)
[ -n "$jar" ] && command -v java >/dev/null && command -v unzip >/dev/null && command -v zipinfo >/dev/null || exit 77
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL $1: $2"; failed=1; }

# One line per message code with its count, e.g. "ERROR(PKG-006) 1".
codes() { java -jar "$jar" "$1" 2>&1 | sed -n 's/^\(ERROR\|FATAL\)(\([A-Z0-9-]*\)).*/\1(\2)/p' | sort | uniq -c | awk '{print $2, $1}'; }

for book in qs-eng.epub qs-fra-no-extension policy.epub lm-ja.epub; do
  copy="$work/$book"
  echo "$(date +%T) s on $book"
  cp "$data/epub/$book" "$copy"
  [ "$mode" = quick ] || codes "$copy" >"$work/before"
  out=$("$cmd" s "$copy" "$work/tmp-$book" -t "Set Check" -a "A. Writer")
  [ "$out" = "$(printf 'succeed\nreturn 0')" ] || { fail "$book" "s printed: $out"; continue; }
  [ "$(unzip -Z1 "$copy" | head -n 1)" = mimetype ] || fail "$book" "mimetype is not the first entry"
  zipinfo "$copy" mimetype | grep -q ' stor ' || fail "$book" "mimetype is not stored"
  unzip -Z1 "$copy" | grep -q '/$' && fail "$book" "folder entries: $(unzip -Z1 "$copy" | grep '/$' | tr '\n' ' ')"
  unzip -tq "$copy" >/dev/null || fail "$book" "unzip -t finds damage"
  if [ "$mode" = quick ]; then echo "checked $book (quick)"; continue; fi
  codes "$copy" >"$work/after"
  grep -q 'PKG-006' "$work/after" && fail "$book" "epubcheck PKG-006"
  # A code that is new, or more frequent than before, is an error "s" made.
  new=$(awk 'NR == FNR { was[$1] = $2; next } $2 > was[$1] + 0 { print $1 " " was[$1] + 0 "->" $2 }' \
        "$work/before" "$work/after")
  [ -z "$new" ] || fail "$book" "new epubcheck errors: $new"
  echo "checked $book"
done
exit $failed
