#!/usr/bin/env bash
# Hostile cases from a user's point of view: no output replaces a file that is not its own, no
# helper is taken from the working folder, links are never followed inside the TempDirectory or
# the log folders, and no failure is reported as success.
# Every file in file-safety/ defines functions named case_<name>; each runs in a fresh folder of
# its own (its working folder) and reports through fail. Usage:
#   file-safety-check.sh TARVOCMD DATA_DIR [quick]
set -u
tarvo=$(realpath "$1") data=$(realpath "$2") quick=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
# The cases' Python finds crafted_epub there.
export PYTHONPATH="$here/file-safety${PYTHONPATH:+:$PYTHONPATH}"
root=$(mktemp -d); trap 'chmod -R u+rwX "$root" 2>/dev/null; rm -rf "$root"' EXIT
status=0 current=
fail() { echo "$current: PROBLEM: $*"; status=1; }
# "<result line> <exit code>" of one run ("succeed 0"), its standard output and error kept in
# out.txt and err.txt.
run() {
  "$tarvo" "$@" >out.txt 2>err.txt
  local code=$?
  echo "$(tail -n 2 out.txt | head -n 1) $code"
}
for file in "$here"/file-safety/*.sh; do
  # shellcheck source=/dev/null
  source "$file"
done
for name in $(declare -F | awk '{print $3}' | grep '^case_' | sort); do
  current=${name#case_}
  echo "$(date +%T) $current"
  # fail records a problem in the case's own shell: its status is what the case ends with.
  mkdir -p "$root/$current" && (status=0; cd "$root/$current" && "$name"; exit $status)
  [[ $? -eq 0 ]] || status=1
done
[[ $status -eq 0 ]] && echo "all file-safety cases passed"
exit $status
