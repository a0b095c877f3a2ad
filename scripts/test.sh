#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite: once with warnings as errors,
# once under AddressSanitizer + UndefinedBehaviorSanitizer, then a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --tests
jobs=$(nproc)

cmake -S . -B build -DTARVO_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-asan -DTARVO_WERROR=ON -DTARVO_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# 30 s a target keeps the whole command within half an hour; longer runs: TARVO_FUZZ_SECONDS=600.
scripts/fuzz.sh "${TARVO_FUZZ_SECONDS:-30}"
