#include "pdf/Ebook_Pdf.h"

#include "base/Clock.h"
#include "base/Files.h"
#include "base/Folders.h"
#include "base/Paths.h"
#include "base/Text.h"

#include "TestSupport.h"

#include <filesystem>
#include <fstream>
#include <functional>

namespace
{

namespace fs = std::filesystem;

// A stand-in helper that records its arguments, one a line, in args.txt beside it, then runs body
// with "$out" set to its last argument.
void WriteStandIn(const ScratchDir& dir, const std::string& name, const std::string& body)
{
    const std::string path = dir / name;
    std::ofstream(path) << "#!/bin/sh\n"
                           "log=\"$(dirname \"$0\")/args.txt\"\n"
                           ": > \"$log\"\n"
                           "for a; do printf '%s\\n' \"$a\" >> \"$log\"; done\n"
                           "for out; do :; done\n"
                        << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
}

std::vector<std::string> RecordedArguments(const ScratchDir& dir)
{
    std::vector<std::string> args;
    std::ifstream in(dir / "args.txt");
    for (std::string line; std::getline(in, line);)
        args.push_back(line);
    return args;
}

std::string Metadata(CIntermediateBook& book, const char* key)
{
    std::string value;
    book.GetValue(key, value);
    return value;
}

// Poppler's habits: images named after the base exactly as given, the base as the title of a PDF
// without one.
const char* const POPPLER_LIKE =
    "printf 'PNGDATA' > \"$out-1_1.png\"\n"
    "printf '<html><head><title>%s</title></head><body><img src=\"%s-1_1.png\"/>"
    "<p>Words of the page</p></body></html>' \"$TITLE_TEXT\" \"$out\" > \"$out.html\"";

struct ReadCase {
    const char* label;
    const char* inParam;
    const char* titleInPdf; // empty: the PDF has none and poppler writes the base
    std::vector<std::string> options;
    const char* title;
};

TEST(PdfInput, RunsPdfToHtmlAndReadsItsPageAsABook)
{
    const ReadCase cases[] = {
        {"defaults", "", "Own Title", {"-noframes", "-enc", "UTF-8"}, "Own Title"},
        {"options from InParam", R"({"inparam_pdf2html":"-q","title":"T"})", "", {"-q"}, "T"},
        {"the user's option text split, quotes and all",
         R"j({"inparam_pdf2html":"-x \"two words\" $(id)"})j",
         "Own Title",
         {"-x", "two words", "$(id)"},
         "Own Title"},
        {"title of the PDF wins",
         R"({"inparam_pdf2html":"-q","title":"T"})",
         "Own Title",
         {"-q"},
         "Own Title"},
        {"no title anywhere", "", "", {"-noframes", "-enc", "UTF-8"}, "-a \"quoted\" book $(id)"},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir cwd, temp, helpers;
        const std::string input = cwd / "-a \"quoted\" book $(id).pdf";
        std::ofstream(input) << "%PDF-1.4";
        WriteStandIn(helpers, "pdftohtml",
                     std::string("TITLE_TEXT=\"") + (*c.titleInPdf ? c.titleInPdf : "$out") + "\"\n" +
                         POPPLER_LIKE);
        CEbookPdf pdf;
        pdf.UseHelpersFrom(helpers.Path());
        ConvertInputContext ctx{temp.Path() + "with space/", cwd.Path(), FORMAT_EPUB, c.inParam};
        fs::create_directories(ctx.m_TempDirectory);
        ASSERT_EQ(pdf.Convert_Input(input, ctx), RC_OK);

        std::vector<std::string> args = RecordedArguments(helpers);
        ASSERT_EQ(args.size(), c.options.size() + 2);
        EXPECT_EQ(std::vector<std::string>(args.begin(), args.end() - 2), c.options);
        EXPECT_EQ(args[args.size() - 2], input);
        // poppler writes into a folder of the run's own inside the TempDirectory.
        EXPECT_TRUE(StartsWith(args.back(), ctx.m_TempDirectory + "pdftohtml.")) << args.back();
        EXPECT_NE(args.back().find(".tmp/pdfTohtml_"), std::string::npos) << args.back();

