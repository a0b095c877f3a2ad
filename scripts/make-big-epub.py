#!/usr/bin/env python3
"""Makes a large EPUB for benchmarks from a small one: its documents repeated COPIES times and,
when IMAGE is given, each copy's first document showing its own copy of that image (with a few
bytes changed so that no two images are equal).
Usage: make-big-epub.py SRC DST [COPIES] [IMAGE]"""
import re
import sys
import zipfile

src, dst = sys.argv[1], sys.argv[2]
copies = int(sys.argv[3]) if len(sys.argv) > 3 else 10
image = open(sys.argv[4], "rb").read() if len(sys.argv) > 4 else None
with zipfile.ZipFile(src) as z:
    files = {n: z.read(n) for n in z.namelist()}
opf_name = next(n for n in files if n.endswith(".opf"))
folder = opf_name.rsplit("/", 1)[0] + "/" if "/" in opf_name else ""
opf = files[opf_name].decode()
docs = []
for item in re.findall(r"<item [^>]*>", opf):
    href, ident = re.search(r'href="([^"]+)"', item), re.search(r'id="([^"]+)"', item)
    if href and ident and href.group(1).endswith("html"):
        docs.append((href.group(1), ident.group(1)))
items, refs = [], []
for copy in range(1, copies):
    for number, (href, ident) in enumerate(docs):
        doc = files[folder + href]
        if image and number == 0:
            name = f"copy{copy}/bench-image.jpg"
            files[folder + name] = image[:-2] + bytes([copy % 256, copy // 256]) + image[-2:]
            items.append(f'<item href="{name}" id="img_{copy}" media-type="image/jpeg"/>')
            doc = doc.replace(b"</body>", b'<p><img src="bench-image.jpg" alt="image"/></p></body>', 1)
        files[f"{folder}copy{copy}/{href}"] = doc
        items.append(f'<item href="copy{copy}/{href}" id="{ident}_{copy}" media-type="application/xhtml+xml"/>')
        refs.append(f'<itemref idref="{ident}_{copy}"/>')
files[opf_name] = opf.replace("</manifest>", "".join(items) + "</manifest>").replace(
    "</spine>", "".join(refs) + "</spine>").encode()
with zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as out:
    out.writestr(zipfile.ZipInfo("mimetype"), files.pop("mimetype", b"application/epub+zip"))
    for name, data in files.items():
        out.writestr(name, data)
