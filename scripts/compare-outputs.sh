#!/usr/bin/env bash
# Converts every Kindle book of tests/data/mobi (and any more books given) to EPUB, TXT, AZW3 and
# MOBI with two builds of TarvoCmd and compares what they write: the result line, each output file
# byte for byte, and an EPUB's entries one by one (so a difference names the document).
# Use it to show a speed change leaves every output as it was.
# Usage: scripts/compare-outputs.sh OLD_TARVOCMD NEW_TARVOCMD [BOOK ...]
set -uo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 OLD_TARVOCMD NEW_TARVOCMD [BOOK ...]" >&2
  exit 2
fi
old=$(realpath "$1")
new=$(realpath "$2")
shift 2
cd "$(dirname "$0")/.."
books=("$@")
if [ ${#books[@]} -eq 0 ]; then
  books=(tests/data/mobi/*.mobi tests/data/mobi/*.azw3 tests/data/mobi/*.azw1)
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs one build on one book; the result line goes to $side/result.
convert() {
  local tarvo=$1 book=$2 side=$3 ext=$4
  mkdir -p "$side"
  "$tarvo" c "$book" "$side/out.$ext" "$side/job" >"$side/result" 2>/dev/null
  echo "exit $?" >>"$side/result"
  rm -rf "$side/job"
  if [ "$ext" = epub ] && [ -f "$side/out.$ext" ]; then
    mkdir -p "$side/entries"
    (cd "$side/entries" && unzip -qq "../out.$ext") || echo "unzip failed" >>"$side/result"
    # Entry order, sizes and methods, without the dates, which follow the clock.
    unzip -Zl "$side/out.$ext" 2>/dev/null | tail -n +2 | sed -E 's/[0-9]{2}-[A-Za-z]{3}-[0-9]{2} [0-9]{2}:[0-9]{2}//' >"$side/listing"
  fi
}

compared=0
differing=0
for book in "${books[@]}"; do
  [ -f "$book" ] || continue
  for ext in epub txt azw3 mobi; do
    case_dir="$work/$(basename "$book").$ext"
    convert "$old" "$book" "$case_dir/old" "$ext"
    convert "$new" "$book" "$case_dir/new" "$ext"
    compared=$((compared + 1))
    if diff -r --exclude=out.epub --exclude=marlek_log "$case_dir/old" "$case_dir/new" >/dev/null; then
      echo "same     $book -> $ext ($(tail -1 "$case_dir/old/result"))"
    else
      differing=$((differing + 1))
      echo "DIFFERS  $book -> $ext"
      diff -r --exclude=out.epub --exclude=marlek_log "$case_dir/old" "$case_dir/new" | head -20
    fi
  done
done
echo "$compared conversions compared, $differing differ"
[ "$differing" -eq 0 ]
