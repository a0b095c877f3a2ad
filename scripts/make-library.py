#!/usr/bin/env python3
"""Writes a library of COUNT small books under FOLDER for trying tarvo-batch at scale, copied from a
few real books in tests/data under varied names and folders: EPUB, HTMLZ, MOBI, AZW3, text and page
books, with about one in fifty refused for DRM and one in a hundred damaged.

  make-library.py COUNT FOLDER [--hostile] [--data DIR] [--manifest FILE] [--seed N]

--hostile adds the books a real library trips a batch with: books of one stem in one folder
(same.epub, same.mobi, SAME.azw3), an unpacked package folder beside an EPUB of its name, file and
folder names that are not UTF-8 (bytes ff fe, latin-1), names with a newline, a tab, quotes, a
leading "-", a backslash or shell syntax, an empty book, and one PDF, which hangs once the check
puts a hanging pdftohtml first on PATH. They count towards COUNT.

The manifest (default FOLDER.manifest.json, outside the library) lists every book once: its path
below FOLDER as hex bytes (any name survives), as text with undecodable bytes escaped, and what the
batch should make of it: ok, drm, damaged or refused (both fail) or hang.
"""

import argparse
import io
import json
import os
import random
import sys
import zipfile

EPUB = "epub/qs-eng.epub"
PDF = "pdf/qs-eng-calibre.pdf"
EMPTY = "(empty)"
DRM_EPUB = "(qs-eng.epub encrypted)"
# (tests/data file, extension in the library, kind, weight among the plain books)
TEMPLATES = [
    ("epub/qs-eng.epub", "epub", "ok", 30),
    ("mobi/qs-eng-mobi6.mobi", "mobi", "ok", 15),
    ("mobi/qs-eng-kf8.azw3", "azw3", "ok", 15),
    ("epub/qs-eng.htmlz", "htmlz", "ok", 8),
    ("text/fr-cp1252-crlf.txt", "txt", "ok", 12),
    ("text/en-utf8.txt", "txt", "ok", 5),
    ("ebook/qs-introduction.xhtml", "xhtml", "ok", 5),
    ("ebook/qs-task-2-conversion.xhtml", "html", "ok", 7),
    ("mobi/bad-encryption2.mobi", "mobi", "drm", 1),
    (DRM_EPUB, "epub", "drm", 1),
    ("mobi/bad-truncated-half.mobi", "mobi", "damaged", 1),
]
AUTHORS = ["Ahlberg", "Okonkwo", "Nakamura", "Lindqvist", "Moreau", "Petrov", "Quispe", "Haddad",
           "Van der Berg", "O'Neill", "Żukowski", "García Márquez", "Šimek", "Sørensen"]
WORDS = ["river", "night", "glass", "winter", "garden", "letters", "harbour", "stone", "empire",
         "silence", "orchard", "machine", "north", "salt", "lantern", "mirror"]
BOOKS_PER_FOLDER = 25


def hostile_books():
    """(path below the library as bytes, template or None for a package, kind): the names and
    layouts that have lost books or batches before."""
    text, mobi, azw3 = "text/fr-cp1252-crlf.txt", "mobi/qs-eng-mobi6.mobi", "mobi/qs-eng-kf8.azw3"
    return [
        # One stem, one folder: their outputs would all be same.epub (or SAME.epub).
        (b"0-hostile/same/same.epub", EPUB, "ok"),
        (b"0-hostile/same/same.mobi", mobi, "ok"),
        (b"0-hostile/same/SAME.azw3", azw3, "ok"),
        (b"0-hostile/same/same.txt", text, "ok"),
        # A package folder and the EPUB it was unpacked from, both named qs.
        (b"0-hostile/unpacked/qs.epub", EPUB, "ok"),
        (b"0-hostile/unpacked/qs/content.opf", None, "ok"),
        # Names no text encoding holds, in a file and in a folder.
        (b"0-hostile/bytes/\xff\xfe.epub", EPUB, "ok"),
        (b"0-hostile/bytes/caf\xe9.mobi", mobi, "ok"),
        (b"0-hostile/bytes/caf\xc3\xa9.mobi", mobi, "ok"),
        (b"0-hostile/bytes/dossier-\xe9/livre.txt", text, "ok"),
        # Names a shell, a TSV row or an option parser would take apart.
        (b"0-hostile/names/new\nline.epub", EPUB, "ok"),
        (b"0-hostile/names/tab\there.txt", text, "ok"),
        (b"0-hostile/names/it's \"quoted\".mobi", mobi, "ok"),
        (b"0-hostile/names/-leading dash.epub", EPUB, "ok"),
        (b"0-hostile/names/--to=txt.azw3", azw3, "ok"),
        # TarvoCmd reads a backslash as a folder separator: the book can only be refused, in its row.
        (b"0-hostile/names/back\\slash.azw3", azw3, "refused"),
        (b"0-hostile/names/$(echo pwned >pwned) `echo pwned >pwned2`.txt", text, "ok"),
        (b"0-hostile/names/ends in space .epub", EPUB, "ok"),
        (b"0-hostile/names/\xe2\x80\xaeright-to-left.txt", text, "ok"),
        (b"0-hostile/names/" + b"long " * 45 + b".epub", EPUB, "ok"),
        # Not books to convert, but books all the same: each needs its own row.
        (b"0-hostile/drm/locked.mobi", "mobi/bad-encryption2.mobi", "drm"),
        (b"0-hostile/drm/locked.epub", DRM_EPUB, "drm"),
        (b"0-hostile/bad/empty.epub", EMPTY, "damaged"),
        (b"0-hostile/bad/half.mobi", "mobi/bad-truncated-half.mobi", "damaged"),
        # About a third of the way through, where an interrupted batch meets it still running.
        (b"M-pdf/hangs.pdf", PDF, "hang"),
    ]


