#include "epub/FontObfuscation.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "epub/Ebook_epub.h"

#include "EpubTestBook.h"
#include "TestSupport.h"

namespace
{

// An OpenType font's 32-bit words, the head table's adjustment included, add up to this: true
// only when every byte of the font is right.
bool WholeFontChecksumHolds(std::string font)
{
    font.append((4 - font.size() % 4) % 4, '\0');
    uint32_t sum = 0;
    for (size_t i = 0; i < font.size(); i += 4)
        sum += uint32_t(uint8_t(font[i])) << 24 | uint32_t(uint8_t(font[i + 1])) << 16 |
               uint32_t(uint8_t(font[i + 2])) << 8 | uint8_t(font[i + 3]);
    return sum == 0xB1B0AFBA;
}

TEST(FontObfuscation, TheObfuscatedFontsOfARealBookReadAsFonts)
{
    ScratchDir scratch;
    CEbookEpub handler;
    ConvertInputContext ctx{scratch.Path(), "", FORMAT_EPUB, ""};
    ASSERT_EQ(handler.Convert_Input(DataPath("epub3/wasteland-otf-obf.epub"), ctx), RC_OK);
    for (const char* name : {"OldStandard-Regular", "OldStandard-Bold", "OldStandard-Italic"}) {
        SCOPED_TRACE(name);
        const std::string font = ReadWholeFile(scratch / "EPUB/" + name + ".obf.otf");
        ASSERT_GT(font.size(), 1040u);
        EXPECT_EQ(font.substr(0, 4), "OTTO");
        EXPECT_TRUE(WholeFontChecksumHolds(font));
    }
}

// What an EPUB reader gets: plain fonts, listed as fonts, and no encryption.xml to undo them again.
TEST(FontObfuscation, EpubOutputCarriesPlainFonts)
{
    ScratchDir scratch;
    CommandRun run =
        RunTarvoCmd({"c", DataPath("epub3/wasteland-otf-obf.epub"), scratch / "out.epub", scratch / "work"});
    ASSERT_EQ(run.exitStatus, 0) << run.out;
    CZip zip;
    ASSERT_EQ(zip.Open(scratch / "out.epub", false, false), RC_OK);
    ASSERT_EQ(zip.ReadDirectory(), RC_OK);
    std::string opf, entry;
    ASSERT_EQ(zip.GetFileBuffer("OEBPS/content.opf", opf), RC_OK);
    EXPECT_NE(zip.GetFileBuffer(ENCRYPTION_XML, entry), RC_OK);
    for (const char* name : {"OldStandard-Regular", "OldStandard-Bold", "OldStandard-Italic"}) {
        SCOPED_TRACE(name);
        std::string font;
        ASSERT_EQ(zip.GetFileBuffer(std::string("OEBPS/") + name + ".obf.otf", font), RC_OK);
        EXPECT_TRUE(WholeFontChecksumHolds(font));
        const size_t href = opf.find(std::string("href=\"") + name + ".obf.otf\"");
        ASSERT_NE(href, std::string::npos);
        const size_t item = opf.rfind('<', href), close = opf.find('>', href);
        EXPECT_NE(opf.substr(item, close - item).find("media-type=\"application/vnd.ms-opentype\""),
                  std::string::npos);
    }
}

struct KeyCase {
    const char* label;
    FontObfuscation method;
    const char* identifier;
    const char* key; // hexadecimal; empty for none
};

TEST(FontObfuscation, KeysFromIdentifiers)
{
    const KeyCase cases[] = {
        {"idpf: SHA-1 of the identifier", FontObfuscation::Idpf,
         "code.google.com.epub-samples.wasteland-otf-obfuscated", "9078f6ca40ff8070ce8626915cae7d70c619f17b"},
        {"idpf: white space of every kind taken out", FontObfuscation::Idpf,
         " urn:uuid:0316eb8e-f4ed-\t4f9c-8d7c-\r\n8f4f1d3c8a11 ", "1f9c62bae4e6ab37630a5d6eca29e796875d321f"},
        {"idpf: nothing but white space", FontObfuscation::Idpf, " \n", ""},
        {"adobe: the uuid's digits", FontObfuscation::Adobe, "urn:uuid:0316eb8e-f4ed-4f9c-8d7c-8f4f1d3c8a11",
         "0316eb8ef4ed4f9c8d7c8f4f1d3c8a11"},
        {"adobe: prefix in capitals, digits without dashes", FontObfuscation::Adobe,
         "URN:UUID:0316EB8EF4ED4F9C8D7C8F4F1D3C8A11", "0316eb8ef4ed4f9c8d7c8f4f1d3c8a11"},
        {"adobe: a bare uuid", FontObfuscation::Adobe, "0316eb8e-f4ed-4f9c-8d7c-8f4f1d3c8a11",
         "0316eb8ef4ed4f9c8d7c8f4f1d3c8a11"},
        {"adobe: 31 digits", FontObfuscation::Adobe, "urn:uuid:0316eb8e-f4ed-4f9c-8d7c-8f4f1d3c8a1", ""},
        {"adobe: 34 digits", FontObfuscation::Adobe, "urn:uuid:0316eb8e-f4ed-4f9c-8d7c-8f4f1d3c8a1122", ""},
        {"adobe: not hexadecimal", FontObfuscation::Adobe, "urn:isbn:9780000000002", ""},
        {"other algorithms have no key", FontObfuscation::None,
         "urn:uuid:0316eb8e-f4ed-4f9c-8d7c-8f4f1d3c8a11", ""},
    };
    for (const KeyCase& c : cases)
        EXPECT_EQ(Hex(ObfuscationKey(c.method, c.identifier)), c.key) << c.label;
}

TEST(FontObfuscation, OnlyTheHeadIsXoredAndNeverPastTheEnd)
{
    const std::string key = "\x01\x02\x03";
    const std::pair<size_t, size_t> cases[] = {{0, 0}, {10, 10}, {1039, 1039}, {1040, 1040}, {3000, 1040}};
    for (const auto& [size, changed] : cases) {
        std::string bytes(size, '\0');
        XorHead(bytes, key, 1040);
        ASSERT_EQ(bytes.size(), size);
        size_t nonZero = 0;
        for (size_t i = 0; i < bytes.size(); ++i)
            if (bytes[i] != 0) nonZero = i + 1;
        EXPECT_EQ(nonZero, changed) << size;
        if (size > 4) {
            EXPECT_EQ(bytes.substr(0, 4), std::string("\x01\x02\x03\x01")) << "key repeated";
        }
    }
}

struct EncryptionCase {
    const char* label;
    const char* data; // one EncryptedData element
    const char* path;
    FontObfuscation method;
};

TEST(FontObfuscation, EncryptionXmlEntries)
{
    const EncryptionCase cases[] = {
        {"idpf",
         "<EncryptionMethod Algorithm='http://www.idpf.org/2008/embedding'/>"
         "<CipherData><CipherReference URI='EPUB/f.otf'/></CipherData>",
         "EPUB/f.otf", FontObfuscation::Idpf},
        {"adobe",
         "<EncryptionMethod Algorithm='http://ns.adobe.com/pdf/enc#RC'/>"
         "<CipherData><CipherReference URI='f.ttf'/></CipherData>",
         "f.ttf", FontObfuscation::Adobe},
        {"real encryption",
         "<EncryptionMethod Algorithm='http://www.w3.org/2001/04/xmlenc#aes128-cbc'/>"
         "<CipherData><CipherReference URI='OEBPS/a.html'/></CipherData>",
         "OEBPS/a.html", FontObfuscation::None},
        {"percent-encoded, a plus stays a plus",
         "<EncryptionMethod Algorithm='http://www.idpf.org/2008/embedding'/>"
         "<CipherData><CipherReference URI='EPUB/Old%20Std+1.otf'/></CipherData>",
         "EPUB/Old Std+1.otf", FontObfuscation::Idpf},
        {"dot segments worked out",
         "<EncryptionMethod Algorithm='http://www.idpf.org/2008/embedding'/>"
         "<CipherData><CipherReference URI='./EPUB/x/../f.otf'/></CipherData>",
         "EPUB/f.otf", FontObfuscation::Idpf},
        {"climbing out of the container",
         "<EncryptionMethod Algorithm='http://www.idpf.org/2008/embedding'/>"
         "<CipherData><CipherReference URI='EPUB/../../f.otf'/></CipherData>",
         "", FontObfuscation::Idpf},
        {"absolute",
         "<EncryptionMethod Algorithm='http://www.idpf.org/2008/embedding'/>"
         "<CipherData><CipherReference URI='/etc/passwd'/></CipherData>",
         "", FontObfuscation::Idpf},
        {"no reference", "<EncryptionMethod Algorithm='http://www.idpf.org/2008/embedding'/>", "",
         FontObfuscation::Idpf},
    };
    for (const EncryptionCase& c : cases) {
        SCOPED_TRACE(c.label);
        for (const char* prefix : {"", "enc:"}) {
            const std::string p = prefix;
            const std::string xml = "<encryption xmlns='urn:oasis:names:tc:opendocument:xmlns:container' "
                                    "xmlns:enc='http://www.w3.org/2001/04/xmlenc#'><" +
                                    p + "EncryptedData>" + c.data + "</" + p + "EncryptedData></encryption>";
            std::vector<EncryptedResource> resources;
            ASSERT_TRUE(ReadEncryptionXml(xml, resources));
            ASSERT_EQ(resources.size(), 1u);
            EXPECT_EQ(resources[0].m_Path, c.path);
            EXPECT_EQ(resources[0].m_Method, c.method);
        }
    }
    std::vector<EncryptedResource> resources;
    EXPECT_FALSE(ReadEncryptionXml("not xml <", resources));
}

const char* const IDPF = "http://www.idpf.org/2008/embedding";
const char* const ADOBE = "http://ns.adobe.com/pdf/enc#RC";

std::string EncryptionXml(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string xml =
        "<?xml version=\"1.0\"?><encryption xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">";
    for (const auto& [algorithm, uri] : entries)
        xml += "<EncryptedData xmlns=\"http://www.w3.org/2001/04/xmlenc#\"><EncryptionMethod Algorithm=\"" +
               algorithm + "\"/><CipherData><CipherReference URI=\"" + uri +
               "\"/></CipherData></EncryptedData>";
    return xml + "</encryption>";
}

// A package whose unique identifier is the first of identifiers; manifest items are (href, media type).
std::string FontBookOpf(const std::vector<std::string>& identifiers,
                        const std::vector<std::pair<std::string, std::string>>& items)
{
    std::string metadata, manifest = "<item id=\"d\" href=\"a.html\" media-type=\"application/xhtml+xml\"/>";
    // Written last to first: the unique identifier is not where a reader looking for the first one
    // would find it.
    for (size_t i = identifiers.size(); i-- > 0;)
        metadata +=
            "<dc:identifier id=\"id" + std::to_string(i) + "\">" + identifiers[i] + "</dc:identifier>";
    for (size_t i = 0; i < items.size(); ++i)
        manifest += "<item id=\"r" + std::to_string(i) + "\" href=\"" + items[i].first + "\" media-type=\"" +
                    items[i].second + "\"/>";
    return "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" "
           "unique-identifier=\"id0\"><metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
           "<dc:title>Fonts</dc:title>" +
           metadata + "</metadata><manifest>" + manifest +
           "</manifest><spine><itemref idref=\"d\"/></spine></package>";
}

std::string PlainFont(size_t size)
{
    return std::string("\x00\x01\x00\x00", 4) + Noise(size - 4);
}

std::string Obfuscated(std::string font, FontObfuscation method, const std::string& identifier)
{
    XorHead(font, ObfuscationKey(method, identifier), ObfuscatedLength(method));
    return font;
}

struct BookCase {
    const char* label;
    const char* algorithm;
    FontObfuscation method;
    std::vector<std::string> identifiers; // the unique one first
    std::string obfuscatedWith;
    size_t fontSize;
};

// Each book holds one obfuscated font at OEBPS/fonts/f.ttf, listed by its path from the container
// root; it must come out of reading as the plain font.
TEST(FontObfuscation, BooksReadWithPlainFonts)
{
    const std::string uuid = "urn:uuid:0316eb8e-f4ed-4f9c-8d7c-8f4f1d3c8a11";
    const BookCase cases[] = {
        {"idpf", IDPF, FontObfuscation::Idpf, {uuid}, uuid, 5000},
        {"idpf, identifier written over lines",
         IDPF,
         FontObfuscation::Idpf,
         {" urn:uuid:0316eb8e-\n  f4ed "},
         "urn:uuid:0316eb8e-f4ed",
         5000},
        {"adobe", ADOBE, FontObfuscation::Adobe, {uuid}, uuid, 5000},
        {"a font shorter than the obfuscated head", IDPF, FontObfuscation::Idpf, {uuid}, uuid, 600},
        {"the unique identifier written after another",
         IDPF,
         FontObfuscation::Idpf,
         {"isbn-1", uuid},
         "isbn-1",
         5000},
        {"a tool gave the book a new unique identifier",
         IDPF,
         FontObfuscation::Idpf,
         {"new-id", uuid},
         uuid,
         5000},
        {"adobe key from a later identifier", ADOBE, FontObfuscation::Adobe, {"isbn-1", uuid}, uuid, 5000},
    };
    for (const BookCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        const std::string plain = PlainFont(c.fontSize);
        ArchiveFiles files = {
            {"mimetype", "application/epub+zip"},
            {"META-INF/container.xml", TestContainer()},
            {"META-INF/encryption.xml", EncryptionXml({{c.algorithm, "OEBPS/fonts/f.ttf"}})},
            {"OEBPS/content.opf", FontBookOpf(c.identifiers, {{"fonts/f.ttf", "application/x-font-ttf"}})},
            {"OEBPS/a.html", Markup("<p>x</p>")},
            {"OEBPS/fonts/f.ttf", Obfuscated(plain, c.method, c.obfuscatedWith)},
        };
        ASSERT_TRUE(WriteTestArchive(scratch / "b.epub", files));
        CEbookEpub handler;
        ConvertInputContext ctx{scratch / "work/", "", FORMAT_EPUB, ""};
        MakePath(ctx.m_TempDirectory);
        ASSERT_EQ(handler.Convert_Input(scratch / "b.epub", ctx), RC_OK);
        EXPECT_TRUE(ReadWholeFile(ctx.m_TempDirectory + "OEBPS/fonts/f.ttf") == plain);
    }
}

// Entries encryption.xml names wrongly are passed over; the book is still read and its font left
// as it was.
TEST(FontObfuscation, ReferencesThatNameNoEntryAreIgnored)
{
    const std::string uuid = "urn:uuid:0316eb8e-f4ed-4f9c-8d7c-8f4f1d3c8a11";
    const std::string obfuscated = Obfuscated(PlainFont(3000), FontObfuscation::Idpf, uuid);
    for (const char* uri :
         {"fonts/f.ttf", "OEBPS/fonts/missing.ttf", "../OEBPS/fonts/f.ttf", "OEBPS/../../x.ttf"}) {
        SCOPED_TRACE(uri);
        ScratchDir scratch;
        ArchiveFiles files = {
            {"mimetype", "application/epub+zip"},
            {"META-INF/container.xml", TestContainer()},
            {"META-INF/encryption.xml", EncryptionXml({{IDPF, uri}})},
            {"OEBPS/content.opf", FontBookOpf({uuid}, {{"fonts/f.ttf", "application/x-font-ttf"}})},
            {"OEBPS/a.html", Markup("<p>x</p>")},
            {"OEBPS/fonts/f.ttf", obfuscated},
        };
        ASSERT_TRUE(WriteTestArchive(scratch / "b.epub", files));
        CEbookEpub handler;
        ConvertInputContext ctx{scratch / "work/", "", FORMAT_EPUB, ""};
        MakePath(ctx.m_TempDirectory);
        ASSERT_EQ(handler.Convert_Input(scratch / "b.epub", ctx), RC_OK);
        EXPECT_TRUE(ReadWholeFile(ctx.m_TempDirectory + "OEBPS/fonts/f.ttf") == obfuscated);
    }
}

struct ScopeCase {
    const char* label;
    std::vector<std::pair<std::string, std::string>> encrypted; // algorithm, URI
    std::vector<std::pair<std::string, std::string>> manifest;  // href, media type
    ArchiveFiles extra;
    std::string document;
    ResultCode rc;
};

// What encryption.xml covers decides, whatever the sampled documents look like.
TEST(FontObfuscation, ProtectionByWhatEncryptionXmlCovers)
{
    const std::string font = PlainFont(2000), noise = Noise(500), markup = Markup("<p>x</p>");
    const char* const AES = "http://www.w3.org/2001/04/xmlenc#aes128-cbc";
    const ScopeCase cases[] = {
        {"obfuscated fonts only",
         {{IDPF, "OEBPS/f.otf"}, {ADOBE, "OEBPS/g.ttf"}},
         {{"f.otf", "font/otf"}, {"g.ttf", "font/ttf"}},
         {{"OEBPS/f.otf", font}, {"OEBPS/g.ttf", font}},
         markup,
         RC_OK},
        {"a font known by its media type only",
         {{IDPF, "OEBPS/f.bin"}},
         {{"f.bin", "application/vnd.ms-opentype"}},
         {{"OEBPS/f.bin", font}},
         markup,
         RC_OK},
        {"encrypted but missing from the archive", {{AES, "OEBPS/gone.html"}}, {}, {}, markup, RC_OK},
        {"a document encrypted, sample looking plain",
         {{AES, "OEBPS/a.html"}},
         {},
         {},
         markup,
         RC_DRM_UNKNOWN},
        {"a font encrypted for real",
         {{AES, "OEBPS/f.otf"}},
         {{"f.otf", "font/otf"}},
         {{"OEBPS/f.otf", font}},
         markup,
         RC_DRM_UNKNOWN},
        {"an image obfuscated as a font",
         {{IDPF, "OEBPS/i.jpg"}},
         {{"i.jpg", "image/jpeg"}},
         {{"OEBPS/i.jpg", Noise(300)}},
         markup,
         RC_DRM_UNKNOWN},
        {"fonts and a document",
         {{IDPF, "OEBPS/f.otf"}, {AES, "OEBPS/a.html"}},
         {{"f.otf", "font/otf"}},
         {{"OEBPS/f.otf", font}},
         markup,
         RC_DRM_UNKNOWN},
        {"fonts and an adobe key",
         {{IDPF, "OEBPS/f.otf"}, {AES, "OEBPS/a.html"}},
         {{"f.otf", "font/otf"}},
         {{"OEBPS/f.otf", font},
          {"META-INF/rights.xml", "<r><encryptedKey>" + std::string(172, 'K') + "</encryptedKey></r>"}},
         noise,
         RC_DRM_ADOBE},
        // Font obfuscation is no part of what marks an Apple book: what the sample found stays unknown.
        {"obfuscated fonts, display options, noise",
         {{IDPF, "OEBPS/f.otf"}},
         {{"f.otf", "font/otf"}},
         {{"OEBPS/f.otf", font}, {"META-INF/com.apple.ibooks.display-options.xml", "<d/>"}},
         noise,
         RC_DRM_UNKNOWN},
        {"encrypted document, display options",
         {{AES, "OEBPS/a.html"}},
         {},
         {{"META-INF/com.apple.ibooks.display-options.xml", "<d/>"}},
         noise,
         RC_DRM_IBOOKS},
    };
    const std::string uuid = "urn:uuid:0316eb8e-f4ed-4f9c-8d7c-8f4f1d3c8a11";
    for (const ScopeCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ArchiveFiles files = {{"mimetype", "application/epub+zip"},
                              {"META-INF/container.xml", TestContainer()},
                              {"META-INF/encryption.xml", EncryptionXml(c.encrypted)},
                              {"OEBPS/content.opf", FontBookOpf({uuid}, c.manifest)},
                              {"OEBPS/a.html", c.document}};
        files.insert(files.end(), c.extra.begin(), c.extra.end());
        ASSERT_TRUE(WriteTestArchive(scratch / "b.epub", files));
        CEbookEpub handler;
        ConvertInputContext ctx{scratch / "work/", "", FORMAT_EPUB, ""};
        MakePath(ctx.m_TempDirectory);
        EXPECT_EQ(handler.Convert_Input(scratch / "b.epub", ctx), c.rc);
        GetMetaContext meta{scratch / "meta/", ""};
        MakePath(meta.m_TempDirectory);
        CEbookEpub reader;
        EXPECT_EQ(reader.GetMetaData(scratch / "b.epub", meta), c.rc) << "g decides alike";
    }
}

} // namespace
