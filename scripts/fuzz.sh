#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time over its seed corpus.
# A crash fails the run; the input that caused it is kept in build-fuzz/artifacts/.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(zip html mobi mobi_writer)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTARVO_FUZZ=ON -DTARVO_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/%/_fuzzer}"
mkdir -p build-fuzz/artifacts build-fuzz/pieces
# Pages that print otherwise in pieces are kept there and counted, not fatal: see html_fuzzer.cpp.
export TARVO_FUZZ_PIECES_DIR="$PWD/build-fuzz/pieces"
for target in "${targets[@]}"; do
  work=$(mktemp -d)
  seeds="$PWD/fuzz/corpus/$target"
  [[ $target == mobi ]] && seeds="$PWD/tests/data/mobi"
  echo "fuzzing $target for ${seconds}s"
  (cd "$work" && "$OLDPWD/build-fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -timeout=10 -print_final_stats=1 -artifact_prefix="$OLDPWD/build-fuzz/artifacts/${target}-" \
      "$work" "$seeds" 2>&1 | tail -n 12)
  rm -rf "$work"
done
kept=$(find build-fuzz/pieces -type f | wc -l)
((kept == 0)) || echo "$kept page(s) print otherwise when parsed in pieces: kept in build-fuzz/pieces/"
