#!/usr/bin/env bash
# Installs what is missing, builds a release TarvoCmd with tarvo-batch beside it and runs the main
# job on the shipped sample: the sample text converted to an EPUB, that EPUB to a Kindle (AZW3)
# file, the metadata of both read back, and the samples folder converted as a library.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTARVO_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target TarvoCmd tarvo_batch
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
echo "\$ tarvo-batch convert samples out/library --to epub"
set +e
build-release/src/cli/tarvo-batch convert samples out/library --to epub
echo "(exit status $?)"
set -e
echo "Output in out/ (the library's in out/library/, one row per book in results.tsv); run logs"
echo "in out/marlek_log/. The programs are build-release/src/cli/TarvoCmd and, beside it,"
echo "build-release/src/cli/tarvo-batch."
