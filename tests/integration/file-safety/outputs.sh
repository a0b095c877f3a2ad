# HTML, OPF and JSON output: the book's files land only in the output's own <name>_files folder,
# nothing of the input book is replaced, and a failed run leaves the previous output as it was.

# "<sha1>  <path>" of every file under a folder, hidden ones too, in a stable order.
outputs_sums() {
  (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha1sum)
}

outputs_unzip() {
  python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$1" "$2"
}

# A small EPUB whose manifest names hidden files and a path that climbs out, beside a real chapter.
outputs_hostile_epub() {
  python3 - "$1" <<'EOF'
import sys
from crafted_epub import package, write_epub
page = ('<?xml version="1.0" encoding="utf-8"?><html xmlns="http://www.w3.org/1999/xhtml">'
        '<head><title>{0}</title></head><body><p>{0}</p></body></html>')
opf = package("Hostile", '''
  <item id="c1" href="chapter.xhtml" media-type="application/xhtml+xml"/>
  <item id="p" href=".profile" media-type="application/xhtml+xml"/>
  <item id="k" href=".ssh/authorized_keys" media-type="text/css"/>
  <item id="e" href="../escape.xhtml" media-type="application/xhtml+xml"/>
  <item id="ncx" href="toc.ncx" media-type="application/x-dtbncx+xml"/>''',
              '<itemref idref="c1"/><itemref idref="p"/><itemref idref="e"/>')
ncx = ('<?xml version="1.0" encoding="utf-8"?><ncx xmlns="http://www.daisy.org/z3986/2005/ncx/" '
       'version="2005-1"><head/><docTitle><text>Hostile</text></docTitle><navMap><navPoint id="n1" '
       'playOrder="1"><navLabel><text>One</text></navLabel><content src="chapter.xhtml"/></navPoint>'
       '</navMap></ncx>')
write_epub(sys.argv[1], "content.opf", {
    "content.opf": opf, "toc.ncx": ncx, "chapter.xhtml": page.format("chapter"),
    ".profile": page.format("PROFILE FROM THE BOOK"),
    ".ssh/authorized_keys": "ssh-ed25519 KEY-FROM-THE-BOOK", "../escape.xhtml": page.format("escape")})
EOF
}

