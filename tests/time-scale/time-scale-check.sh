#!/usr/bin/env bash
# TARVO_TIME_SCALE as ctest and the slow checks' own limits see it: every test labelled slow gets its
# limit times the scale, no other test does, and a value that is no number leaves the limits alone.
# Usage: time-scale-check.sh BUILD_DIR
set -u
build=$1
source "$(dirname "$0")/../integration/time-scale.sh"
status=0
# "name limit slow" of every test, as ctest would run it under the given scale.
limits() {
  TARVO_TIME_SCALE=$1 ctest --test-dir "$build" --show-only=json-v1 2>/dev/null | python3 -c '
import json, sys
for t in json.load(sys.stdin)["tests"]:
    p = {x["name"]: x["value"] for x in t.get("properties", [])}
    print(t["name"], int(p.get("TIMEOUT", 0)), int("slow" in (p.get("LABELS") or [])))'
}
base=$(limits "")
grep -q ' 1$' <<<"$base" || { echo "no test labelled slow"; exit 1; }
# scale, then the limit wanted in tenths of the unscaled one
while read -r scale tenths; do
  got=$(limits "$scale")
  want=$(awk -v t="$tenths" '$3 == 1 { $2 = int(($2 * t + 9) / 10); if ($2 < 1) $2 = 1 } { print }' <<<"$base")
  [[ $got == "$want" ]] || { echo "TARVO_TIME_SCALE=$scale: $(diff <(echo "$want") <(echo "$got") | grep '^>' | head -n 3)"; status=1; }
done <<'TABLE'
2 20
1.5 15
3.25 32
0.5 5
0.01 0
abc 10
-1 10
TABLE
# The checks' own limits: scale, seconds, what they become.
while read -r scale seconds want; do
  got=$(TARVO_TIME_SCALE=$scale scaled "$seconds")
  [[ $got == "$want" ]] || { echo "scaled $seconds at $scale: $got, not $want"; status=1; }
done <<'TABLE'
- 120 120
1 120 120
2.5 120 300
0.001 6 1
abc 6 6
TABLE
((status == 0)) && echo "time limits scale as they should"
exit $status
