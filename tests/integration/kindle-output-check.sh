#!/usr/bin/env bash
# Every EPUB, HTML, text and Kindle test book through "c" to azw3 and mobi (one to azw), judged by
# independent readers: mobitool opens it, names its kind and rebuilds it as an EPUB; calibre's
# ebook-meta reports the source's title, authors and languages and ebook-convert reads it back;
# our own "c" back to EPUB passes epubcheck without FATAL and keeps the words, images and table of
# contents of the direct conversion; "g" and "s" work on what we wrote.
# Usage: kindle-output-check.sh TARVOCMD DATA_DIR [quick]
#   quick: only our own program and mobitool (the sanitizer build runs this way).
set -u
tarvo=$1 data=$2 quick=${3:-}
command -v mobitool >/dev/null && command -v unzip >/dev/null && command -v python3 >/dev/null ||
  { echo "mobitool, unzip or python3 missing: skipped"; exit 77; }
jar=$(ls /usr/share/java/epubcheck*.jar 2>/dev/null | head -n 1)
calibre=
[[ -z $quick ]] && command -v ebook-convert >/dev/null && command -v ebook-meta >/dev/null && calibre=1
export QT_QPA_PLATFORM=offscreen
source "$(dirname "$0")/time-scale.sh"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "$1: PROBLEM: $2"; status=1; }
last() { tail -n 1 | tr -d '\r'; }
json_value() { python3 -c 'import json,sys; v=json.load(open(sys.argv[1])).get(sys.argv[2], ""); print(v)' "$1" "$2" 2>/dev/null; }
# Words, shown images and table-of-contents entries of an EPUB, and a key that two EPUBs share when
# their members (names, order, storage and bytes) are the same, whatever the archive's dates. Images
# count when a document or a style sheet names them (a Kindle file keeps only those); a cover page
# we generate is no entry.
census() {
  python3 - "$1" <<'PY'
import hashlib, os, re, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
key = hashlib.sha256(repr([(i.filename, i.compress_type, i.CRC, i.file_size) for i in z.infolist()]).encode()).hexdigest()
words = entries = 0
images, named = set(), set()
for n in z.namelist():
    low = n.lower()
    if low.endswith((".html", ".xhtml", ".htm", ".css", ".svg")):
        text = z.read(n).decode("utf-8", "replace")
        named.update(os.path.basename(m) for m in re.findall(r'(?:src|href|url)\s*[=(]\s*["\']?([^"\')\s>]+)', text))
        if not low.endswith((".css", ".svg")):
            text = re.sub(r"(?s)<(script|style|head)\b.*?</\1>", " ", text)
            words += len(re.sub(r"<[^>]*>", " ", text).split())
    elif low.endswith((".jpg", ".jpeg", ".png", ".gif", ".bmp")):
        images.add(os.path.basename(n))
    elif low.endswith(".ncx"):
        ncx = z.read(n).decode("utf-8", "replace")
        entries = len(re.findall(r'<content src="(?!cover\d*\.html)', ncx))
print(words, len(images & named), entries, key)
PY
}
# Title, authors and languages as calibre reads them; an author's sort form ("[Last, First]") is an
# EPUB refinement that Kindle metadata does not carry.
meta_lines() {
  timeout "$(scaled 120)" ebook-meta "$1" 2>/dev/null | grep -E '^(Title|Author\(s\)|Languages) +:' | tr -s ' ' |
    sed -E '/^Author/s/ \[[^]]*\]$//'
}

