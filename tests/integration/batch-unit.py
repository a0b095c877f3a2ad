#!/usr/bin/env python3
"""tarvo-batch's own logic, without GNU parallel: which files under SRC are books, which output
each one gets, how results.tsv keeps any name, how a book whose TarvoCmd could not start is told
from one that failed, the locks, and that a stopped book leaves no process behind.
Usage: batch-unit.py TARVO_BATCH"""

import argparse
import contextlib
import importlib.machinery
import importlib.util
import io
import json
import os
import random
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

BATCH_PATH = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else "src/batch/tarvo-batch")
loader = importlib.machinery.SourceFileLoader("tarvo_batch", BATCH_PATH)
batch = importlib.util.module_from_spec(importlib.util.spec_from_loader("tarvo_batch", loader))
loader.exec_module(batch)

# What a TarvoCmd answers to --facts, in the parts the batch uses.
FACTS = {"version": "0", "reads": ["azw", "azw3", "azw4", "epub", "htm", "html", "htmlz", "mobi",
                                   "opf", "pdf", "prc", "shtml", "txt", "xhtml"],
         "writes": ["epub", "mobi", "azw", "azw3", "html", "opf", "txt", "json", "pdf"],
         "companion_folder": ["html", "json", "opf"],
         "companion_folder_name": {"html": "{name}_files", "json": "{name}_json_files",
                                   "opf": "{name}_opf_files"},
         "refused": ["azw1", "topaz", "tpz"], "cover_types": ["jpg", "png", "gif", "bmp"],
         "notices": {"65537": "Have Kindle DRM!", "131073": "AZW4 file, unpack to pdf file"},
         "drm": {"65537": "Kindle"}}
EXTENSIONS = set(FACTS["reads"] + FACTS["refused"])


