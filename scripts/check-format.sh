#!/usr/bin/env bash
# Fails, naming the files, when any C++ file of the project differs from .clang-format: a file
# formatted by hand drifts, and the drift then hides real changes in every later diff.
set -uo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'fuzz/*.cpp' \
  'fuzz/*.h' 'bench/*.cpp' 'bench/*.h')
off=$(clang-format --dry-run "${files[@]}" 2>&1 | grep -oE '^[^:]+:[0-9]+:[0-9]+: (warning|error)' |
  cut -d: -f1 | sort -u)
if [[ -n $off ]]; then
  echo "These files differ from .clang-format (run clang-format -i on them):" >&2
  echo "$off" >&2
  exit 1
fi
echo "${#files[@]} files formatted as .clang-format says"
