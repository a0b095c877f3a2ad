#!/usr/bin/env bash
# A library manager reads metadata with `g` and writes it back with `s` again and again: for every
# format `s` writes, on a copy given two authors first, three rounds of g -> s (that JSON) -> g
# must give the same JSON each round, and an independent reader (ebook-meta, when installed) the
# same title, authors (as a list), date, language and identifiers.
# Usage: metadata-roundtrip-check.sh TARVOCMD DATA_DIR
set -u
tarvo=$1 data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v unzip >/dev/null || { echo "unzip missing: skipped"; exit 77; }
reader=1
command -v ebook-meta >/dev/null && command -v python3 >/dev/null || { reader=0; echo "ebook-meta or python3 missing: its columns skipped"; }

# name | book | expected to fail, and why (empty: must pass)
rows=(
  "epub2|$data/epub/qs-eng.epub|"
  "epub3|$data/epub3/childrens-literature.epub|"
  "azw3|$data/mobi/qs-eng-kf8.azw3|"
  "mobi-joint|$data/mobi/qs-eng-joint.mobi|"
  "opf|$data/epub/qs-eng.epub|"
)

# What ebook-meta reads, one field a line: authors in order with their sort forms, identifiers
# sorted (its own "calibre" identifier is made up anew on every read).
read_back() {
  ebook-meta "$1" --to-opf="$work/read.opf" >/dev/null 2>&1 || { echo "ebook-meta failed"; return; }
  python3 - "$work/read.opf" <<'PY'
import sys, xml.etree.ElementTree as ET
dc, opf = "{http://purl.org/dc/elements/1.1/}", "{http://www.idpf.org/2007/opf}"
meta = ET.parse(sys.argv[1]).getroot().find(opf + "metadata")
def texts(name): return [(e.text or "").strip() for e in meta.findall(dc + name)]
print("title:", texts("title"))
print("authors:", [(e.text or "").strip() for e in meta.findall(dc + "creator")])
print("author sorts:", [e.get(opf + "file-as", "") for e in meta.findall(dc + "creator")])
print("date:", texts("date"))
print("language:", texts("language"))
print("identifiers:", sorted((e.get(opf + "scheme", ""), (e.text or "").strip()) for e in meta.findall(dc + "identifier")
                            if e.get(opf + "scheme", "").lower() != "calibre"))
PY
}

status=0
for row in "${rows[@]}"; do
  IFS='|' read -r name source xfail <<<"$row"
  [[ -f $source ]] || { echo "$name: $source missing"; status=1; continue; }
  dir="$work/$name"
  mkdir -p "$dir"
  if [[ $name == opf ]]; then
    unzip -q "$source" -d "$dir/unpacked"
    book=$(find "$dir/unpacked" -name '*.opf' | head -n 1)
  else
    book="$dir/book.${source##*.}"
    cp "$source" "$book"
  fi
  problems=()
  r=$("$tarvo" s "$book" "$dir/tmp" -a "A One" -a "B Two" | tail -n 1)
  [[ $r == "return 0" ]] || problems+=("s -a: $r")
  "$tarvo" g "$book" "$dir/tmp" "$dir/meta0.json" "$dir/cover" >/dev/null
  (( reader )) && read_back "$book" >"$dir/read0"
  if (( reader )) && ! grep -qxF "authors: ['A One', 'B Two']" "$dir/read0"; then
    problems+=("after s -a, ebook-meta reads $(grep '^authors' "$dir/read0")")
  fi
  for round in 1 2 3; do
    r=$("$tarvo" s "$book" "$dir/tmp" "$dir/meta$((round - 1)).json" | tail -n 1)
    [[ $r == "return 0" ]] || problems+=("round $round s: $r")
    "$tarvo" g "$book" "$dir/tmp" "$dir/meta$round.json" "$dir/cover" >/dev/null
    cmp -s "$dir/meta0.json" "$dir/meta$round.json" ||
      problems+=("round $round: JSON changed: $(diff <(tr ',' '\n' <"$dir/meta0.json") <(tr ',' '\n' <"$dir/meta$round.json") | grep '^[<>]' | tr '\n' ' ')")
    if (( reader )); then
      read_back "$book" >"$dir/read$round"
      cmp -s "$dir/read0" "$dir/read$round" ||
        problems+=("round $round: ebook-meta reads otherwise: $(diff "$dir/read0" "$dir/read$round" | grep '^[<>]' | tr '\n' ' ')")
    fi
  done
  if (( ${#problems[@]} == 0 )); then
    if [[ -n $xfail ]]; then echo "$name: passes although expected to fail ($xfail): flip its row"; status=1
    else echo "$name: ok"; fi
  elif [[ -n $xfail ]]; then
    echo "$name: expected failure ($xfail):"; printf '  %s\n' "${problems[@]}"
  else
    echo "$name: PROBLEM:"; printf '  %s\n' "${problems[@]}"; status=1
  fi
done
exit $status