        CIntermediateBook& book = *pdf.GetIntermediateBook();
        EXPECT_EQ(Metadata(book, "title"), c.title);
        EXPECT_EQ(book.m_MetaData.count("inparam_pdf2html"), 0u);
        ASSERT_EQ(book.m_ResourceList.size(), 1u);
        EXPECT_EQ(book.m_ResourceList[0], GetFileName(args.back()) + "-1_1.png");
        ASSERT_EQ(book.m_HtmlFileList.size(), 1u);
        std::string page = ReadWholeFile(ctx.m_TempDirectory + book.m_HtmlFileList[0]);
        EXPECT_NE(page.find("Words of the page"), std::string::npos);
        EXPECT_EQ(page.find(temp.Path()), std::string::npos) << "a folder of this machine stayed in the book";
    }
}

// A page that a stand-in writes before it fails.
const char* const WRITES_PAGE = "printf '<html><body><p>half</p></body></html>' > \"$out.html\"\n";

TEST(PdfInput, NoHtmlBackIsAFailure)
{
    struct FailCase {
        const char* label;
        std::string helper; // empty: none in the helper folder
    };
    const FailCase cases[] = {
        {"helper missing (one in the working folder is never used)", ""},
        {"helper exits 0 without writing", "exit 0"},
        {"helper writes an empty page", ": > \"$out.html\""},
        {"helper fails after a page was left by an earlier run", "exit 1"},
        {"helper writes a page but exits 3", std::string(WRITES_PAGE) + "exit 3"},
        {"helper killed after writing a page", std::string(WRITES_PAGE) + "kill -KILL $$"},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir cwd, temp, helpers;
        std::ofstream(cwd / "in.pdf") << "%PDF-1.4";
        WriteStandIn(cwd, "pdftohtml", std::string(WRITES_PAGE) + "exit 0");
        if (!c.helper.empty()) WriteStandIn(helpers, "pdftohtml", c.helper);
        // Pages under the names this run may choose, as an earlier run in the same minute leaves them.
        uint16_t date = 0, time = 0;
        DosDateTime(date, time);
        for (int t = time; t <= time + 2; ++t)
            std::ofstream(temp / ("pdfTohtml_" + std::to_string(t) + ".html"))
                << "<html><body>old</body></html>";
        CEbookPdf pdf;
        pdf.UseHelpersFrom(helpers.Path());
        ConvertInputContext ctx{temp.Path(), cwd.Path(), FORMAT_EPUB, ""};
        EXPECT_EQ(pdf.Convert_Input(cwd / "in.pdf", ctx), RC_PDF_TO_HTML);
        EXPECT_FALSE(FileExists(cwd / "args.txt")) << "the working folder's helper ran";
    }
}

// A book of pages in a TempDirectory, handed to the PDF writer as the engine hands it.
struct BookFixture {
    ScratchDir cwd, temp, helpers;
    CIntermediateBook book;

    void AddPage(const std::string& name, const std::string& body = "<p>text</p>")
    {
        fs::create_directories(fs::path(temp / name).parent_path());
        std::ofstream(temp / name) << "<html><head><title>t</title></head><body>" << body << "</body></html>";
        book.m_HtmlFileList.push_back(name);
    }
    ResultCode Convert(const std::string& output, const std::string& outParam = "")
    {
        CEbookPdf pdf;
        pdf.UseHelpersFrom(helpers.Path());
        ConvertOutputContext ctx{"in.epub", book, temp.Path(), cwd.Path(), outParam};
        return pdf.Convert_Output(output, ctx);
    }
};

const char* const WRITES_PDF = "printf '%%PDF-1.4 rendered' > \"$out\"";

struct WriteCase {
    const char* label;
    std::function<void(BookFixture&)> setUp;
    const char* outParam;
    std::vector<std::string> expectedArguments; // "@" stands for the TempDirectory, "~" for the helpers
};

std::string Expand(const std::string& pattern, const BookFixture& f)
{
    std::string text = pattern;
    ReplaceAll(text, "@", f.temp.Path());
    ReplaceAll(text, "~", f.helpers.Path());
    return text;
}

