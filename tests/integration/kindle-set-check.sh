#!/usr/bin/env bash
# "s" on copies of Kindle books, read back by kindle-records.py (every part of a joint file), by our
# own "g" and, when installed, by calibre's ebook-meta: several -a give one EXTH 100 per author;
# -l sets EXTH 524 and the MOBI header's locale in every part; a value holding a twice-escaped
# character reference ("&#x27;") reaches readers as the character.
# Usage: kindle-set-check.sh TARVOCMD DATA_DIR
set -u
tarvo=$1 data=$2
here=$(dirname "$0")
command -v python3 >/dev/null || { echo "python3 missing: skipped"; exit 77; }
calibre=
command -v ebook-meta >/dev/null && calibre=1
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
status=0
last() { tail -n 1 | tr -d '\r'; }
json_value() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1])).get(sys.argv[2], ""))' "$1" "$2"; }
# The authors ebook-meta reads, one a line.
calibre_authors() {
  ebook-meta "$1" --to-opf="$1.opf" >/dev/null 2>&1 &&
    python3 -c '
import sys, xml.etree.ElementTree as T
for e in T.parse(sys.argv[1]).iter("{http://purl.org/dc/elements/1.1/}creator"): print(e.text)' "$1.opf"
}

# label | options | EXTH type | its values in each part, joined by "+" | header locale | g key=value
cases=(
  "two authors|-a|First Author|-a|Second Author|100|First Author+Second Author||creator=First Author & Second Author"
  "language|-l|fr|524|fr|0xc|language=fr"
  "language with region|-l|pt-BR|524|pt-BR|0x416|languageid=00001046"
  "escaped author|-a|Developer&#x27;s Reference Team|100|Developer's Reference Team||creator=Developer's Reference Team"
)
joined() { paste -sd+ -; }
for book in qs-eng-kf8.azw3 qs-eng-joint.mobi; do
  for row in "${cases[@]}"; do
    IFS='|' read -r -a fields <<<"$row"
    label=${fields[0]} n=${#fields[@]}
    options=("${fields[@]:1:n-5}")
    type=${fields[n-4]} values=${fields[n-3]} locale=${fields[n-2]} check=${fields[n-1]}
    copy="$work/$label-$book"
    cp "$data/mobi/$book" "$copy"
    result=$("$tarvo" s "$copy" "$work/job" "${options[@]}" | last)
    if [[ $result != "return 0" ]]; then echo "$book, $label: PROBLEM: s failed: $result"; status=1; continue; fi
    problems=()
    parts=$(python3 "$here/kindle-records.py" "$copy" "$type" | grep -c ' locale ')
    [[ $book == *joint* ]] && ((parts != 2)) && problems+=("$parts parts read, want 2")
    for ((p = 0; p < parts; p++)); do
      got=$(python3 "$here/kindle-records.py" "$copy" "$type" | sed -n "s/^$p $type //p" | joined)
      [[ $got == "$values" ]] || problems+=("part $p: EXTH $type $got (want $values)")
      if [[ -n $locale ]]; then
        got=$(python3 "$here/kindle-records.py" "$copy" "$type" | sed -n "s/^$p locale //p")
        [[ $got == "$locale" ]] || problems+=("part $p: header locale $got (want $locale)")
      fi
    done
    "$tarvo" g "$copy" "$work/job" "$work/meta.json" "$work/cover.jpg" >/dev/null
    got=$(json_value "$work/meta.json" "${check%%=*}")
    [[ $got == "${check#*=}" ]] || problems+=("g: ${check%%=*} \"$got\" (want \"${check#*=}\")")
    if [[ -n $calibre && $type == 100 ]]; then
      got=$(calibre_authors "$copy" | joined)
      [[ $got == "$values" ]] || problems+=("ebook-meta authors: $got (want $values)")
    fi
    if ((${#problems[@]})); then
      status=1; echo "$book, $label: PROBLEM: ${problems[*]}"
    else
      echo "$book, $label: ok"
    fi
  done
done
[[ -z $calibre ]] && echo "(ebook-meta missing: authors read by our own readers only)"
exit $status
