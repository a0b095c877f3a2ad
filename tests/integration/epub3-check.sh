#!/usr/bin/env bash
# Every EPUB 3 test book through "c" to EPUB, AZW3 and MOBI, judged by independent readers:
# - epubcheck finds no error in our EPUB 2 when it finds none in the source;
# - the table of contents survives: our EPUB's NCX, and the NCX that mobitool rebuilds from each
#   Kindle file, hold at least 95 % of the source's entries (its NCX, or its navigation document
#   when it has no NCX);
# - mobitool shows one title, the source's main one (the title refined as "main", else the first);
# - the Kindle text keeps at least 99 % of the source's words.
# Usage: epub3-check.sh TARVOCMD DATA_DIR [quick]
#   quick: no epubcheck (the sanitizer build runs this way).
set -u
tarvo=$1 data=$2 quick=${3:-}
command -v mobitool >/dev/null && command -v python3 >/dev/null ||
  { echo "mobitool or python3 missing: skipped"; exit 77; }
jar=$(ls /usr/share/java/epubcheck*.jar 2>/dev/null | head -n 1)
[[ -n $quick ]] || ! command -v java >/dev/null && jar=
source "$(dirname "$0")/time-scale.sh"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "$1: PROBLEM: $2"; status=1; }
# Errors and fatals, less one kind: EPUB 2 has no valid way to say a book reads right to left, and
# readers follow the spine's page-progression-direction there too, so our EPUB 2 keeps it.
errors() {
  timeout "$(scaled 600)" java -jar "$jar" "$1" 2>&1 | grep -E '^(ERROR|FATAL)' |
    grep -vc 'attribute "page-progression-direction" not allowed here'
}

# "entries words title" of an EPUB: the table of contents from the NCX, or from the navigation
# document when there is none; the words of its documents; the main title of its package.
census() {
  python3 - "$1" <<'PY'
import posixpath, re, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
read = lambda n: z.read(n).decode("utf-8", "replace")
container = read("META-INF/container.xml")
opf_path = re.search(r'full-path="([^"]+)"', container).group(1)
opf = read(opf_path)
base = posixpath.dirname(opf_path)
items = re.findall(r"<item\b[^>]*>", opf)
attr = lambda tag, name: (re.search(r'\b' + name + r'="([^"]*)"', tag) or [None, ""])[1]
def member(href):
    return posixpath.normpath(posixpath.join(base, href)) if base else href
entries = 0
# A manifest may name an NCX its archive lacks: then the navigation document is the table.
ncx = [attr(t, "href") for t in items if attr(t, "media-type") == "application/x-dtbncx+xml"
       and member(attr(t, "href")) in z.namelist()]
nav = [attr(t, "href") for t in items if "nav" in attr(t, "properties").split()]
if ncx:
    entries = len(re.findall(r"<navPoint\b", read(member(ncx[0]))))
elif nav:
    text = read(member(nav[0]))
    toc = re.search(r'(?s)<nav\b[^>]*epub:type="[^"]*\btoc\b[^"]*"[^>]*>(.*?)</nav>', text)
    entries = len(re.findall(r"<li\b", toc.group(1))) if toc else 0
words = 0
for n in z.namelist():
    if n.lower().endswith((".html", ".xhtml", ".htm")):
        text = re.sub(r"(?s)<(script|style|head)\b.*?</\1>", " ", read(n))
        words += len(re.sub(r"<[^>]*>", " ", text).split())
titles = re.findall(r'(?s)<dc:title\b([^>]*)>(.*?)</dc:title>', opf)
main = titles[0][1].strip() if titles else ""
for attrs, text in titles:
    i = attr(attrs, "id")
    if i and re.search(r'refines="#' + re.escape(i) + r'"\s+property="title-type"[^>]*>\s*main\s*<', opf):
        main = text.strip()
import html
print(entries, words, html.unescape(main))
PY
}

for src in "$data"/*.epub; do
  name=$(basename "$src" .epub)
  echo "$(date +%T) $name.epub"
  read -r src_entries src_words src_title < <(census "$src")
  src_errors=
  [[ -n $jar ]] && src_errors=$(errors "$src")
  for kind in epub azw3 mobi; do
    out="$work/$name.$kind"
    echo "$(date +%T)   -> $kind"
    result=$("$tarvo" c "$src" "$out" "$work/job-$name-$kind" | tail -n 1)
    if [[ $result != "return 0" ]]; then fail "$name.$kind" "conversion gave $result"; continue; fi
    if [[ $kind == epub ]]; then
      read -r entries _ _ < <(census "$out")
      if [[ -n $jar && $src_errors == 0 ]]; then
        ours=$(errors "$out")
        [[ $ours == 0 ]] || fail "$name.epub" "epubcheck finds $ours errors, the source none"
      fi
    else
      mkdir -p "$work/m-$name-$kind"
      timeout "$(scaled 300)" mobitool -e -o "$work/m-$name-$kind" "$out" >/dev/null 2>&1
      rebuilt=$(ls "$work/m-$name-$kind"/*.epub 2>/dev/null | head -n 1)
      if [[ -z $rebuilt ]]; then fail "$name.$kind" "mobitool -e wrote no EPUB"; continue; fi
      read -r entries words _ < <(census "$rebuilt")
      ((words * 100 >= src_words * 99)) || fail "$name.$kind" "$words words of the source's $src_words"
      mapfile -t titles < <(mobitool "$out" 2>/dev/null | sed -n 's/^Title: //p')
      [[ ${#titles[@]} == 1 && ${titles[0]} == "$src_title" ]] ||
        fail "$name.$kind" "title(s) \"${titles[*]}\", the source's main title is \"$src_title\""
    fi
    ((entries * 100 >= src_entries * 95)) || fail "$name.$kind" "$entries table-of-contents entries of $src_entries"
    echo "$name.$kind: $entries of $src_entries entries"
  done
done
exit $status
