#!/usr/bin/env bash
# Installs what is missing, builds a release TarvoCmd and runs the main job on the shipped sample:
# the sample text converted to an EPUB, that EPUB to a Kindle (AZW3) file, and the metadata of both
# read back.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTARVO_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target TarvoCmd
mkdir -p out
run() {
  echo "\$ TarvoCmd $*"
  set +e
  build-release/src/cli/TarvoCmd "$@"
  echo "(exit status $?)"
  set -e
}
run c samples/fables.txt out/fables.epub out/work
run g out/fables.epub out/work-meta out/fables.json out/fables-cover
run c out/fables.epub out/fables.azw3 out/work-kindle
run g out/fables.azw3 out/work-kindle-meta out/fables-azw3.json out/fables-azw3-cover
echo "Output in out/; run logs in out/marlek_log/."