def make_tree(top, files):
    for name, text in files.items():
        path = os.path.join(top, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as stream:
            stream.write(text)


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
                make_tree(source, files)
                library = batch.Library.survey(source, extensions, set())
                self.assertEqual(sorted(library.books), sorted(books))
                for book, stem in stems.items():
                    self.assertEqual(library.output_stem(book), stem, book)
                self.assertEqual(library.strays, strays)
                # A resumed batch rebuilds the library from its plan: the same names follow.
                again = batch.Library(library.books, library.packages, library.strays)
                for book in books:
                    self.assertEqual(again.output_stem(book), library.output_stem(book))
                    self.assertEqual(again.source_name(book), library.source_name(book))
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


NOT_UTF8 = os.fsdecode(b"caf\xe9 \xff\xfe")   # a Latin-1 name, as old archives hold

# (what, files under SRC, format, books' outputs from the last run, expected outputs)
NAMINGS = [
    ("two books of one stem: the first in byte order keeps the plain name",
     ["sub/same.mobi", "sub/same.epub"], "epub", None,
     {"sub/same.epub": "sub/same.epub", "sub/same.mobi": "sub/same.mobi.epub"}),
    ("a package folder beside a book of its name: the name form is taken too, so a counter",
     ["shelf/qs/content.opf", "shelf/qs.epub"], "epub", None,
     {"shelf/qs.epub": "shelf/qs.epub", "shelf/qs/content.opf": "shelf/qs (2).epub"}),
    ("names that differ only in case are one name on FAT and exFAT",
     ["a.txt", "A.txt", "a.TXT", "Sub/b.txt", "sub/b.mobi"], "epub", None,
     {"A.txt": "A.epub", "a.TXT": "a.TXT.epub", "a.txt": "a.txt (2).epub",
      "Sub/b.txt": "Sub/b.epub", "sub/b.mobi": "sub/b.mobi.epub"}),
    ("a counter when the file name form is another book's plain name; a real name of the "
     "counter's form comes later in byte order and yields",
     ["B.txt.mobi", "b.epub", "b.txt", "b.txt (2).mobi"], "epub", None,
     {"B.txt.mobi": "B.txt.epub", "b.epub": "b.epub", "b.txt": "b.txt (2).epub",
      "b.txt (2).mobi": "b.txt (2).mobi.epub"}),
    ("a page's _files folder may not hold another book's output",
     ["x.epub", "x_files/y.txt"], "html", None,
     {"x.epub": "x.epub.html", "x_files/y.txt": "x_files/y.html"}),
    ("two pages of one stem get two _files folders",
     ["p.epub", "P.mobi"], "html", None, {"P.mobi": "P.html", "p.epub": "p.epub.html"}),
    ("each format's folder by its own name",
     ["x.epub", "x_json_files/y.txt", "x_files/z.txt"], "json", None,
     {"x.epub": "x.epub.json", "x_json_files/y.txt": "x_json_files/y.json",
      "x_files/z.txt": "x_files/z.json"}),
    ("an output may not take the name of a folder other outputs lie in",
     ["a.epub", "a.txt/b.epub"], "txt", None, {"a.epub": "a.epub.txt", "a.txt/b.epub": "a.txt/b.txt"}),
    ("the batch's own names at the top of DST are never an output",
     ["results.mobi", "deeper/results.mobi"], "tsv", None,
     {"results.mobi": "results.mobi.tsv", "deeper/results.mobi": "deeper/results.tsv"}),
    ("a book added beside one converted before does not take its output",
     ["same.mobi", "same.epub"], "epub", {"same.mobi": "same.epub"},
     {"same.mobi": "same.epub", "same.epub": "same.epub.epub"}),
    ("a counter given before is kept",
     ["n.epub", "n.mobi", "N.mobi"], "epub", {"n.mobi": "n.mobi (2).epub"},
     {"n.mobi": "n.mobi (2).epub", "N.mobi": "N.epub", "n.epub": "n.epub.epub"}),
    ("an earlier output that is not one of the book's names is not kept",
     ["same.mobi"], "epub", {"same.mobi": "../elsewhere.epub"}, {"same.mobi": "same.epub"}),
    ("names that are not UTF-8 are names like any other",
     [NOT_UTF8 + ".txt", NOT_UTF8 + ".mobi"], "epub", None,
     {NOT_UTF8 + ".mobi": NOT_UTF8 + ".epub", NOT_UTF8 + ".txt": NOT_UTF8 + ".txt.epub"}),
]


class NamingTest(unittest.TestCase):
    def test_every_book_gets_an_output_of_its_own(self):
        for what, names, extension, previous, expected in NAMINGS:
            with self.subTest(what), tempfile.TemporaryDirectory() as top:
                source = os.path.join(top, "SRC")
                files = {name: "" for name in names}
                for name in names:
                    if name.endswith(".opf"):
                        files[name] = package("a.xhtml")
                        files[os.path.join(os.path.dirname(name), "a.xhtml")] = ""
                make_tree(source, {os.fsencode(k).decode("utf-8", "surrogateescape"): v
                                   for k, v in files.items()})
                library = batch.Library.survey(source, EXTENSIONS, set())
                self.assertEqual(sorted(library.books), sorted(names))
                books = list(library.books)
                random.shuffle(books)   # the order found on disk does not matter
                outputs = batch.assign_outputs(library, books, extension,
                                               batch.Facts(FACTS).companion.get(extension),
                                               previous, ["results.tsv", ".tarvo-batch"])
                self.assertEqual(outputs, expected)
                # The job names the output after the name it is given.
                for book, output in outputs.items():
                    staging = os.path.join(top, "in", str(abs(hash(book))))
                    os.makedirs(staging)
                    staged = os.path.join(staging, library.staged_name(book, output))
                    os.symlink(os.path.join(source, library.staged_target(book)[0]), staged)
                    self.assertEqual(batch.output_name(staged, staging) + "." + extension,
                                     os.path.basename(output), book)

    def test_many_books_of_one_name_stay_linear(self):
        # Every case variant of one stem: each takes a counter, none tries all the others.
        names = ["%s.txt" % "".join(c.upper() if n >> i & 1 else c for i, c in enumerate("abcdefghijk"))
                 for n in range(2048)]
        library = batch.Library(names)
        started = time.monotonic()
        outputs = batch.assign_outputs(library, names, "epub", False)
        self.assertEqual(len({batch.fold(o) for o in outputs.values()}), len(names))
        self.assertLess(time.monotonic() - started, 2 * float(os.environ.get("TARVO_TIME_SCALE", 1)))

    def test_names_that_cannot_be_passed_or_written(self):
        with tempfile.TemporaryDirectory() as top:
            source, destination = os.path.join(top, "SRC"), os.path.join(top, "DST")
            long_name = "l" * 251   # fits as .txt, not as .epub
            make_tree(source, {"a\\b.txt": "", "pk\\g/content.opf": package("a.xhtml"),
                               "pk\\g/a.xhtml": "", "fine\\folder/c.txt": "",
                               long_name + ".txt": "", long_name[1:] + ".txt": ""})
            converter = make_batch(source, destination, "epub")
            plan = converter.plan(set())
            self.assertEqual(sorted(plan["refused"]),
                             ["a\\b.txt", long_name + ".txt", "pk\\g/content.opf"])
            self.assertIn("backslash", plan["refused"]["a\\b.txt"])
            self.assertIn("longer than 255 bytes", plan["refused"][long_name + ".txt"])
            self.assertEqual(sorted(plan["jobs"]), ["fine\\folder/c.txt", long_name[1:] + ".txt"])
            self.assertEqual(plan["outputs"]["fine\\folder/c.txt"], "fine\\folder/c.epub")
            # TarvoCmd writes into the work folder: one whose path holds a backslash stops all.
            for output, work in ((top + "/D\\ST", None), (destination, top + "/W\\ORK")):
                with self.assertRaises(SystemExit), contextlib.redirect_stderr(io.StringIO()):
                    make_batch(source, output, "epub", work=work)


def make_batch(source, destination, to, **options):
    arguments = dict(source=source, destination=destination, to=to, work=None, resume=False,
                     force=False, retry_failed=False, extensions=",".join(FACTS["reads"]),
                     job="convert", rest=[])
    arguments.update(options)
    return batch.ConvertBatch(argparse.Namespace(**arguments), batch.Facts(FACTS))


class ResumeTest(unittest.TestCase):
    def test_a_resumed_batch_reads_back_what_was_planned(self):
        with tempfile.TemporaryDirectory() as top:
            source, destination = os.path.join(top, "SRC"), os.path.join(top, "DST")
            make_tree(source, {"same.epub": "", "same.mobi": "", "a\\b.txt": "",
                               "tab\there.txt": "", "line\nbreak.txt": "",
                               "pkg/content.opf": package("a.xhtml"), "pkg/a.xhtml": ""})
            os.makedirs(os.path.join(source, os.fsdecode(b"\xff\xfe")))
            open(os.path.join(source, os.fsdecode(b"\xff\xfe/caf\xe9.txt")), "w").close()
            first = make_batch(source, destination, "epub")
            plan = first.plan(set())
            self.assertEqual(len(plan["jobs"]), 6)
            again = make_batch(source, destination, "epub", resume=True)
            self.assertEqual(again.plan(set()), plan)
            self.assertEqual(again.outputs, first.outputs)
            self.assertEqual(again.refused, first.refused)
            for number, book in enumerate(plan["jobs"], 1):
                argument = again.staged_argument(number, book)
                self.assertEqual(argument, first.staged_argument(number, book))
                self.assertTrue(os.path.exists(argument.replace("/./", "/")), book)
            with self.assertRaises(SystemExit):   # another format is another batch
                with contextlib.redirect_stderr(io.StringIO()):
                    make_batch(source, destination, "txt", resume=True).plan(set())

    def test_up_to_date_only_by_the_last_runs_outputs(self):
        with tempfile.TemporaryDirectory() as top:
            source, destination = os.path.join(top, "SRC"), os.path.join(top, "DST")
            make_tree(source, {"same.mobi": ""})
            make_tree(destination, {"same.epub": "the mobi's book"})
            batch.write_table(os.path.join(destination, "results.tsv"),
                              [("same.mobi", "same.epub", 0, "succeed", 1, 1)])
            later = time.time() + 10
            os.utime(os.path.join(destination, "same.epub"), (later, later))
            make_tree(source, {"same.epub": ""})
            plan = make_batch(source, destination, "epub").plan(set())
            # same.epub sorts first, but same.mobi keeps its output; same.epub is new and runs.
            self.assertEqual(plan["outputs"], {"same.mobi": "same.epub",
                                               "same.epub": "same.epub.epub"})
            self.assertEqual((plan["jobs"], plan["skipped"]), (["same.epub"], ["same.mobi"]))


# (what, cells of a row)
TABLE_ROWS = [
    ("plain", ["shelf/book.epub", "shelf/book.azw3", "0", "succeed", "1.5", "2048"]),
    ("tab, newline, carriage return", ["a\tb\nc\rd.txt", "a\tb\nc\rd.epub", "0", "", "", ""]),
    ("backslashes, also before letters of escapes", ["\\x41\\t\\\\.txt", "\\", "-1", "\\n", "", ""]),
    ("bytes that are not UTF-8", [os.fsdecode(b"\xff\xfe.txt"), os.fsdecode(b"caf\xe9.epub"),
                                  "0", "", "", ""]),
    ("UTF-8 as it is", ["日本語/été.txt", "日本語/été.epub", "0", "", "", ""]),
]


class TableTest(unittest.TestCase):
    def test_any_name_round_trips(self):
        with tempfile.TemporaryDirectory() as top:
            path = os.path.join(top, "results.tsv")
            batch.write_table(path, [row for _, row in TABLE_ROWS])
            with open(path, "rb") as stream:
                raw = stream.read()
            raw.decode("utf-8")   # a table any reader takes
            self.assertEqual(raw.count(b"\n"), len(TABLE_ROWS) + 1)
            self.assertNotIn(b"\r", raw)
            self.assertIn(b"\\xff\\xfe.txt", raw)
            for (what, row), read in zip(TABLE_ROWS, batch.read_table(path)):
                self.assertEqual(read, row, what)


# (what, TarvoCmd's standard output, code, message)
RESULT_LINES = [
    ("the last two lines", "Start Convert\nProcessed 10%\nsucceed\nreturn 0\n", 0, "succeed"),
    ("CR LF line ends", "Have Kindle DRM!\r\nreturn 65537\r\n", 65537, "Have Kindle DRM!"),
    ("a code above 31 bits", "BAD Book\nreturn 3221225473\n", 3221225473, "BAD Book"),
    ("a negative code as unsigned", "x\nreturn -1\n", 0xFFFFFFFF, "x"),
    ("the last result line counts", "a\nreturn 1\nb\nreturn 2\ntrailing\n", 2, "b"),
    ("a result line alone", "return 7\n", 7, ""),
    ("no result line", "Processed 10%\n", -1, "no result line from TarvoCmd"),
    ("a result line that is no number", "x\nreturn lots\n", -1, "no result line from TarvoCmd"),
]


class ResultLineTest(unittest.TestCase):
    def test_result_lines(self):
        for what, stdout, code, message in RESULT_LINES:
            with self.subTest(what):
                self.assertEqual(batch.parse_result_lines(stdout), (code, message))


class FactsTest(unittest.TestCase):
    def test_answers(self):
        broken = [("not JSON", "usage: TarvoCmd ..."), ("not an object", "[]"),
                  ("no reads", json.dumps(dict(FACTS, reads=[]))),
                  ("writes not a list", json.dumps(dict(FACTS, writes="epub"))),
                  ("a code that is no number", json.dumps(dict(FACTS, drm={"x": "y"}))),
                  ("no notices", json.dumps({k: v for k, v in FACTS.items() if k != "notices"})),
                  ("a folder name that leaves the output's folder",
                   json.dumps(dict(FACTS, companion_folder_name={"html": "../{name}"}))),
                  ("a folder name without the output's name",
                   json.dumps(dict(FACTS, companion_folder_name={"html": "files"})))]
        for what, text in broken:
            with self.subTest(what), self.assertRaises((ValueError, KeyError, TypeError)):
                batch.Facts.parse(text)
        facts = batch.Facts.parse(json.dumps(FACTS))
        self.assertEqual((facts.drm.keys(), facts.notices.keys()), ({65537}, {65537, 131073}))

    def test_command_line_checked_against_facts(self):
        facts = batch.Facts(FACTS)
        for to, extensions, refused, effective in [
                ("epub", None, None, ",".join(FACTS["reads"] + FACTS["refused"])),
                ("epub", "tpz", None, "tpz"),
                ("EPUB", ".Mobi,txt", None, "mobi,txt"),
                ("docx", None, "--to docx: TarvoCmd writes epub, mobi", None),
                ("epub", "mobi,doc", "--extensions: TarvoCmd does not read doc; it reads azw, azw3", None)]:
            with self.subTest(to=to, extensions=extensions):
                options = batch.parse_arguments(["convert", "S", "D", "--to", to] +
                                                (["--extensions", extensions] if extensions else []))
                stderr = io.StringIO()
                with contextlib.redirect_stderr(stderr):
                    try:
                        batch.check_against_facts(options, facts)
                        status = 0
                    except SystemExit as stop:
                        status = stop.code
                if refused:
                    self.assertEqual(status, 2)
                    self.assertIn(refused, stderr.getvalue())
                else:
                    self.assertEqual((status, options.extensions), (0, effective))


LOCK_HOLDER = """
import fcntl, os, sys, time
handle = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT)
fcntl.flock(handle, fcntl.LOCK_EX)
os.write(handle, b"4242\\n")
print("held", flush=True)
time.sleep(60)
"""


class LockTest(unittest.TestCase):
    def take(self, path):
        stderr = io.StringIO()
        with contextlib.redirect_stderr(stderr):
            try:
                return batch.take_lock(path, "DST /x"), ""
            except SystemExit as stop:
                self.assertEqual(stop.code, 2)
                return None, stderr.getvalue()

    def test_taken_refused_and_stale(self):
        with tempfile.TemporaryDirectory() as top:
            path = os.path.join(top, ".tarvo-batch.lock")
            with open(path, "w") as stream:
                stream.write("999999\n")   # a batch that died
            handle, _ = self.take(path)
            self.assertIsNotNone(handle)
            with open(path) as stream:
                self.assertEqual(stream.read(), "%d\n" % os.getpid())
            os.close(handle)

            holder = subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, path],
                                      stdout=subprocess.PIPE)
            try:
                self.assertEqual(holder.stdout.readline(), b"held\n")
                handle, message = self.take(path)
                self.assertIsNone(handle)
                self.assertIn("DST /x is in use by another batch (pid 4242", message)
            finally:
                holder.kill()
                holder.wait()
                holder.stdout.close()
            handle, _ = self.take(path)   # the holder is gone: its flock with it
            self.assertIsNotNone(handle)
            os.close(handle)

            os.symlink(os.path.join(top, "elsewhere"), os.path.join(top, "link.lock"))
            handle, message = self.take(os.path.join(top, "link.lock"))
            self.assertIsNone(handle)
            self.assertIn("cannot lock", message)
            self.assertFalse(os.path.exists(os.path.join(top, "elsewhere")))