TEST(PdfOutput, BuildsTheCommandLineOfTheRenderer)
{
    const WriteCase cases[] = {
        {"title and options",
         [](BookFixture& f) {
             f.book.AddValue("title", "A \"quoted\" title\\");
             f.AddPage("a.html");
         },
         R"({"outparam_wkhtmltopdf":"-s A5"})",
         {"-s", "A5", "--title", "A \"quoted\" title\\", "--creator", "TarvoCmd", "--user-style-sheet",
          "~fix.css", "--allow-folder", "@", "@a.html", "--"}},
        {"no title, no option",
         [](BookFixture& f) { f.AddPage("a.html"); },
         "",
         {"--creator", "TarvoCmd", "--user-style-sheet", "~fix.css", "--allow-folder", "@", "@a.html", "--"}},
        {"cover image without cover page",
         [](BookFixture& f) {
             f.book.m_CoverImageName = "images/c.jpg";
             f.AddPage("a.html");
         },
         "",
         {"--creator", "TarvoCmd", "--user-style-sheet", "~fix.css", "--allow-folder", "@", "@cover1.html",
          "@a.html", "--"}},
        {"cover1.html already listed",
         [](BookFixture& f) {
             f.book.m_CoverImageName = "images/c.jpg";
             f.AddPage("COVER1.html");
         },
         "",
         {"--creator", "TarvoCmd", "--user-style-sheet", "~fix.css", "--allow-folder", "@", "@cover2.html",
          "@COVER1.html", "--"}},
        {"cover page listed later keeps its place",
         [](BookFixture& f) {
             f.AddPage("a.html");
             f.AddPage("title.html");
             f.book.m_CoverPageName = "title.html";
         },
         "",
         {"--creator", "TarvoCmd", "--user-style-sheet", "~fix.css", "--allow-folder", "@", "@a.html",
          "@title.html", "--"}},
        {"XHTML renamed, fragments and missing pages dropped",
         [](BookFixture& f) {
             f.AddPage("text/chapter.XHTML");
             f.book.m_HtmlFileList.push_back("text/chapter.XHTML#part2");
             f.book.m_HtmlFileList.push_back("text/gone.html");
             f.AddPage("text/b.xhtml");
             f.AddPage("text/b.html");
         },
         "",
         {"--creator", "TarvoCmd", "--user-style-sheet", "~fix.css", "--allow-folder", "@",
          "@text/chapter.html", "@text/b.xhtml", "@text/b.html", "--"}},
        {"a title that looks like options stays one argument",
         [](BookFixture& f) {
             f.book.AddValue("title", "--user-style-sheet /etc/passwd $(id) 'q'");
             f.AddPage("a.html");
         },
         "",
         {"--title", "--user-style-sheet /etc/passwd $(id) 'q'", "--creator", "TarvoCmd",
          "--user-style-sheet", "~fix.css", "--allow-folder", "@", "@a.html", "--"}},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.label);
        BookFixture f;
        std::ofstream(f.helpers / "fix.css") << "img { max-width: 100% }";
        WriteStandIn(f.helpers, "cov", WRITES_PDF);
        c.setUp(f);
        const std::string output = f.cwd / "out.pdf";
        ASSERT_EQ(f.Convert(output, c.outParam), RC_OK);

        std::vector<std::string> args = RecordedArguments(f.helpers);
        ASSERT_FALSE(args.empty());
        args.pop_back(); // the renderer's own name for the PDF, moved over out.pdf afterwards
        std::vector<std::string> expected;
        for (const std::string& e : c.expectedArguments)
            expected.push_back(Expand(e, f));
        EXPECT_EQ(args, expected);
        EXPECT_EQ(ReadWholeFile(output), "%PDF-1.4 rendered");
        for (const std::string& page : expected) {
            if (EndsWith(page, "html")) {
                EXPECT_TRUE(FileExists(page)) << page;
            }
        }
    }
}

