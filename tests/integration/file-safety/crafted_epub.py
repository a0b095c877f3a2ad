"""Small crafted EPUBs for the file-safety cases: the parts every book needs (the mimetype entry,
the container, the package's head), around whatever a case wants to try."""
import zipfile

CONTAINER = ('<?xml version="1.0"?><container version="1.0" '
             'xmlns="urn:oasis:names:tc:opendocument:xmlns:container"><rootfiles><rootfile '
             'full-path="{}" media-type="application/oebps-package+xml"/></rootfiles></container>')


def package(title, manifest, spine, toc=True):
    """An OPF 2 package: manifest and spine are the inner markup of those elements."""
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            '<package xmlns="http://www.idpf.org/2007/opf" version="2.0" unique-identifier="id">\n'
            '<metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>{0}</dc:title>\n'
            '<dc:identifier id="id">{0}-1</dc:identifier><dc:language>en</dc:language></metadata>\n'
            '<manifest>{1}</manifest>\n<spine{2}>{3}</spine></package>'
            ).format(title, manifest, ' toc="ncx"' if toc else '', spine)


def write_epub(path, package_path, files):
    """files maps archive names to their text; the package document is one of them."""
    with zipfile.ZipFile(path, "w") as z:
        z.writestr(zipfile.ZipInfo("mimetype"), "application/epub+zip")
        z.writestr("META-INF/container.xml", CONTAINER.format(package_path))
        for name, data in files.items():
            z.writestr(name, data)
