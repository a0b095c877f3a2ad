#!/usr/bin/env python3
"""tarvo-batch's own logic, without GNU parallel: which files under SRC are books, and how a book
whose TarvoCmd could not start is told from one that failed.
Usage: batch-unit.py TARVO_BATCH"""

import importlib.machinery
import importlib.util
import os
import sys
import tempfile
import unittest
from unittest import mock

BATCH_PATH = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "src/batch/tarvo-batch")
loader = importlib.machinery.SourceFileLoader("tarvo_batch", BATCH_PATH)
batch = importlib.util.module_from_spec(importlib.util.spec_from_loader("tarvo_batch", loader))
loader.exec_module(batch)

EXTENSIONS = set(batch.READ_EXTENSIONS)


def package(*hrefs, media="application/xhtml+xml"):
    items = "".join('<item id="i%d" href="%s" media-type="%s"/>' % (n, href, media)
                    for n, href in enumerate(hrefs))
    return ('<?xml version="1.0"?><package xmlns="http://www.idpf.org/2007/opf" version="2.0">'
            '<metadata/><manifest>%s</manifest><spine/></package>' % items)


def container(full_path):
    return ('<container version="1.0"><rootfiles><rootfile full-path="%s" '
            'media-type="application/oebps-package+xml"/></rootfiles></container>' % full_path)


# The metadata.opf a library manager keeps beside each book: metadata and a cover, no pages.
METADATA_OPF = ('<package version="2.0"><metadata><dc:title>T</dc:title></metadata><guide>'
                '<reference type="cover" href="cover.jpg"/></guide></package>')

# (what, files under SRC, extensions, books, output stem of each book, stray pages)
SURVEYS = [
    ("an unpacked EPUB with its package at the top of its folder",
     {"shelf/qs/content.opf": package("text/a.xhtml", "text/b.xhtml", "style.css"),
      "shelf/qs/text/a.xhtml": "", "shelf/qs/text/b.xhtml": "", "shelf/qs/style.css": "",
      "shelf/qs/mimetype": "", "shelf/other.epub": ""},
     EXTENSIONS, ["shelf/other.epub", "shelf/qs/content.opf"],
     {"shelf/qs/content.opf": "shelf/qs", "shelf/other.epub": "shelf/other"}, {}),
    ("a package below its folder, found through META-INF/container.xml",
     {"fra/META-INF/container.xml": container("OEBPS/content.opf"),
      "fra/OEBPS/content.opf": package("ch%201.xhtml", "../notes.html"),
      "fra/OEBPS/ch 1.xhtml": "", "fra/notes.html": ""},
     EXTENSIONS, ["fra/OEBPS/content.opf"], {"fra/OEBPS/content.opf": "fra"}, {}),
    ("two packages in one folder, with an unlisted page and a whole book beside them",
     {"pair/a.opf": package("a1.html"), "pair/b.opf": package("b1.html", "sub/b2.html"),
      "pair/a1.html": "", "pair/b1.html": "", "pair/sub/b2.html": "",
      "pair/left-out.html": "", "pair/sub/also.htm": "", "pair/readme.txt": "",
      "pair/zipped.epub": ""},
     EXTENSIONS, ["pair/a.opf", "pair/b.opf", "pair/readme.txt", "pair/zipped.epub"],
     {"pair/a.opf": "pair/a", "pair/b.opf": "pair/b", "pair/readme.txt": "pair/readme"},
     {"pair/left-out.html": "pair", "pair/sub/also.htm": "pair"}),
    ("a library manager's folder: metadata.opf is no book, the book beside it is",
     {"Author/Title (12)/metadata.opf": METADATA_OPF, "Author/Title (12)/Title.epub": "",
      "Author/Title (12)/Title.html": ""},
     EXTENSIONS, ["Author/Title (12)/Title.epub", "Author/Title (12)/Title.html"], {}, {}),
    ("a package that is SRC itself is named after SRC",
     {"content.opf": package("index.html"), "index.html": ""},
     EXTENSIONS, ["content.opf"], {"content.opf": "SRC"}, {}),
    ("pages of a package stay out even when .opf is not among the extensions taken",
     {"qs/content.opf": package("a.xhtml"), "qs/a.xhtml": "", "loose.xhtml": ""},
     {"xhtml"}, ["loose.xhtml"], {"loose.xhtml": "loose"}, {}),
    ("a package whose manifest is not well-formed XML still lists its pages",
     {"odd/book.opf": "<package><manifest><item href='p&amp;q.html' media-type='text/html'>"
                      "<dc:title>a < b</dc:title><item href=\"r.html\" media-type=\"text/html\">",
      "odd/p&q.html": "", "odd/r.html": ""},
     EXTENSIONS, ["odd/book.opf"], {"odd/book.opf": "odd"}, {}),
]


