#!/usr/bin/env bash
# Times `TarvoCmd c` on a large EPUB (the Debian Policy test book with its documents repeated ten
# times: 250 documents) against the ZIP work alone (unzip, then zip -9), as the floor that shows
# what the HTML cleaning costs. Needs hyperfine and /usr/bin/time (apt-get install hyperfine time).
# Usage: scripts/bench-epub.sh [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
tarvo=$PWD/${1:-build}/src/cli/TarvoCmd
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
python3 scripts/make-big-epub.py tests/data/epub/policy.epub "$work/big.epub" 10
echo "input: $(stat -c %s "$work/big.epub") bytes, $(unzip -Z1 "$work/big.epub" | grep -c 'html$') documents"
hyperfine --warmup 1 --runs 5 \
  --prepare "rm -rf $work/job $work/out.epub $work/x $work/floor.zip" \
  "$tarvo c $work/big.epub $work/out.epub $work/job" \
  "unzip -q $work/big.epub -d $work/x && cd $work/x && zip -9 -q -r $work/floor.zip ."
rm -rf "$work/job" "$work/out.epub"
/usr/bin/time -v "$tarvo" c "$work/big.epub" "$work/out.epub" "$work/job" 2>&1 >/dev/null | grep -E "Maximum resident|Elapsed"
