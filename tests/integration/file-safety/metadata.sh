# `g` and `s`: what a stopped run leaves beside the book, outputs written all or none, values too
# long for the metadata text, and a command line with nothing to set.

# A copy of a real book made slow to rewrite by a large stored entry, so that a run can be stopped
# while its temporary file is being written.
make_big_book() {
  local megabytes=48
  [[ -n $quick ]] && megabytes=12
  cp "$data/epub/policy.epub" "$1"
  head -c $((megabytes * 1024 * 1024)) /dev/urandom >filler.bin
  zip -q -0 "$1" filler.bin && rm filler.bin
}

# Starts `s` on the book in the background and sends the signal once its temporary file is there.
# Prints the run's exit status; 0 with "ended early" on stderr when it was over too soon.
stop_set_run() {
  local book=$1 signal=$2 pid status
  "$tarvo" s "$book" tmp -t "Stopped" >out.txt 2>err.txt &
  pid=$!
  for _ in $(seq 2000); do
    compgen -G ".$book.*.tmp" >/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.005
  done
  kill -"$signal" "$pid" 2>/dev/null || echo "ended early" >&2
  wait "$pid"
  status=$?
  echo "$status"
}

temporary_files() {
  compgen -G ".*.tmp" || true
}

case_s_stopped_by_sigterm_removes_its_temporary_file() {
  make_big_book book.epub
  cp book.epub before.epub
  local status
  status=$(stop_set_run book.epub TERM)
  [[ $status == 143 ]] || fail "exit status $status after SIGTERM, not 143"
  [[ -z $(temporary_files) ]] || fail "left behind: $(temporary_files)"
  cmp -s book.epub before.epub || fail "the book changed"
  local result
  result=$(run s book.epub tmp -t "Second")
  [[ $result == "succeed 0" ]] || fail "second run: $result"
  [[ -z $(temporary_files) ]] || fail "left behind after the second run: $(temporary_files)"
}

case_s_killed_outright_leaves_a_file_the_next_run_removes() {
  make_big_book book.epub
  local status result
  status=$(stop_set_run book.epub KILL)
  [[ $status == 137 ]] || fail "exit status $status after SIGKILL, not 137"
  [[ -n $(temporary_files) ]] || fail "kill -9 left no temporary file: nothing checked"
  result=$(run s book.epub tmp -t "Second")
  [[ $result == "succeed 0" ]] || fail "second run: $result"
  [[ -z $(temporary_files) ]] || fail "stale file not removed: $(temporary_files)"
  result=$(run g book.epub tmp meta.json cover.jpg)
  grep -q '"title":"Second"' meta.json || fail "title not set: $(head -c 200 meta.json)"
}

# `g` writes both outputs or neither: an output that cannot be written keeps the other out too.
case_g_writes_no_output_unless_both_can_be_written() {
  cp "$data/epub/qs-eng.epub" book.epub
  mkdir folder.json folder.jpg
  local meta cover result
  for pair in "missing/meta.json cover.jpg" "folder.json cover.jpg" "meta.json missing/cover.jpg" \
    "meta.json folder.jpg"; do
    read -r meta cover <<<"$pair"
    result=$(run g book.epub tmp "$meta" "$cover")
    [[ $result == "Open/Create file failed! 1" ]] || fail "$pair: $result"
    [[ ! -e meta.json && ! -e cover.jpg ]] || fail "$pair: an output was written"
    grep -q "no output written" err.txt || fail "$pair: nothing on stderr"
    rm -f meta.json cover.jpg
  done
  result=$(run g book.epub tmp meta.json cover.jpg)
  [[ $result == "succeed 0" && -s meta.json && -s cover.jpg ]] || fail "both writable: $result"
  [[ -z $(temporary_files) ]] || fail "left behind: $(temporary_files)"
}

# A title too long for the metadata text is cut to fit, said on stderr and in the log, and the run
# still succeeds; nothing else of the book's metadata is lost.
case_g_cuts_an_over_long_title() {
  python3 - "$data/epub/qs-eng.epub" long.epub <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as src, zipfile.ZipFile(sys.argv[2], "w") as out:
    for info in src.infolist():
        data = src.read(info)
        if info.filename == "content.opf":
            data = data.replace(b"<dc:title>Quick Start Guide<", b"<dc:title>" + b"T" * 70000 + b"<")
        out.writestr(info, data)
EOF
  local result
  result=$(run g long.epub tmp meta.json cover.jpg)
  [[ $result == "succeed 0" ]] || fail "result: $result"
  python3 - meta.json <<'EOF' || fail "metadata: $(head -c 300 meta.json)"
import json, sys
meta = json.load(open(sys.argv[1], encoding="utf-8"))
size = len(open(sys.argv[1], "rb").read())
assert 65000 < len(meta["title"]) < 70000 and set(meta["title"]) == {"T"}, len(meta.get("title", ""))
assert size < 65534 and "creator" in meta and "language" in meta, (size, sorted(meta))
EOF
  grep -q "value of title cut from 70000 to" err.txt || fail "stderr: $(cat err.txt)"
  grep -q "value of title cut from 70000 to" marlek_log/OK/tmp.txt || fail "no log line"
}

case_s_with_no_option_it_knows_fails_and_leaves_the_book() {
  cp "$data/epub/qs-eng.epub" book.epub
  local result
  result=$(run s book.epub tmp -title X)
  [[ $result == *" 1" ]] || fail "result: $result"
  grep -q "^Format:" out.txt || fail "no usage text"
  grep -q -- "-title" err.txt || fail "the unknown option is not named"
  cmp -s book.epub "$data/epub/qs-eng.epub" || fail "the book changed"
  [[ ! -e tmp ]] || fail "a run started"
}
