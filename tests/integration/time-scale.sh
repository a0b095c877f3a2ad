# Sourced by the slow checks: their own time limits grow with TARVO_TIME_SCALE, as ctest's do.
# scaled SECONDS prints SECONDS times the scale, rounded to whole seconds and at least 1.
scaled() {
  awk -v n="$1" -v s="${TARVO_TIME_SCALE:-1}" 'BEGIN { if (s !~ /^[0-9]+(\.[0-9]+)?$/ || s == 0) s = 1
    v = int(n * s + 0.5); print (v < 1 ? 1 : v) }'
}