# A manifest naming ".ssh/authorized_keys" and ".profile" replaces neither in the folder the book
# is converted into, nor puts them anywhere else.
case_hidden_names_from_the_book_replace_nothing() {
  local result format before
  outputs_hostile_epub hostile.epub
  mkdir -p .ssh && echo "my key" >.ssh/authorized_keys && echo "my profile" >.profile
  before=$(outputs_sums .)
  for format in opf json html; do
    result=$(run c hostile.epub "$format.$format" "tmp-$format")
    [[ $result == "succeed 0" ]] || fail "$format: result $result"
  done
  [[ -s opf_opf_files/chapter.xhtml && -s json_json_files/chapter.xhtml ]] || fail "the chapter is missing"
  [[ $(outputs_sums . | grep -v ' \./\(opf\|json\|html\)\(\.\|_[a-z_]*files/\)\| \./tmp-\| \./[eo][ur][tr]\.txt\| \./[a-z]*_log/') == "$before" ]] ||
    fail "files other than the output appeared, went or changed"
  grep -rq "KEY-FROM-THE-BOOK\|PROFILE FROM THE BOOK" ./*_files && fail "the book's hidden files were written"
  [[ -e ../escape.xhtml ]] && fail "a name climbing out of the folder was written"
  grep -q 'profile\|authorized_keys' opf.opf json_json_files/content.opf && fail "a package lists a file not written"
  return 0
}

# Converted into the input's own folder, OPF and JSON output leave every file of the input as it
# was; so does OPF output beside an HTML page.
case_output_into_the_inputs_folder_keeps_the_input() {
  local result target
  outputs_unzip "$data/epub/qs-eng.epub" opf
  cp -r "$data/html/qs-eng" site
  local opf_before site_before
  opf_before=$(outputs_sums opf) site_before=$(outputs_sums site)
  for target in opf/x.json opf/content.html; do
    result=$(run c opf/content.opf "$target" "tmp-${target##*.}")
    [[ $result == "succeed 0" ]] || fail "$target: result $result"
  done
  result=$(run c site/index.html site/book.opf tmp-site)
  [[ $result == "succeed 0" ]] || fail "site/book.opf: result $result"
  [[ $(outputs_sums opf | grep -v ' \./x\.json\| \./x_json_files/\| \./content\.html\| \./content_files/') == "$opf_before" ]] ||
    fail "a file of the package was replaced"
  [[ $(outputs_sums site | grep -v ' \./book\.opf\| \./book_opf_files/') == "$site_before" ]] ||
    fail "a file of the site was replaced"
  [[ -s opf/x_json_files/content.opf && -s opf/x_json_files/toc.ncx && -s site/book_opf_files/toc.ncx ]] ||
    fail "the package and its table of contents are not in the output's folder"
}

# An output that would replace a file of the input book is refused and changes nothing: the
# package's own page as HTML, an HTML page of our package written back over its folder, and an
# output whose folder holds the run's own TempDirectory.
case_output_over_the_input_book_is_refused() {
  local result
  outputs_unzip "$data/epub/qs-eng.epub" opf
  result=$(run c "$data/epub/qs-eng.epub" pkg/book.opf tmp1)
  [[ $result == "succeed 0" ]] || fail "setup: result $result"
  local before; before=$(outputs_sums opf; outputs_sums pkg)
  result=$(run c opf/content.opf opf/text/introduction.xhtml tmp2)
  [[ $result == "Not Support! 255" ]] || fail "an HTML output over a page of the package: $result"
  result=$(run c pkg/book.opf pkg/book_opf.html tmp3)
  [[ $result == "Not Support! 255" ]] || fail "an HTML output over the package's files folder: $result"
  [[ $(outputs_sums opf; outputs_sums pkg) == "$before" ]] || fail "a refused run changed files"
  [[ -z $(find opf pkg -name '.*.tmp') ]] || fail "staging left behind"
  grep -rq "belongs to the input book" --include='tmp3*' . || fail "the log does not say why"
  # The run's own TempDirectory inside the folder the output replaces.
  result=$(run c "$data/epub/qs-eng.epub" site.html site_files/tmp)
  [[ $result == "Not Support! 255" ]] || fail "an output over its own TempDirectory: $result"
  [[ -d site_files/tmp && ! -e site.html ]] || fail "the TempDirectory was removed or the output written"
}

# Two books converted to OPF in one folder share no file: the second leaves the first whole.
case_two_packages_in_one_folder_share_nothing() {
  local result
  result=$(run c "$data/epub/qs-eng.epub" shelf/a.opf tmp1)
  [[ $result == "succeed 0" ]] || fail "first book: result $result"
  local first; first=$(outputs_sums shelf)
  result=$(run c "$data/epub/policy.epub" shelf/b.opf tmp2)
  [[ $result == "succeed 0" ]] || fail "second book: result $result"
  [[ $(outputs_sums shelf | grep -v ' \./b\.opf\| \./b_opf_files/') == "$first" ]] ||
    fail "the second book changed the first"
  result=$(run c shelf/a.opf again.epub tmp3)
  [[ $result == "succeed 0" ]] || fail "the first package no longer reads: $result"
}

# On a full disk HTML, OPF and JSON output fail and leave the previous output exactly as it was,
# with no staging folder and no documents behind. Needs a small tmpfs (root).
case_full_disk_leaves_the_previous_output() {
  mkdir disk
  if ! mount -t tmpfs -o size=1m tmpfs disk 2>/dev/null; then
    echo "$current: skipped, no tmpfs could be mounted"
    return 0
  fi
  local format result before avail
  for format in html opf json; do
    result=$(run c "$data/epub/qs-eng.epub" "disk/out.$format" "tmp-$format")
    [[ $result == "succeed 0" ]] || fail "$format: first run $result"
  done
  before=$(outputs_sums disk)
  # Leave room for a little of the second run only, so it fails part of the way through.
  avail=$(df -B1 --output=avail disk | tail -n 1)
  head -c $((avail - 24576)) /dev/zero >disk/filler 2>/dev/null
  before=$(outputs_sums disk | grep -v ' \./filler')
  for format in html opf json; do
    result=$(run c "$data/epub/policy.epub" "disk/out.$format" "tmp2-$format")
    [[ $result != "succeed 0" ]] || fail "$format: a run on a full disk succeeded"
  done
  [[ $(outputs_sums disk | grep -v ' \./filler') == "$before" ]] || fail "the previous outputs changed"
  [[ -z $(find disk -name '.*.tmp*') ]] || fail "staging left behind: $(find disk -name '.*.tmp*' | head -n 3)"
  umount disk
}

# One name in several formats: each output keeps a folder of its own, so the last run spoils none.
case_outputs_of_one_name_in_several_formats_share_nothing() {
  local result format
  for format in html opf json; do
    result=$(run c "$data/epub/qs-eng.epub" "out.$format" "tmp-$format")
    [[ $result == "succeed 0" ]] || fail "$format: result $result"
  done
  [[ -d out_files && -d out_opf_files && -d out_json_files ]] || fail "the outputs share a folder"
  result=$(run c out.opf again.epub tmp-again)
  [[ $result == "succeed 0" ]] || fail "the package no longer reads after the JSON output: $result"
  grep -o 'out_files/[^"]*' out.html | sort -u | while read -r target; do
    [[ -e ${target%%#*} ]] || fail "out.html links to a missing $target"
  done
  return 0
}