def leftovers(marker):
    return subprocess.run(["pgrep", "-f", marker], stdout=subprocess.PIPE).stdout.split()


class StopTest(unittest.TestCase):
    """A helper of TarvoCmd stays in its process group: whatever stops the book stops it too."""

    def stand_in(self, folder, marker, last):
        program = os.path.join(folder, "TarvoCmd")
        with open(program, "w") as stream:
            # The helper's command line holds the marker; exec -a names it so.
            stream.write('#!/bin/bash\n(exec -a "%s" sleep 60) &\n%s\n' % (marker, last))
        os.chmod(program, 0o755)
        return program

    def test_no_helper_outlives_its_book(self):
        for what, last, timeout, code in [("timed out", "sleep 60", 2, -1),
                                          ("crashed", "kill -SEGV $$", None, -1),
                                          ("finished", "echo done; echo 'return 0'", None, 0)]:
            with self.subTest(what), tempfile.TemporaryDirectory() as folder:
                marker = "tarvo-unit-helper-%d-%s" % (os.getpid(), what.replace(" ", "-"))
                with mock.patch.dict(os.environ, TARVO_CMD=self.stand_in(folder, marker, last)):
                    result = batch.run_tarvo(["c", "in.txt", "out.epub", "tmp"], timeout)
                self.assertEqual(result[0], code)
                self.assertEqual(leftovers(marker), [])

    def test_a_stopped_job_stops_its_book(self):
        for stopping in ("TERM", "INT", "HUP"):
            with self.subTest(stopping), tempfile.TemporaryDirectory() as folder:
                marker = "tarvo-unit-job-%d-%s" % (os.getpid(), stopping)
                book = os.path.join(folder, "stage", "in", "1", "b.txt")
                os.makedirs(os.path.dirname(book))
                open(book, "w").close()
                environment = dict(os.environ, TARVO_CMD=self.stand_in(folder, marker, "sleep 60"))
                job = subprocess.Popen(
                    [sys.executable, BATCH_PATH, "job", "convert", "--format", "epub", "--number",
                     "1", os.path.join(folder, "stage", ".", "in", "1", "b.txt")],
                    env=environment)
                for _ in range(100):
                    if leftovers(marker):
                        break
                    time.sleep(0.05)
                self.assertNotEqual(leftovers(marker), [])
                job.send_signal(getattr(__import__("signal"), "SIG" + stopping))
                self.assertNotEqual(job.wait(timeout=10), 0)
                self.assertEqual(leftovers(marker), [])