class Templates:
    """The bytes of each book copied, read once."""

    def __init__(self, data):
        self.data = data
        self.cache = {EMPTY: b""}

    def __getitem__(self, name):
        if name not in self.cache:
            self.cache[name] = encrypted_epub(self[EPUB]) if name == DRM_EPUB else \
                open(os.path.join(self.data, name), "rb").read()
        return self.cache[name]


def encrypted_epub(plain):
    """An EPUB as a protected one looks to a reader without its key: an encryption.xml and pages
    of noise where the markup was."""
    noise = random.Random(0)
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(plain)) as source, zipfile.ZipFile(out, "w") as target:
        for entry in source.infolist():
            content = source.read(entry)
            if entry.filename.endswith((".xhtml", ".html")):
                content = bytes(noise.randrange(65, 91) for _ in range(500))
            target.writestr(entry, content)
        target.writestr("META-INF/encryption.xml", "<encryption/>")
    return out.getvalue()


def place(templates, template, target):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as stream:
        stream.write(templates[template])


def unpack(data, folder):
    """An unpacked EPUB: its package at the top of the folder, as the batch's survey finds it."""
    with zipfile.ZipFile(os.path.join(data, EPUB)) as book:
        book.extractall(os.fsdecode(folder))


def plain_books(count, rng):
    """(path as bytes, template, kind) for COUNT books in folders of about 25, a few per author."""
    weighted = [t for t in TEMPLATES for _ in range(t[3])]
    books = []
    for number in range(count):
        template, extension, kind, _ = rng.choice(weighted)
        folder = number // BOOKS_PER_FOLDER
        author = "%s %d" % (AUTHORS[folder % len(AUTHORS)], folder // len(AUTHORS))
        shelf = "%s %s" % (rng.choice(WORDS).title(), folder % 3)
        title = "%s of the %s %05d" % (rng.choice(WORDS).title(), rng.choice(WORDS), number)
        path = "%s/%s/%s.%s" % (author, shelf, title, extension)
        books.append((path.encode("utf-8"), template, kind))
    return books


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("count", type=int)
    parser.add_argument("folder")
    parser.add_argument("--hostile", action="store_true")
    parser.add_argument("--data", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                       "..", "tests", "data"))
    parser.add_argument("--manifest")
    parser.add_argument("--seed", type=int, default=27)
    options = parser.parse_args()
    root = os.fsencode(os.path.abspath(options.folder))
    if os.path.exists(root) and os.listdir(root):
        sys.exit("make-library: %s is not empty" % options.folder)
    rng = random.Random(options.seed)
    special = hostile_books() if options.hostile else []
    if options.count < len(special):
        sys.exit("make-library: --hostile needs a COUNT of at least %d" % len(special))
    books = special + plain_books(options.count - len(special), rng)
    templates = Templates(options.data)
    for path, template, _ in books:
        target = os.path.join(root, path)
        if template is None:
            unpack(options.data, os.path.dirname(target))
        else:
            place(templates, template, target)
    manifest = options.manifest or os.fsdecode(root) + ".manifest.json"
    with open(manifest, "w", encoding="utf-8") as stream:
        for path, _, kind in books:
            stream.write(json.dumps({"hex": path.hex(), "path": path.decode("utf-8", "backslashreplace"),
                                     "kind": kind}) + "\n")
    print("%d books in %s (manifest %s)" % (len(books), options.folder, manifest))


if __name__ == "__main__":
    main()