class SurveyTest(unittest.TestCase):
    def test_books_outputs_and_strays(self):
        for what, files, extensions, books, stems, strays in SURVEYS:
            with self.subTest(what), tempfile.TemporaryDirectory() as top:
                source = os.path.join(top, "SRC")
                for name, text in files.items():
                    os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
                    with open(os.path.join(source, name), "w", encoding="utf-8") as stream:
                        stream.write(text)
                library = batch.Library.survey(source, extensions, set())
                self.assertEqual(sorted(library.books), sorted(books))
                for book, stem in stems.items():
                    self.assertEqual(library.output_stem(book), stem, book)
                self.assertEqual(library.strays, strays)
                # A resumed batch rebuilds the library from its plan: the same names follow.
                again = batch.Library(library.books, library.packages, library.strays)
                for book in books:
                    self.assertEqual(again.output_of(book, "epub"),
                                     library.output_of(book, "epub"))
                    self.assertEqual(again.staged_target(book), library.staged_target(book))

    def test_staged_name_is_the_output_name(self):
        # The job names its output after the first name below its staging folder.
        with tempfile.TemporaryDirectory() as top:
            staging = os.path.join(top, "in", "7")
            os.makedirs(os.path.join(staging, "my.book", "OEBPS"))
            open(os.path.join(staging, "a.b.epub"), "w").close()
            for staged, name in [("a.b.epub", "a.b"), ("my.book/OEBPS/content.opf", "my.book")]:
                self.assertEqual(batch.output_name(os.path.join(staging, staged), staging), name)


# (what, the stand-in's script, the code the batch records)
RUNS = [
    ("a program the shell cannot find", 'exec /nonexistent/TarvoCmd "$@"', batch.SETUP_FAILED),
    ("a program that is not executable", "exec /dev/null", batch.SETUP_FAILED),
    ("a result whose low byte is 127 is the book's",
     "echo 'Some failure'; echo 'return 83951743'; exit 127", 83951743),
    ("a crash is the book's", "kill -SEGV $$", -1),
    ("an exit without a result line is the book's", "exit 3", -1),
    ("a conversion", "echo succeed; echo 'return 0'", 0),
]


class RunTest(unittest.TestCase):
    def test_setup_failures_are_told_from_book_failures(self):
        for what, body, code in RUNS:
            with self.subTest(what), tempfile.TemporaryDirectory() as folder:
                stand_in = os.path.join(folder, "TarvoCmd")
                with open(stand_in, "w") as stream:
                    stream.write("#!/bin/bash\n" + body + "\n")
                os.chmod(stand_in, 0o755)
                with mock.patch.dict(os.environ, TARVO_CMD=stand_in):
                    result = batch.run_tarvo(["c", "in.epub", "out.epub", "tmp"], None)
                self.assertEqual(result[0], code)

    def test_setup_rows_of_any_run_are_retried(self):
        for code, message, setup in [
                ("-2", "TarvoCmd could not be started (exit 127)", True),
                ("-1", "TarvoCmd could not be started: No such file or directory", True),
                ("-1", "timed out (limit 6 s)", False),
                ("127", "Some failure", False)]:
            with self.subTest(code=code, message=message):
                self.assertEqual(batch.is_setup_failure(code, message), setup)


if __name__ == "__main__":
    unittest.main()