TEST(PdfOutput, PagesPastTheCommandLineLimitGoThroughAListFile)
{
    BookFixture f;
    std::ofstream(f.helpers / "fix.css") << "";
    WriteStandIn(f.helpers, "cov", WRITES_PDF);
    const std::string part(250, 'd');
    const std::string folder = part + "/" + part + "/" + part + "/" + part;
    std::string expectedList;
    for (int i = 0; i < 100; ++i) {
        std::string name = folder + "/page" + std::to_string(i) + ".html";
        f.AddPage(name);
        expectedList += f.temp.Path() + name + '\0';
    }
    ASSERT_EQ(f.Convert(f.cwd / "out.pdf"), RC_OK);

    std::vector<std::string> args = RecordedArguments(f.helpers);
    ASSERT_EQ(args.size(), 10u);
    EXPECT_EQ(args[2], "--user-style-sheet");
    EXPECT_EQ(args[6], "--input-list");
    EXPECT_EQ(args[8], "--");
    std::string list;
    ASSERT_TRUE(ReadFileBytes(args[7], list));
    EXPECT_EQ(list, expectedList);
}

TEST(PdfOutput, ARenderingThatFailedIsNeverSuccess)
{
    struct FailCase {
        const char* label;
        std::string helper; // empty: none in the helper folder
        bool leftover;      // a crashed run left its rendering beside the output
    };
    const FailCase cases[] = {
        {"helper missing (one in the working folder is never used)", "", false},
        {"helper exits 0 without writing", "exit 0", false},
        {"helper writes an empty file", ": > \"$out\"", false},
        {"helper writes no PDF", "echo '<html>' > \"$out\"", false},
        {"helper writes nothing over a crashed run's PDF", "exit 0", true},
        {"helper writes a PDF but exits 1", std::string(WRITES_PDF) + "\nexit 1", false},
        {"helper killed after writing a PDF", std::string(WRITES_PDF) + "\nkill -KILL $$", false},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.label);
        BookFixture f;
        f.AddPage("a.html");
        WriteStandIn(f.cwd, "cov", WRITES_PDF);
        if (!c.helper.empty()) WriteStandIn(f.helpers, "cov", c.helper);
        const std::string output = f.cwd / "out.pdf", crashed = f.cwd / ".out.pdf.0123456789abcdef.tmp/";
        std::ofstream(output) << "%PDF-1.4 an older book";
        if (c.leftover) {
            MakePath(crashed);
            std::ofstream(crashed + "rendered.pdf") << "%PDF-1.4 from a crashed run";
        }
        EXPECT_EQ(f.Convert(output), RC_FILE_WRITE_FAILED);
        EXPECT_EQ(ReadWholeFile(output), "%PDF-1.4 an older book");
        size_t staging = 0;
        for (const auto& entry : std::filesystem::directory_iterator(f.cwd.Path()))
            staging += StartsWith(entry.path().filename().string(), ".out.pdf.");
        EXPECT_EQ(staging, c.leftover ? 1u : 0u) << "a rendering folder was left behind";
        EXPECT_FALSE(FileExists(f.cwd / "args.txt")) << "the working folder's helper ran";
    }
}

struct SvgCase {
    const char* label;
    const char* body;
    const char* expected; // the printed body
};

TEST(PdfOutput, SvgRepairLeavesThePlainImage)
{
    const SvgCase cases[] = {
        {"svg image by xlink:href",
         R"(<div><svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="600">)"
         R"(<image width="600" xlink:href="../images/cover.jpg"></image><rect width="1"/></svg></div>)",
         R"(<div><img src="../images/cover.jpg" alt="cover-image" /></div>)"},
        {"image with src and a quote", R"(<svg><image src="a&quot;b.png"/></svg>)",
         R"(<img src="a&quot;b.png" alt="cover-image" />)"},
        {"img keeps alt, src and xlink:href", R"(<p><img src="a.png" alt="x" width="9" class="c"/></p>)",
         R"(<p><img src="a.png" alt="x" /></p>)"},
        {"comment dropped", "<p>a<!-- note -->b</p>", "<p>ab</p>"},
    };
    for (const SvgCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        std::ofstream(dir / "p.html")
            << "<html><head><title>t</title></head><body>" << c.body << "</body></html>";
        RepairSvg(dir / "p.html", nullptr);
        std::string printed = ReadWholeFile(dir / "p.html");
        EXPECT_NE(
            printed.find("<head>\r\n<meta http-equiv=\"Content-Type\" content=\"text/html;charset=utf-8\"/>"),
            std::string::npos)
            << printed;
        std::string flat = printed;
        ReplaceAll(flat, "\r", "");
        ReplaceAll(flat, "\n", "");
        EXPECT_NE(flat.find(c.expected), std::string::npos) << printed;
    }
}

