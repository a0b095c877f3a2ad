# Links someone planted in a TempDirectory they made first, or in the log folders beside it: the
# run refuses them, names them on standard error, leaves the files they lead to alone and does
# not report success.

# "<input below tests/data> <output> <link below the TempDirectory> <file|folder>"
link_placements=(
  "epub/qs-eng.epub out.mobi content.opf file"
  "epub/qs-eng.epub out.mobi images/cover.jpg file"
  "epub/qs-eng.epub out.mobi images folder"
  "epub/qs-eng.epub out.azw3 node.txt file"
  "mobi/qs-eng-mobi6.mobi out.epub text00000.html file"
  "mobi/qs-eng-mobi6.mobi out.epub Image00000.jpg file"
  "mobi/qs-eng-kf8.azw3 out.epub flow0001.css file"
  "mobi/qs-eng-kf8.azw3 out.html text00003.html file"
  "html/qs-eng/index.html out.epub index.html file"
  "html/qs-eng/index.html out.mobi style.css file"
)

case_links_planted_in_the_tempdirectory_are_refused() {
  local placement book output link kind n=0 result
  for placement in "${link_placements[@]}"; do
    read -r book output link kind <<<"$placement"
    n=$((n + 1))
    mkdir "$n" && pushd "$n" >/dev/null || return 1
    mkdir -p victims "tmp/$(dirname "$link")"
    echo "victim" >victims/victim
    if [[ $kind == folder ]]; then
      ln -s "$PWD/victims" "tmp/$link"
    else
      ln -s "$PWD/victims/victim" "tmp/$link"
    fi
    result=$(run c "$data/$book" "$output" tmp)
    [[ $result != succeed* ]] || fail "$placement: $result"
    echo victim | cmp -s - victims/victim || fail "$placement: the victim was written"
    [[ $(ls victims) == victim ]] || fail "$placement: files appeared beside the victim: $(ls victims)"
    grep -q "tmp/$link is a symbolic link" err.txt || fail "$placement: link not named: $(cat err.txt)"
    [[ -L tmp/$link ]] || fail "$placement: the link was removed"
    # node.txt is a scratch file of Kindle output, which does without it: that output is whole.
    [[ -e $output && $link != node.txt ]] && fail "$placement: an output was written from a book read through a link"
    popd >/dev/null || return 1
  done
}

# The same TempDirectories without links convert, so the refusals above are the links' doing.
case_tempdirectory_without_links_converts() {
  local placement book output link kind result
  for placement in "${link_placements[@]}"; do
    read -r book output link kind <<<"$placement"
    rm -rf tmp
    result=$(run c "$data/$book" "$output" tmp)
    [[ $result == "succeed 0" ]] || fail "$placement: $result $(cat err.txt)"
  done
}

# A folder link at marlek_log would have the log replace, and delete, <target>/tmp.txt; one at
# marlek_log/OK would have the filed log replace it.
case_links_at_the_log_folders_are_refused() {
  local link result
  for link in marlek_log marlek_log/OK; do
    rm -rf marlek_log target tmp
    mkdir -p target marlek_log
    [[ $link == marlek_log ]] && rmdir marlek_log
    echo "precious" >target/tmp.txt
    ln -s "$PWD/target" "$link"
    result=$(run c "$data/epub/qs-eng.epub" out.epub tmp)
    [[ $result != succeed* ]] || fail "$link: $result"
    [[ $(cat target/tmp.txt 2>/dev/null) == precious ]] || fail "$link: the file behind the link changed"
    [[ $(ls target) == tmp.txt ]] || fail "$link: files appeared behind the link: $(ls target)"
    [[ -L $link ]] || fail "$link: the link was removed"
    grep -q "$link is a symbolic link" err.txt || fail "$link: link not named: $(cat err.txt)"
  done
}

# The book and the output named on the command line are the user's: in the TempDirectory and as
# links, they are followed like anywhere else.
case_users_own_files_in_the_tempdirectory_are_followed() {
  local result
  mkdir -p tmp books
  cp "$data/epub/qs-eng.epub" books/book.epub
  ln -s "$PWD/books/book.epub" tmp/book.epub
  : >books/out.mobi
  ln -s "$PWD/books/out.mobi" tmp/out.mobi
  result=$(run c tmp/book.epub tmp/out.mobi tmp)
  [[ $result == "succeed 0" ]] || fail "result: $result $(cat err.txt)"
  [[ -L tmp/out.mobi && -s books/out.mobi ]] || fail "the output link was not written through"
}
