#!/usr/bin/env bash
# Every test text, whatever its encoding, goes to EPUB and back to text; the text that comes back
# must hold the original, character for character ("&lt;" written in a text stays "&lt;"), compared
# without white space. A text of a few MB must convert in a few seconds (more on a slower machine:
# TARVO_TIME_SCALE).
# Usage: text-roundtrip.sh TARVOCMD DATA_DIR
set -u
tarvo=$1 data=$2
command -v python3 >/dev/null || { echo "python3 missing: skipped"; exit 77; }
source "$(dirname "$0")/time-scale.sh"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
status=0
declare -A encodings=([en-utf8.txt]=utf-8 [en-utf8-bom-crlf.txt]=utf-8-sig [fr-utf16le-bom.txt]=utf-16
                      [fr-cp1252-crlf.txt]=cp1252 [ja-sjis.txt]=shift_jis [zh-gbk.txt]=gb18030
                      [zh-title-brackets.txt]=utf-8)
contains() {  # original encoding, original file, text that came back
  python3 - "$@" <<'PY'
import re, sys
def norm(t):
    # Shift_JIS tables disagree on 0x5C and 0x7E (yen sign / backslash, overline / tilde).
    t = t.replace("\u203e", "~").replace("\u00a5", "\\")
    t = t.replace("\ufeff", "")
    return re.sub(r"\s+", "", t)
original = norm(open(sys.argv[2], encoding=sys.argv[1], errors="ignore").read())
back = norm(open(sys.argv[3], encoding="utf-8", errors="strict").read())
if original not in back:
    i = next((k for k in range(min(len(original), len(back))) if original[k] not in back), 0)
    print("first missing text near:", original[max(0, i - 40):i + 40])
    sys.exit(1)
PY
}
# Markup characters and entity-like words, which a text means literally.
printf '%s\n' 'Fish & chips && more; a <b>tag</b> x<y>z' '&lt;angle&gt; &amp; &quot;q&quot; &#38; &#x26; &nbsp;' \
  '&copy; &eacute; &lsaquo;single&rsaquo; &bogus; &#0; &amp;amp;lt; <<>> 1 < 2 > 0' >"$work/markup.txt"
encodings[markup.txt]=utf-8
for name in "${!encodings[@]}"; do
  src="$data/$name"
  [[ $name == markup.txt ]] && src="$work/markup.txt"
  [[ -f $src ]] || continue
  echo "$(date +%T) $name -> epub -> txt"
  r1=$("$tarvo" c "$src" "$work/$name.epub" "$work/in-$name" | tail -n 1)
  r2=$("$tarvo" c "$work/$name.epub" "$work/$name.back.txt" "$work/out-$name" | tail -n 1)
  if [[ $r1 != "return 0" || $r2 != "return 0" ]]; then echo "$name: FAILED ($r1 / $r2)"; status=1; continue; fi
  if contains "${encodings[$name]}" "$src" "$work/$name.back.txt"; then echo "$name: ok"
  else echo "$name: PROBLEM: text lost"; status=1; fi
done
# A large text: 40 copies of the English one, about 2 MB.
for _ in $(seq 40); do cat "$data/en-utf8.txt"; done >"$work/big.txt"
start=$(date +%s%N)
r=$("$tarvo" c "$work/big.txt" "$work/big.epub" "$work/big-job" | tail -n 1)
ms=$(( ($(date +%s%N) - start) / 1000000 ))
limit=$(($(scaled 10) * 1000))
echo "big text ($(stat -c %s "$work/big.txt") bytes): $r in ${ms} ms (limit $limit ms)"
[[ $r == "return 0" ]] && (( ms < limit )) || status=1
exit $status
