#!/usr/bin/env bash
# A stopped TarvoCmd leaves none of its helpers running: a PDF is converted with a stand-in for
# poppler's pdftohtml first on PATH that hangs, with a child of its own hanging too; TarvoCmd, in a
# session of its own as a batch starts it, is stopped while it waits, and 2 s after it ended no
# process of the stand-in may remain. Cases: TERM or INT or HUP to TarvoCmd alone, which has to
# end its helpers itself, and KILL to its whole process group, which reaches them only if they
# stayed in that group. The cases run side by side.
# Usage: helper-stop-check.sh TARVOCMD DATA_DIR   (DATA_DIR is tests/data)
set -u
tarvo=$1 data=$2
for tool in pdfinfo setsid pgrep; do
  command -v "$tool" >/dev/null || { echo "$tool missing: skipped"; exit 77; }
done
# Tenths of a second TarvoCmd may take to reach pdftohtml.
start_limit=$(awk -v s="${TARVO_TIME_SCALE:-1}" 'BEGIN { print int(300 * (s >= 1 ? s : 1)) }')
work=$(mktemp -d)
markers=()
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  local marker
  for marker in "${markers[@]}"; do pkill -KILL -f -- "$marker" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

stop_case() { # label signal target(pid|group)
  local label=$1 signal=$2 target=$3
  local marker="tarvo-stop-check-$label-$$-$RANDOM" case="$work/$label"
  mkdir -p "$case/$marker"
  # exec -a puts the marker in the command line of each process the stand-in leaves.
  cat >"$case/$marker/pdftohtml" <<EOF
#!/bin/bash
(exec -a $marker-child sleep 60) &
exec -a $marker-main sleep 60
EOF
  chmod +x "$case/$marker/pdftohtml"
  # A background job of a script starts with INT ignored, which TarvoCmd would keep ignoring.
  PATH="$case/$marker:$PATH" env --default-signal=INT,TERM,HUP \
    setsid "$tarvo" c "$data/pdf/qs-eng-calibre.pdf" "$case/out.epub" "$case/tmp/job" >"$case/out.txt" 2>&1 &
  local pid=$! waited=0
  until pgrep -f -- "$marker-child" >/dev/null; do
    sleep 0.1
    if ((++waited > start_limit)) || ! kill -0 "$pid" 2>/dev/null; then
      echo "$label: PROBLEM: the stand-in never started: $(tail -n 3 "$case/out.txt")"
      return 1
    fi
  done
  if [[ $target == group ]]; then kill -s "$signal" -- "-$pid"; else kill -s "$signal" "$pid"; fi
  wait "$pid"
  local status=$?
  sleep 2
  # The session catches TarvoCmd's own helper (the guard) too, whose command line has no marker.
  local left
  left=$( (pgrep -af -- "$marker"; pgrep -a -s "$pid") | sort -u)
  if [[ -n $left ]]; then
    echo "$label: PROBLEM: still running 2 s after TarvoCmd ended (status $status):"
    echo "$left"
    return 1
  fi
  echo "$label: TarvoCmd ended with status $status, nothing of the stand-in left"
}

cases=(
  "term  TERM pid"
  "int   INT  pid"
  "hup   HUP  pid"
  "kill  KILL group"
)
pids=()
for c in "${cases[@]}"; do
  read -r label signal target <<<"$c"
  markers+=("tarvo-stop-check-$label-$$-")
  stop_case "$label" "$signal" "$target" &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
