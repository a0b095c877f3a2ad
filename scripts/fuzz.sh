#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time over its seed corpus.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTARVO_FUZZ=ON -DTARVO_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 --target zip_fuzzer html_fuzzer
for target in zip html; do
  corpus=$(mktemp -d)
  cp -r fuzz/corpus/$target/. "$corpus"/ 2>/dev/null || true
  echo "fuzzing $target for ${seconds}s"
  (cd "$(mktemp -d)" && "$OLDPWD/build-fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -timeout=10 -print_final_stats=0 "$corpus" "$OLDPWD/fuzz/corpus/$target" 2>&1 | tail -n 3)
done