sources=("$data"/epub/qs-eng.epub "$data"/epub/qs-fra-no-extension "$data"/epub/policy.epub "$data"/epub/lm-ja.epub
         "$data"/html/qs-eng/index.html "$data"/text/*.txt)
for book in "$data"/mobi/*.mobi "$data"/mobi/*.azw3; do [[ $(basename "$book") == bad-* ]] || sources+=("$book"); done

n=0
declare -A judged=()
for src in "${sources[@]}"; do
  n=$((n + 1))
  name="$n-$(basename "$src")"
  echo "$(date +%T) book $n of ${#sources[@]}: ${src#"$data"/}"
  "$tarvo" g "$src" "$work/g-$name" "$work/$name.json" "$work/$name.cover" >/dev/null
  title=$(json_value "$work/$name.json" title) creator=$(json_value "$work/$name.json" creator)
  direct="$work/$name.direct.epub"
  "$tarvo" c "$src" "$direct" "$work/d-$name" >/dev/null
  read -r w0 i0 e0 _ < <(census "$direct")
  src_meta=
  if [[ $calibre && $src != *.txt && $src != *.html ]]; then
    # calibre knows a book by its extension; ours reads a file without one as EPUB.
    named=$src; [[ $(basename "$src") == *.* ]] || { named="$work/$name.epub"; cp "$src" "$named"; }
    src_meta=$(meta_lines "$named")
  fi
  outs=(azw3 mobi); [[ $n == 1 ]] && outs+=(azw)
  for ext in "${outs[@]}"; do
    out="$work/$name.$ext" label="$name -> $ext"
    echo "$(date +%T)   -> $ext"
    result=$("$tarvo" c "$src" "$out" "$work/c-$name-$ext" | last)
    [[ $result == "return 0" ]] || { fail "$label" "c gave $result"; continue; }
    info=$(mobitool "$out" 2>&1) || fail "$label" "mobitool cannot read it"
    want="Mobi version: 8"; [[ $ext != azw3 ]] && want="Mobi version: 8 (hybrid with version 6)"
    # A book already in the wanted format is handed over unchanged, whatever its own version.
    unchanged=; cmp -s "$src" "$out" && unchanged=1
    [[ $unchanged ]] || grep -qx "$want" <<<"$info" || fail "$label" "mobitool says '$(grep -m1 'Mobi version' <<<"$info")'"
    if [[ $title ]]; then
      grep -qxF "Title: $title" <<<"$info" || fail "$label" "mobitool title '$(grep -m1 '^Title' <<<"$info")', not '$title'"
    else
      grep -qE '^Title: .' <<<"$info" || fail "$label" "mobitool shows no title"
    fi
    [[ -z $creator ]] || grep -qxF "Author: $creator" <<<"$info" || fail "$label" "mobitool author, not '$creator'"
    for part in "" -7; do
      [[ $part == -7 && $ext == azw3 ]] && continue
      mkdir -p "$work/mt-$name-$ext$part"
      mobitool $part -e -o "$work/mt-$name-$ext$part" "$out" >"$work/mt.log" 2>&1 ||
        fail "$label" "mobitool $part -e fails: $(grep -m1 -i error "$work/mt.log")"
    done
    # calibre reading the source itself, or a file it has read already, would judge nothing new.
    if [[ $calibre && -z $unchanged && -z ${judged[$(sha256sum <"$out")]:-} ]]; then
      judged[$(sha256sum <"$out")]=1
      [[ -z $src_meta ]] || [[ "$(meta_lines "$out")" == "$src_meta" ]] || fail "$label" "ebook-meta differs from the source"
      timeout "$(scaled 300)" ebook-convert "$out" "$work/$name-$ext.calibre.epub" >/dev/null 2>&1
      [[ -s "$work/$name-$ext.calibre.epub" ]] || fail "$label" "calibre cannot convert it back"
    fi
    back="$work/$name-$ext.back.epub"
    result=$("$tarvo" c "$out" "$back" "$work/b-$name-$ext" | last)
    [[ $result == "return 0" ]] || { fail "$label" "c back to EPUB gave $result"; continue; }
    read -r w1 i1 e1 key < <(census "$back")
    # epubcheck takes seconds a book, and the Kindle formats of one source often read back to the
    # same EPUB: that one is judged once. What we read from a source handed over unchanged is the
    # Kindle CLI check's to judge.
    if [[ -n $jar && -z $quick && -z $unchanged && -z ${judged[$key]:-} ]]; then
      judged[$key]=1
      java -jar "$jar" "$back" 2>&1 | grep -q '^FATAL' && fail "$label" "epubcheck FATAL on the EPUB read back"
    fi
    ((w1 * 100 >= w0 * 97 && w1 * 100 <= w0 * 103)) || fail "$label" "words $w1, direct conversion $w0"
    ((i1 == i0)) || fail "$label" "images $i1, direct conversion $i0"
    ((e1 == e0)) || fail "$label" "table of contents entries $e1, direct conversion $e0"
    result=$("$tarvo" g "$out" "$work/g2-$name-$ext" "$work/$name-$ext.json" "$work/$name-$ext.cover" | last)
    [[ $result == "return 0" && ( -z $title || $(json_value "$work/$name-$ext.json" title) == "$title" ) ]] ||
      fail "$label" "g gave $result, title '$(json_value "$work/$name-$ext.json" title)'"
  done
  for ext in azw3 mobi; do
    [[ $n == 1 || $src == *.txt ]] || continue
    copy="$work/s-$name.$ext"; cp "$work/$name.$ext" "$copy"
    result=$("$tarvo" s "$copy" "$work/s-$name-$ext" -t "New Title" -a "Ann One" -cover "$data/mobi/qs-eng-cover.jpg" | last)
    [[ $result == "return 0" ]] || fail "$name.$ext" "s gave $result"
    info=$(mobitool "$copy" 2>&1)
    grep -qx "Title: New Title" <<<"$info" && grep -qx "Author: Ann One" <<<"$info" || fail "$name.$ext" "mobitool after s"
    "$tarvo" g "$copy" "$work/g3-$name-$ext" "$work/s.json" "$work/s.jpg" >/dev/null
    cmp -s "$work/s.jpg" "$data/mobi/qs-eng-cover.jpg" || fail "$name.$ext" "g cover after s"
  done
done
((status == 0)) && echo "Kindle output: all checks passed on ${#sources[@]} books"
exit $status
