# TarvoCmd's PDF helpers come only from its own helper folder: beside it in the build tree, in
# libexec/tarvo/ once installed. Programs and a style sheet of the same names in the working folder
# (or on PATH) are never used, and the real helpers still do the work.

# True when the real helpers can run here; otherwise the case says so and passes.
pdf_helpers_available() {
  local tool
  for tool in /usr/bin/pdftohtml /usr/bin/pdftotext /usr/bin/python3; do
    [[ -x $tool ]] || { echo "$current: skipped, $tool missing"; return 1; }
  done
  /usr/bin/python3 -c 'import weasyprint' 2>/dev/null || { echo "$current: skipped, no weasyprint"; return 1; }
}

# Plants a cov, a pdftohtml and a pdfmeta that leave a marker in the folder, and a fix.css that
# would hide every page's text.
plant_helpers() {
  local folder=$1 name
  for name in cov pdftohtml pdfmeta; do
    printf '#!/bin/sh\ntouch "%s/%s-ran"\nexit 0\n' "$folder" "$name" >"$folder/$name"
    chmod +x "$folder/$name"
  done
  echo 'body { display: none !important }' >"$folder/fix.css"
}

# EPUB to PDF and back through the TarvoCmd given, run in the working folder with "." first on PATH.
convert_both_ways() {
  local cmd=$1 result
  result=$(PATH=".:$PATH" tarvo=$cmd run c "$data/epub/qs-eng.epub" book.pdf tmp-out)
  [[ $result == "succeed 0" ]] || fail "EPUB to PDF with $cmd: $result"
  /usr/bin/pdftotext book.pdf - 2>/dev/null | grep -q "Quick Start" ||
    fail "the PDF has no text: the working folder's fix.css was used, or no PDF was written"
  result=$(PATH=".:$PATH" tarvo=$cmd run c "$data/pdf/qs-eng-calibre.pdf" back.epub tmp-in)
  [[ $result == "succeed 0" ]] || fail "PDF to EPUB with $cmd: $result"
  [[ -s back.epub ]] || fail "no EPUB from the PDF"
  result=$(PATH=".:$PATH" tarvo=$cmd run g book.pdf tmp-meta meta.json cover.jpg)
  [[ $result == "succeed 0" ]] || fail "g on the PDF with $cmd: $result"
  [[ -e cov-ran || -e pdftohtml-ran || -e pdfmeta-ran ]] && fail "a helper in the working folder ran: $(ls ./*-ran)"
  return 0
}

case_helpers_in_the_working_folder_are_never_used() {
  pdf_helpers_available || return 0
  plant_helpers "$PWD"
  convert_both_ways "$tarvo"
}

# A copy of the pdftohtml guard first on PATH, as an older install left it in bin/, is skipped for
# poppler's own.
case_pdftohtml_guard_on_path_is_not_taken_for_poppler() {
  pdf_helpers_available || return 0
  mkdir shadow
  cp "$(dirname "$tarvo")/pdftohtml" shadow/
  local result
  result=$(PATH="$PWD/shadow:$PATH" run c "$data/pdf/qs-eng-calibre.pdf" back.epub tmp)
  [[ $result == "succeed 0" ]] || fail "PDF to EPUB: $result"
}

# The installed layout: only TarvoCmd and tarvo-batch in bin/, the helpers in libexec/tarvo/, where
# the installed TarvoCmd finds them from any working folder.
case_installed_program_finds_its_helpers_in_libexec() {
  local build
  build=$(dirname "$tarvo")
  while [[ $build != / && ! -f $build/CMakeCache.txt ]]; do build=$(dirname "$build"); done
  [[ -f $build/CMakeCache.txt ]] || { echo "$current: skipped, $tarvo is not in a build tree"; return 0; }
  cmake --install "$build" --prefix "$PWD/prefix" >install.log 2>&1 || { fail "install: $(tail -n 3 install.log)"; return; }
  local bin libexec
  bin=$(cd prefix/bin && LC_ALL=C ls -A | tr '\n' ' ')
  [[ $bin == "TarvoCmd tarvo-batch " ]] || fail "bin/ holds: $bin"
  libexec=$(cd prefix/libexec/tarvo 2>/dev/null && LC_ALL=C ls -A | tr '\n' ' ')
  [[ $libexec == "cov fix.css pdfmeta pdftohtml " ]] || fail "libexec/tarvo/ holds: $libexec"
  pdf_helpers_available || return 0
  mkdir elsewhere && cd elsewhere || { fail "no folder elsewhere"; return; }
  plant_helpers "$PWD"
  convert_both_ways "$(dirname "$PWD")/prefix/bin/TarvoCmd"
}
