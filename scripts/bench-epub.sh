#!/usr/bin/env bash
# Times `TarvoCmd c` on a large EPUB (the Debian Policy test book with its documents repeated ten
# times: 250 documents) against the ZIP work alone (unzip, then zip -9), as the floor that shows
# what the HTML cleaning costs. Needs hyperfine and /usr/bin/time (apt-get install hyperfine time).
# Usage: scripts/bench-epub.sh [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
tarvo=$PWD/${1:-build}/src/cli/TarvoCmd
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
python3 - tests/data/epub/policy.epub "$work/big.epub" <<'PY'
import re, sys, zipfile
src, dst = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(src) as z:
    files = {n: z.read(n) for n in z.namelist()}
opf_name = next(n for n in files if n.endswith(".opf"))
folder = opf_name.rsplit("/", 1)[0] + "/" if "/" in opf_name else ""
opf = files[opf_name].decode()
docs = []
for item in re.findall(r"<item [^>]*>", opf):
    href, ident = re.search(r'href="([^"]+)"', item), re.search(r'id="([^"]+)"', item)
    if href and ident and href.group(1).endswith("html"):
        docs.append((href.group(1), ident.group(1)))
items, refs = [], []
for copy in range(1, 10):
    for href, ident in docs:
        files[f"{folder}copy{copy}/{href}"] = files[folder + href]
        items.append(f'<item href="copy{copy}/{href}" id="{ident}_{copy}" media-type="application/xhtml+xml"/>')
        refs.append(f'<itemref idref="{ident}_{copy}"/>')
files[opf_name] = opf.replace("</manifest>", "".join(items) + "</manifest>").replace(
    "</spine>", "".join(refs) + "</spine>").encode()
with zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as out:
    out.writestr(zipfile.ZipInfo("mimetype"), files.pop("mimetype", b"application/epub+zip"))
    for name, data in files.items():
        out.writestr(name, data)
PY
echo "input: $(stat -c %s "$work/big.epub") bytes, $(unzip -Z1 "$work/big.epub" | grep -c 'html$') documents"
hyperfine --warmup 1 --runs 5 \
  --prepare "rm -rf $work/job $work/out.epub $work/x $work/floor.zip" \
  "$tarvo c $work/big.epub $work/out.epub $work/job" \
  "unzip -q $work/big.epub -d $work/x && cd $work/x && zip -9 -q -r $work/floor.zip ."
rm -rf "$work/job" "$work/out.epub"
/usr/bin/time -v "$tarvo" c "$work/big.epub" "$work/out.epub" "$work/job" 2>&1 >/dev/null | grep -E "Maximum resident|Elapsed"
