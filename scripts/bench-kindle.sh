#!/usr/bin/env bash
# Times `TarvoCmd c` of a several-MB EPUB (the Debian Policy test book repeated 10 times, each copy
# with its own 300 KB image) to azw3 and to mobi beside calibre's ebook-convert on the same file,
# and reports our peak memory. Needs hyperfine, /usr/bin/time and calibre
# (apt-get install hyperfine time calibre).
# Usage: scripts/bench-kindle.sh [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
tarvo=$PWD/${1:-build}/src/cli/TarvoCmd
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen
# A noisy image compresses badly, like a photograph.
python3 -c 'import os,sys; sys.stdout.buffer.write(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + os.urandom(300000) + b"\xff\xd9")' >"$work/photo.jpg"
python3 scripts/make-big-epub.py tests/data/epub/policy.epub "$work/big.epub" 10 "$work/photo.jpg"
echo "input: $(stat -c %s "$work/big.epub") bytes, $(unzip -Z1 "$work/big.epub" | grep -c 'html$') documents"
for ext in azw3 mobi; do
  hyperfine --warmup 1 --runs 3 --export-markdown "$work/$ext.md" \
    --prepare "rm -rf $work/job $work/out.$ext $work/calibre.$ext" \
    "$tarvo c $work/big.epub $work/out.$ext $work/job" \
    "ebook-convert $work/big.epub $work/calibre.$ext"
  rm -rf "$work/job" "$work/out.$ext"
  /usr/bin/time -v "$tarvo" c "$work/big.epub" "$work/out.$ext" "$work/job" 2>&1 >/dev/null |
    grep -E "Maximum resident|Elapsed"
done
