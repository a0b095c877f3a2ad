# Paths from the user and from inside a book: an output goes under exactly the name given, and a
# book whose names climb out of it writes nothing beside its output and TempDirectory.

# An upper-case extension picks the format, but the file keeps the name the user gave; a file that
# differs from it only in case is someone else's and stays as it was.
case_output_keeps_the_case_of_its_name() {
  local result
  echo "someone else's" >mine.epub
  result=$(run c "$data/epub/qs-eng.epub" mine.EPUB T)
  [[ $result == "succeed 0" ]] || fail "result: $result"
  [[ -s mine.EPUB ]] || fail "mine.EPUB not written"
  [[ $(cat mine.epub) == "someone else's" ]] || fail "mine.epub was replaced"
}