// What pdfinfo prints of the information dictionary and of the XMP packet, as the books of the
// cases below carry them.
const char* const CALIBRE_INFO = "Title:           Quick Start Guide\n"
                                 "Author:          John Schember\n"
                                 "Creator:         calibre (6.13.0) [http://calibre-ebook.com]\n"
                                 "CreationDate:    2026-12-07T07:32:44Z\n"
                                 "Custom Metadata: no\n"
                                 "Metadata Stream: yes\n"
                                 "Pages:           23\n";
const char* const CALIBRE_XMP =
    "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
    "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
    "<rdf:Description xmlns:dc=\"http://purl.org/dc/elements/1.1/\" rdf:about=\"\">"
    "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Quick Start Guide</rdf:li></rdf:Alt></dc:title>"
    "<dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">calibre Quick Start Guide</rdf:li></rdf:Alt>"
    "</dc:description><dc:creator><rdf:Seq><rdf:li>John Schember</rdf:li></rdf:Seq></dc:creator>"
    "<dc:subject><rdf:Bag/></dc:subject><dc:language><rdf:Bag>\n  "
    "<rdf:li>en</rdf:li>\n</rdf:Bag></dc:language>"
    "</rdf:Description></rdf:RDF></x:xmpmeta>\n<?xpacket end=\"w\"?>";

