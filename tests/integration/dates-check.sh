#!/usr/bin/env bash
# A book's publication date through "c", from every input format to every output that holds one:
# the output carries the date "g" reads from the source, or none when the source has none; never
# one the conversion made up (today's). Kindle files are read by kindle-records.py, every EXTH 106
# record of every part (the MOBI 6 half of a joint file too); the other outputs by "g"
# (epub, opf) or their own metadata field (json).
# Usage: dates-check.sh TARVOCMD DATA_DIR
set -u
tarvo=$1 data=$2
here=$(dirname "$0")
command -v python3 >/dev/null || { echo "python3 missing: skipped"; exit 77; }
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
status=0
last() { tail -n 1 | tr -d '\r'; }
json_date() {
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1])).get("date_publication", ""))' "$1" 2>/dev/null
}

# Dated and undated variants of the small books, each with the date form a real package uses.
python3 - "$data" "$work/src" <<'PY'
import os, re, sys, zipfile
data, out = sys.argv[1], sys.argv[2]
os.makedirs(out)
def edit(src, dst, date):
    zin, zout = zipfile.ZipFile(src), zipfile.ZipFile(dst, "w")
    for item in zin.infolist():
        body = zin.read(item.filename)
        if item.filename.endswith(".opf"):
            text = re.sub(r"\s*<dc:date[^>]*>[^<]*</dc:date>", "", body.decode("utf-8"))
            body = text.replace("</metadata>", date + "</metadata>", 1).encode("utf-8")
        zout.writestr(item, body)
    zout.close()
epub, htmlz = os.path.join(data, "epub/qs-eng.epub"), os.path.join(data, "epub/qs-eng.htmlz")
# As live-manual packages write it.
edit(epub, out + "/event.epub", '<dc:date opf:event="publication">2015-09-22</dc:date>')
# As Sphinx packages write it, with a time of day.
edit(epub, out + "/time.epub", "<dc:date>2022-12-17T02:41:44Z</dc:date>")
# A year and month only.
edit(epub, out + "/month.epub", "<dc:date>2015-09</dc:date>")
# Only the package's modification time, which is no publication date.
edit(epub, out + "/modified.epub",
     '<meta property="dcterms:modified">2022-12-17T02:41:44Z</meta>')
edit(htmlz, out + "/dated.htmlz", "<dc:date>2023-03-06T18:06:57+00:00</dc:date>")
zipfile.ZipFile(out + "/time.epub").extractall(out + "/opf-folder")
PY
opf=$(find "$work/src/opf-folder" -name '*.opf' | head -n 1)

# label and source file
sources=(
  "EPUB 2 undated|$data/epub/qs-eng.epub"
  "EPUB 2 dated by event|$work/src/event.epub"
  "EPUB 2 dated with time|$work/src/time.epub"
  "EPUB 2 year and month|$work/src/month.epub"
  "EPUB 2 modified only|$work/src/modified.epub"
  "EPUB 3|$data/epub3/childrens-literature.epub"
  "HTMLZ undated|$data/epub/qs-eng.htmlz"
  "HTMLZ dated|$work/src/dated.htmlz"
  "AZW3|$data/mobi/qs-eng-kf8.azw3"
  "joint MOBI|$data/mobi/qs-eng-joint.mobi"
  "MOBI 6|$data/mobi/qs-eng-mobi6.mobi"
  "OPF folder|$opf"
  "TXT|$data/text/en-utf8.txt"
  "HTML|$data/html/qs-eng/index.html"
)
outputs=(azw3 mobi epub opf json)
n=0
for row in "${sources[@]}"; do
  label=${row%%|*} book=${row#*|}
  n=$((n + 1))
  result=$("$tarvo" g "$book" "$work/gjob$n" "$work/source$n.json" "$work/source$n.jpg" | last)
  if [[ $result != "return 0" ]]; then echo "$label: PROBLEM: g failed: $result"; status=1; continue; fi
  want=$(json_date "$work/source$n.json")
  for format in "${outputs[@]}"; do
    # A package is not converted into a package.
    [[ $book == *.opf && $format == opf ]] && continue
    out="$work/out$n/book.$format"
    mkdir -p "$work/out$n"
    result=$("$tarvo" c "$book" "$out" "$work/cjob$n-$format" 2>/dev/null | last)
    if [[ $result != "return 0" ]]; then echo "$label -> $format: PROBLEM: c failed: $result"; status=1; continue; fi
    case $format in
      azw3 | mobi)
        # One line per part: its EXTH 106 values, "-" for none.
        got=$(python3 "$here/kindle-records.py" "$out" 106 | awk '
          $2 == "locale" { if (n++) print (v == "" ? "-" : v); v = ""; next }
          { $1 = $2 = ""; sub(/^  /, ""); v = v (v == "" ? "" : ",") $0 }
          END { print (v == "" ? "-" : v) }')
        expected=$(while read -r _; do echo "${want:--}"; done <<<"$got")
        ;;
      json)
        # The book's own map: a package's date keeps its event's name ("date", "date_publication").
        got=$(python3 -c '
import json, sys
meta = json.loads(json.load(open(sys.argv[1]))["MetaData"])
dates = [v for k, v in sorted(meta.items()) if k.startswith("date")]
print(meta.get("date_publication", dates[0] if len(dates) == 1 else ",".join(dates)))' "$out" 2>&1)
        expected=$want
        ;;
      *)
        "$tarvo" g "$out" "$work/ojob$n-$format" "$work/out$n/$format.json" "$work/out$n/$format.jpg" >/dev/null
        got=$(json_date "$work/out$n/$format.json")
        expected=$want
        ;;
    esac
    if [[ $got != "$expected" ]]; then
      echo "$label -> $format: PROBLEM: date ${got//$'\n'/ / } where the source has \"${want:-none}\""
      status=1
    else
      echo "$label -> $format: ok (${want:-no date})"
    fi
  done
done
exit $status
