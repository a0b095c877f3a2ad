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
  echo "someone else's" | cmp -s - mine.epub || fail "mine.epub was replaced"
}

# A package whose manifest, spine, table of contents and links name files above the book, in
# every spelling (plain, percent-escaped, with backslashes) and a hidden name: the conversion
# succeeds or fails cleanly, and nothing appears outside the output and the TempDirectory.
case_names_leading_out_of_a_book_stay_inside() {
  mkdir -p work/deep && cd work/deep || return
  python3 - <<'PY'
from crafted_epub import package, write_epub
page = ('<?xml version="1.0" encoding="utf-8"?><html xmlns="http://www.w3.org/1999/xhtml">'
        '<head><title>t</title><link rel="stylesheet" href="../x.css"/></head><body><p>inside</p>'
        '<img src="%2e%2e/x.png"/><img src="a\\..\\..\\x.gif"/><a href="../x.html">x</a>'
        '<a href=".hidden.html">h</a><img src="../../../../../../../../tmp/x.jpg"/></body></html>')
opf = package("Paths", '''
<item id="p" href="page.xhtml" media-type="application/xhtml+xml"/>
<item id="up" href="../x.html" media-type="application/xhtml+xml"/>
<item id="esc" href="%2e%2e/%2e%2e/y.html" media-type="application/xhtml+xml"/>
<item id="bs" href="a\\..\\..\\z.html" media-type="application/xhtml+xml"/>
<item id="hid" href=".hidden.html" media-type="application/xhtml+xml"/>
<item id="css" href="../x.css" media-type="text/css"/>
<item id="img" href="%2e%2e/x.png" media-type="image/png"/>
<item id="ncx" href="../toc.ncx" media-type="application/x-dtbncx+xml"/>''',
              '''<itemref idref="up"/><itemref idref="esc"/><itemref idref="bs"/>
<itemref idref="hid"/><itemref idref="p"/>''')
ncx = ('<?xml version="1.0" encoding="utf-8"?><ncx xmlns="http://www.daisy.org/z3986/2005/ncx/" '
       'version="2005-1"><navMap><navPoint id="n1" playOrder="1"><navLabel><text>Out</text></navLabel>'
       '<content src="../../x.html"/></navPoint><navPoint id="n2" playOrder="2"><navLabel><text>In'
       '</text></navLabel><content src="page.xhtml"/></navPoint></navMap></ncx>')
write_epub('../../paths.epub', 'OEBPS/content.opf', {
    'OEBPS/content.opf': opf, 'OEBPS/page.xhtml': page,
    'OEBPS/.hidden.html': page.replace('inside', 'hidden'), 'toc.ncx': ncx,
    'x.html': page.replace('inside', 'top')})
PY
  cd ../.. || return
  [[ -s paths.epub ]] || { fail "no test book"; return; }
  local before after result
  before=$(find . -mindepth 1 | sort)
  result=$(cd work/deep && run c ../../paths.epub ../../out.epub ../../T)
  [[ $result == "succeed 0" || $result == *" 1" ]] || fail "result: $result"
  # The run log's folder lies beside the TempDirectory, where a run is meant to write it.
  after=$(find . -mindepth 1 | sort | grep -v -e '^\./\(T\|marlek_log\)\(/\|$\)' -e '^\./out\.epub$' \
    -e '^\./work/deep/\(out\|err\)\.txt$')
  [[ $after == "$before" ]] || fail "written outside the output: $(comm -13 <(echo "$before") <(echo "$after"))"
  if [[ $result == "succeed 0" ]]; then
    python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); bad = [n for n in z.namelist() if ".." in n.split("/") or n.startswith("/")]; sys.exit(1 if bad else 0)' out.epub ||
      fail "the output names a file above itself"
  fi
}

# A page whose href is escaped ("a%20b.xhtml" for "a b.xhtml") is repaired where it lies: the fix
# of a naked "&" reaches the book, and no second file under the escaped name appears.
case_escaped_page_is_repaired_in_place() {
  python3 - <<'PY'
from crafted_epub import package, write_epub
opf = package("Amp", '<item id="p" href="a%20b.xhtml" media-type="application/xhtml+xml"/>',
              '<itemref idref="p"/>', toc=False)
page = ('<?xml version="1.0" encoding="utf-8"?><html xmlns="http://www.w3.org/1999/xhtml">'
        '<head><title>t</title></head><body><p>Tom & Jerry</p></body></html>')
write_epub('amp.epub', 'OEBPS/content.opf', {'OEBPS/content.opf': opf, 'OEBPS/a b.xhtml': page})
PY
  local result
  result=$(run c amp.epub out.epub T)
  [[ $result == "succeed 0" ]] || { fail "result: $result"; return; }
  [[ -z $(find T -name '*%20*') ]] || fail "a file under the escaped name: $(find T -name '*%20*')"
  python3 -c 'import sys, zipfile
z = zipfile.ZipFile("out.epub")
pages = [z.read(n).decode() for n in z.namelist() if n.endswith("b.xhtml")]
sys.exit(0 if pages and all("Tom &amp; Jerry" in p for p in pages) else 1)' || fail "the naked & was not repaired in the book"
}