std::string Xmp(const std::string& properties)
{
    return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF><rdf:Description rdf:about=\"\">" + properties +
           "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

struct MetadataCase {
    const char* label;
    std::string info;
    std::string xmp;
    const char* json; // what g writes
};

TEST(PdfMetadata, ReadsTheInformationDictionaryAndXmp)
{
    const MetadataCase cases[] = {
        {"calibre's PDF: the description in XMP only, a time of day kept", CALIBRE_INFO, CALIBRE_XMP,
         R"({"creator":"John Schember","date_publication":"2026-12-07T07:32:44Z",)"
         R"("description":"calibre Quick Start Guide","language":"en","title":"Quick Start Guide"})"},
        {"authors listed in XMP split the Author entry they join to",
         "Title: T\nKeywords:        x, y z;w\nAuthor:          A One & B O'Two\n",
         Xmp("<dc:creator><rdf:Seq><rdf:li>A One</rdf:li><rdf:li>B O'Two</rdf:li></rdf:Seq></dc:creator>"),
         R"({"creator":"A One & B O'Two","subject":"x & y z & w","title":"T"})"},
        {"a comma is no list of authors", "Author:          Smith, John\n", "",
         R"({"creator":"Smith, John"})"},
        {"semicolons are", "Author:          A One; B Two;\n", "", R"({"creator":"A One & B Two"})"},
        {"an XMP list that does not join to the entry is not taken", "Author:          Tom & Jerry\n",
         Xmp("<dc:creator><rdf:Seq><rdf:li>Tom</rdf:li><rdf:li>Someone</rdf:li></rdf:Seq></dc:creator>"),
         R"({"creator":"Tom & Jerry"})"},
        {"a value over several lines is one value",
         "Title:           First line\nsecond line\nSubject:         About\nCustom Metadata: no\nTitle:  "
         "late\n",
         "", R"({"description":"About","title":"First line second line"})"},
        {"a label a value repeats does not start a field again", "Subject:         S\nTitle: inside\n", "",
         R"({"description":"S Title: inside"})"},
        {"midnight without a zone is a day", "CreationDate:    2023-03-06T00:00:00\n", "",
         R"({"date_publication":"2023-03-06"})"},
        {"the Dublin Core date wins", "CreationDate:    2026-12-07T07:32:44Z\n",
         Xmp("<dc:date><rdf:Seq><rdf:li>2015-09-22</rdf:li></rdf:Seq></dc:date>"),
         R"({"date_publication":"2015-09-22"})"},
        {"a date that starts with no year is none", "CreationDate:    D:20230306\n", "", "{}"},
        {"no information dictionary, no XMP", "Custom Metadata: no\nPages:           1\n", "", "{}"},
        {"an unknown language is none; XMP that is not XML is ignored", "",
         Xmp("<dc:language><rdf:Bag><rdf:li>und</rdf:li></rdf:Bag></dc:language>"), "{}"},
        {"broken XMP", "Title:           T\n", "<x:xmpmeta><dc:title>", R"({"title":"T"})"},
    };
    for (const MetadataCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook book;
        ReadPdfMetadata(c.info, c.xmp, book);
        std::string json;
        book.ToJson(json);
        if (json.empty()) json = "{}";
        EXPECT_EQ(json, c.json);
    }
}

struct ArgumentsCase {
    const char* label;
    std::vector<std::pair<std::string, std::string>> metadata;
    std::vector<std::string> arguments;
};

TEST(PdfMetadata, WritesTheBooksMetadataAsRendererOptions)
{
    const ArgumentsCase cases[] = {
        {"nothing but our name as Creator", {}, {"--creator", "TarvoCmd"}},
        {"a package's dates not yet settled: the earliest",
         {{"date_modification", "2024-01-01"}, {"date", "2023-03-06"}},
         {"--date", "2023-03-06", "--creator", "TarvoCmd"}},
        {"every author and subject, one title, character references shown",
         {{"title", "Developer&#x27;s Guide"},
          {"title", "Second title"},
          {"creator", "Developer&#x27;s Reference Team"},
          {"creator", "B &amp; C"},
          {"subject", "x"},
          {"subject", "y"},
          {"description", "About &#39;it&#39;"},
          {"language", "fr"},
          {"date_publication", "2023-03-06"},
          {"publisher", "not in a PDF"}},
         {"--title", "Developer's Guide", "--author", "Developer's Reference Team", "--author", "B & C",
          "--subject", "About 'it'", "--keyword", "x", "--keyword", "y", "--lang", "fr", "--date",
          "2023-03-06", "--creator", "TarvoCmd"}},
    };
    for (const ArgumentsCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook book;
        for (const auto& entry : c.metadata)
            book.AddValue(entry.first, entry.second);
        EXPECT_EQ(MetadataArguments(book), c.arguments);
    }
}

TEST(PdfMetadata, AHelperThatFailsIsAReadFailure)
{
    struct FailCase {
        const char* label;
        std::string helper; // empty: none in the helper folder
        ResultCode rc;
        bool cover;
    };
    const std::string writesInfo = "printf 'Title:           T\\n' > \"$out/info.txt\"\n";
    const FailCase cases[] = {
        {"helper missing (one in the working folder is never used)", "", RC_PDF_READ, false},
        {"helper exits 0 without writing", "exit 0", RC_PDF_READ, false},
        {"helper writes the info but exits 1", writesInfo + "exit 1", RC_PDF_READ, false},
        {"helper killed", writesInfo + "kill -KILL $$", RC_PDF_READ, false},
        {"a cover that is no JPEG is none", writesInfo + "echo text > \"$out/cover.jpg\"", RC_OK, false},
        {"a JPEG cover is placed",
         writesInfo +
             "printf '\\377\\330\\377\\340\\000\\020JFIF\\000 and then the image' > \"$out/cover.jpg\"",
         RC_OK, true},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir cwd, temp, helpers;
        std::ofstream(cwd / "in.pdf") << "%PDF-1.4";
        WriteStandIn(cwd, "pdfmeta", writesInfo);
        if (!c.helper.empty()) WriteStandIn(helpers, "pdfmeta", c.helper);
        CEbookPdf pdf;
        pdf.UseHelpersFrom(helpers.Path());
        GetMetaContext ctx{temp.Path(), temp / "cover.pending"};
        EXPECT_EQ(pdf.GetMetaData(cwd / "in.pdf", ctx), c.rc);
        EXPECT_EQ(FileExists(ctx.m_CoverImageFile), c.cover);
        EXPECT_EQ(Metadata(*pdf.GetIntermediateBook(), "title"), c.rc == RC_OK ? "T" : "");
        EXPECT_FALSE(FileExists(cwd / "args.txt")) << "the working folder's helper ran";
        size_t left = 0;
        for (const auto& entry : std::filesystem::directory_iterator(temp.Path()))
            left += entry.path().filename() != "cover.pending";
        EXPECT_EQ(left, 0u) << "the helper's folder was left in the TempDirectory";
    }
}

} // namespace
