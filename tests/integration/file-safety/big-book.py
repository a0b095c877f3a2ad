#!/usr/bin/env python3
"""Writes a small EPUB that holds big files, for the big-file cases of the file-safety check.
  big-book.py sheets OUT   four style sheets of 200 MiB each, packed to about 6 MB each
  big-book.py image OUT    a 70 MiB PNG shown in the text and named as the cover
The big entries are generated rules, one number a line, so they pack about 35:1: under the 100:1
that the ZIP reader allows. Their packed form is one 1 MiB block packed once and repeated (every
copy starts from an empty window), so the book is written in a second, not deflated byte by byte."""
import struct
import sys
import zlib

MIB = 1 << 20


def pack(data):
    z = zlib.compressobj(6, zlib.DEFLATED, -15)
    return z.compress(data) + z.flush(zlib.Z_FULL_FLUSH)


def rules(seed):
    rule = " { margin: 0 1em; padding: 0; text-indent: 1.5em; font-family: serif; line-height: 1.4 }\n"
    return "".join("p.c%d%07d%s" % (seed, n, rule) for n in range(MIB // 90)).encode()[:MIB]


def crc(pieces):
    value = 0
    for data, count in pieces:
        for _ in range(count):
            value = zlib.crc32(data, value)
    return value & 0xFFFFFFFF


entries = []  # name, method, CRC-32, size, packed bytes


def add(name, data, method=8):
    entries.append((name, method, zlib.crc32(data), len(data), pack(data) + b"\x03\x00" if method else data))


def add_repeated(name, head, block, count, tail):
    body = pack(head) + pack(block) * count + pack(tail) + b"\x03\x00"
    entries.append((name, 8, crc([(head, 1), (block, count), (tail, 1)]), len(head) + len(block) * count + len(tail), body))


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


kind, out = sys.argv[1], sys.argv[2]
add("mimetype", b"application/epub+zip", 0)
add("META-INF/container.xml", b'<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:names:tc:'
    b'opendocument:xmlns:container"><rootfiles><rootfile full-path="OEBPS/content.opf" media-type='
    b'"application/oebps-package+xml"/></rootfiles></container>')
items, links, body, cover = "", "", "", ""
if kind == "sheets":
    for i in range(4):
        add_repeated("OEBPS/s%d.css" % i, b"", rules(i), 200, b"")
        items += '<item id="s%d" href="s%d.css" media-type="text/css"/>' % (i, i)
        links += '<link rel="stylesheet" type="text/css" href="s%d.css"/>' % i
else:
    # A private ancillary chunk after the pixels: readers skip it, and the file stays a valid PNG.
    block, count = rules(9), 70
    head = (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 0, 0, 0, 0)) +
            png_chunk(b"IDAT", zlib.compress(b"\x00\x80")) + struct.pack(">I", len(block) * count) + b"prVt")
    tail = struct.pack(">I", crc([(b"prVt", 1), (block, count)])) + png_chunk(b"IEND", b"")
    add_repeated("OEBPS/big.png", head, block, count, tail)
    items = '<item id="img" href="big.png" media-type="image/png"/>'
    body = '<p><img src="big.png" alt="big"/></p>'
    cover = '<meta name="cover" content="img"/>'
add("OEBPS/content.opf", ('<?xml version="1.0" encoding="utf-8"?><package xmlns="http://www.idpf.org/2007/opf" '
    'version="2.0" unique-identifier="id"><metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>Big'
    '</dc:title><dc:language>en</dc:language><dc:identifier id="id">big-1</dc:identifier>%s</metadata>'
    '<manifest><item id="c1" href="c1.html" media-type="application/xhtml+xml"/><item id="ncx" href="toc.ncx" '
    'media-type="application/x-dtbncx+xml"/>%s</manifest><spine toc="ncx"><itemref idref="c1"/></spine>'
    '</package>' % (cover, items)).encode())
add("OEBPS/toc.ncx", b'<?xml version="1.0"?><ncx xmlns="http://www.daisy.org/z3986/2005/ncx/" version="2005-1">'
    b'<head><meta name="dtb:uid" content="big-1"/></head><docTitle><text>Big</text></docTitle><navMap>'
    b'<navPoint id="n1" playOrder="1"><navLabel><text>One</text></navLabel><content src="c1.html"/>'
    b'</navPoint></navMap></ncx>')
add("OEBPS/c1.html", ('<?xml version="1.0" encoding="utf-8"?><html xmlns="http://www.w3.org/1999/xhtml"><head>'
    '<title>One</title>%s</head><body><h1>One</h1><p>Some text to read.</p>%s</body></html>'
    % (links, body)).encode())
with open(out, "wb") as f:
    central = b""
    for name, method, check, size, data in entries:
        n = name.encode()
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, 0, 0x21, check, len(data),
                               size, len(n), 0, 0, 0, 0, 0, f.tell()) + n
        f.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, check, len(data), size, len(n), 0)
                + n + data)
    at = f.tell()
    f.write(central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), at, 0))