# (what, stand-in's last line, --success-codes, job exit, cover as named)
JOBS = [
    ("a conversion", "echo succeed; echo 'return 0'", "", 0, None),
    ("a notice the master counts as success", "echo AZW4; echo 'return 131073'", "65537,131073", 0,
     None),
    ("a notice the master did not name", "echo AZW4; echo 'return 131073'", "65537", 1, None),
    ("an error", "echo BAD; echo 'return 117440513'", "65537,131073", 1, None),
]


class JobTest(unittest.TestCase):
    def test_exit_status_from_the_masters_codes(self):
        for what, last, success, status, _ in JOBS:
            with self.subTest(what), tempfile.TemporaryDirectory() as folder:
                program = os.path.join(folder, "TarvoCmd")
                with open(program, "w") as stream:
                    stream.write("#!/bin/bash\n%s\n" % last)
                os.chmod(program, 0o755)
                book = os.path.join(folder, "stage", "in", "1", "b.txt")
                os.makedirs(os.path.dirname(book))
                open(book, "w").close()
                options = batch.parse_arguments(
                    ["job", "convert", "--format", "epub", "--number", "1", "--success-codes",
                     success, os.path.join(folder, "stage", ".", "in", "1", "b.txt")])
                with mock.patch.dict(os.environ, TARVO_CMD=program):
                    self.assertEqual(batch.job_main(options), status)

    def test_job_command_line_read_as_argparse_reads_it(self):
        # The job's quick reader either agrees with argparse on every field or leaves the line
        # to argparse; None marks lines it must leave.
        book = "/w/stage/./in/7/b.txt"
        lines = [
            (["job", "convert", "--format", "epub", "--success-codes", "65537,131073",
              "--number", "7", book, "--"], True),
            (["job", "catalogue", "--format", "json", "--success-codes", "", "--book-timeout",
              "30", "--number", "7", book, "--", "--pass", "-x"], True),
            (["job", "convert", "--format", "epub", "--number", "7", book], True),
            (["job", "convert", "--format=epub", "--number", "7", book], False),
            (["job", "convert", "--number", "7", "--format", "epub", book, "extra"], False),
            (["job", "convert", "--number", "7", book], False),
            (["job", "convert", "--format", "epub", "--number", "7", "--book-timeout", "x", book],
             False),
            (["convert", "src", "dst", "--to", "epub"], False),
        ]
        fields = ("job", "kind", "number", "format", "book_timeout", "success_codes", "book",
                  "rest")
        for argv, quick in lines:
            with self.subTest(argv=argv):
                read = batch.parse_job_arguments(argv)
                self.assertEqual(read is not None, quick)
                if read is not None:
                    expected = batch.parse_arguments(argv)
                    self.assertEqual([getattr(read, f) for f in fields],
                                     [getattr(expected, f) for f in fields])

    def test_cover_named_by_its_type(self):
        for metadata, name in [({"coverimageext": "png"}, "cover.png"), ({}, "cover.bin"),
                               ({"coverimageext": "../x"}, "cover.bin"), (None, "cover.bin")]:
            with self.subTest(metadata=metadata), tempfile.TemporaryDirectory() as folder:
                cover = os.path.join(folder, "cover")
                open(cover, "w").close()
                self.assertEqual(batch.name_cover(cover, metadata), name)
                self.assertTrue(os.path.exists(os.path.join(folder, name)))
        self.assertIsNone(batch.name_cover(os.path.join(folder, "none"), {}))


if __name__ == "__main__":
    unittest.main()
