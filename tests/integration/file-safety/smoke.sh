# A plain conversion into an empty folder writes its output and nothing else.
case_plain_conversion_writes_only_its_output() {
  local result
  result=$(run c "$data/epub/qs-eng.epub" book.epub tmp)
  [[ $result == "succeed 0" ]] || fail "result: $result"
  [[ -s book.epub ]] || fail "no output"
}
