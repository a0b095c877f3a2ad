// Runs the built program the way callers do and checks the printed lines and the exit status.
#include "base/Files.h"
#include "base/Folders.h"
#include "base/Images.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "base/Zip.h"

#include "CatchErrors.h"
#include "TestSupport.h"

#include <filesystem>
#include <map>
#include <set>

namespace
{

const char* const BANNER_START = "*********************************************************************\n";

struct UsageCase {
    const char* label;
    std::vector<std::string> args;
};

TEST(TarvoCmd, MalformedCommandLinesPrintTheUsage)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "book.epub", "x");
    WriteWholeFile(scratch / "empty.json", "");
    const UsageCase cases[] = {
        {"no arguments", {}},
        {"unknown command", {"x", "a", "b", "c", "d"}},
        {"long command word", {"get", "book.epub", "tmp", "m.json", "c.jpg"}},
        {"g with five arguments", {"g", "book.epub", "tmp", "meta.json"}},
        {"g with seven arguments", {"g", "book.epub", "tmp", "meta.json", "c.jpg", "extra"}},
        {"s with too few", {"s", "book.epub"}},
        {"s file form, missing file", {"s", "book.epub", "tmp", "-t"}},
        {"s file form, empty file", {"s", "book.epub", "tmp", "empty.json"}},
        {"c with too few", {"c", "book.epub", "out.epub"}},
    };
    for (const UsageCase& c : cases) {
        SCOPED_TRACE(c.label);
        CommandRun run = RunTarvoCmd(c.args, scratch.Path());
        EXPECT_TRUE(StartsWith(run.out, BANNER_START)) << run.out;
        EXPECT_NE(run.out.find("Format:\r\n    TarvoCmd g <InputFile>"), std::string::npos);
        EXPECT_NE(run.out.find("[-setv]\r\n\n"), std::string::npos) << "usage ends with CR LF and a newline";
        EXPECT_EQ(run.out.find("return"), std::string::npos);
        EXPECT_EQ(run.exitStatus, 1);
    }
}

const char* const STARS = "*********************************************************************";
const char* const WRITTEN =
    "epub, mobi, azw, azw3, pdf, html, htm, xhtml, shtml, txt, opf, json (a name without "
    "extension is written as EPUB)";
const char* const READ =
    "epub, mobi, azw, azw3, prc, azw4, pdf, html, htm, xhtml, shtml, txt, htmlz, opf (a name "
    "without extension is read as EPUB)";
const std::string LAST_USAGE_LINE = std::string("Formats written: ") + WRITTEN;
const std::string NOT_WRITTEN = std::string("files cannot be written; formats written: ") + WRITTEN + "\n";
const std::string NOT_READ = std::string("files cannot be read; formats read: ") + READ + "\n";

struct LineCase {
    const char* label;
    std::vector<std::string> args; // run in a folder holding book.txt, book.epub, x.azw1 and x.txt.
    int exitStatus;
    std::string firstLine; // of standard output
    std::string lastLine;
    std::string errors; // standard error, whole
    bool runs = false;  // a run starts: the TempDirectory "job" is made
};

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

std::string LastLine(std::string text)
{
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1); // npos + 1 is 0
}

// What a person typing a command slightly wrong is told, and that nothing starts when the line
// cannot be carried out.
TEST(TarvoCmd, CommandLinesAndWhatTheyTell)
{
    const std::string E = "TarvoCmd: ";
    const LineCase cases[] = {
        {"help", {"--help"}, 0, STARS, LAST_USAGE_LINE, ""},
        {"short help", {"-h"}, 0, STARS, LAST_USAGE_LINE, ""},
        {"version", {"--version"}, 0, "TarvoCmd 0.8.3", "TarvoCmd 0.8.3", ""},
        {"nothing at all", {}, 1, STARS, LAST_USAGE_LINE, ""},
        {"unknown output extension",
         {"c", "book.epub", "out.azw33", "job"},
         255,
         "Not Support!",
         "return 16777216",
         E + "out.azw33: .azw33 " + NOT_WRITTEN},
        {"kepub output",
         {"c", "book.epub", "out.kepub", "job"},
         255,
         "Not Support!",
         "return 16777216",
         E + "out.kepub: .kepub " + NOT_WRITTEN},
        {"prc output",
         {"c", "book.epub", "out.prc", "job"},
         255,
         "Not Support!",
         "return 16777216",
         E + "out.prc: .prc " + NOT_WRITTEN},
        {"print replica output",
         {"c", "book.epub", "out.azw4", "job"},
         255,
         "Not Support!",
         "return 16777216",
         E + "out.azw4: .azw4 " + NOT_WRITTEN},
        {"htmlz output",
         {"c", "book.epub", "out.htmlz", "job"},
         255,
         "Not Support!",
         "return 16777216",
         E + "out.htmlz: .htmlz " + NOT_WRITTEN},
        {"unknown input extension",
         {"c", "book.doc", "out.epub", "job"},
         255,
         "Not Support!",
         "return 16777216",
         E + "book.doc: .doc " + NOT_READ},
        {"input ending in a dot",
         {"c", "x.txt.", "out.epub", "job"},
         255,
         "Not Support!",
         "return 16777216",
         E + "x.txt.: a name ending in \".\" cannot be read; formats read: " + READ + "\n"},
        {"topaz input",
         {"c", "x.azw1", "out.epub", "job"},
         255,
         "Not Support!",
         "return 16777216",
         E + "x.azw1: .azw1 " + NOT_READ},
        {"json input",
         {"c", "meta.json", "out.epub", "job"},
         255,
         "Not Support!",
         "return 16777216",
         E + "meta.json: .json " + NOT_READ},
        {"language missing",
         {"c", "book.txt", "out.epub", "job", "-setl"},
         1,
         STARS,
         LAST_USAGE_LINE,
         E + "-setl needs a value after it\n"},
        {"language not a tag",
         {"c", "book.txt", "out.epub", "job", "-setl", "English"},
         1,
         STARS,
         LAST_USAGE_LINE,
         E + "-setl English: not a language tag (two or three letters, then subtags of 1 to 8 letters or "
             "digits "
             "after \"-\", as in en, pt-BR, zh-Hant)\n"},
        {"renderer options missing",
         {"c", "book.txt", "out.pdf", "job", "-wk"},
         1,
         STARS,
         LAST_USAGE_LINE,
         E + "-wk needs a value after it\n"},
        {"set language not a tag",
         {"s", "book.epub", "job", "-t", "T", "-l", "french"},
         1,
         STARS,
         LAST_USAGE_LINE,
         E + "-l french: not a language tag (two or three letters, then subtags of 1 to 8 letters or digits "
             "after \"-\", as in en, pt-BR, zh-Hant)\n"},
        {"g of an unknown extension",
         {"g", "book.doc", "job", "m.json", "c.jpg"},
         1,
         "GetEbook init failed!",
         "return 16777217",
         E + "book.doc: .doc files are no books TarvoCmd knows; it reads " + READ + "\n"},
        {"c with an empty TempDirectory",
         {"c", "book.txt", "out.epub", ""},
         1,
         "Processed 100%",
         "return 16777217",
         E + "the TempDirectory is an empty name\n"},
        {"stray argument named, the run goes on",
         {"c", "book.txt", "out.epub", "job", "extra"},
         0,
         "Start Convert",
         "return 0",
         E + "ignored argument: extra\n",
         true},
        {"trailing set option named, the rest set",
         {"s", "book.epub", "job", "-a", "Ann", "-t"},
         0,
         "succeed",
         "return 0",
         E + "-t has no value after it; nothing set for it\n",
         true},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(WriteWholeFile(scratch / "book.txt", "A short book.\n\nIts second paragraph.\n"), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "book.epub", ReadWholeFile(DataPath("epub/qs-eng.epub"))), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "book.doc", "a document"), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "x.azw1", "TPZ0 and some bytes"), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "x.txt.", "text"), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "meta.json", "{}"), RC_OK);
        std::string errors;
        CommandRun run = RunCatchingErrors(c.args, scratch, errors);
        EXPECT_EQ(run.exitStatus, c.exitStatus);
        EXPECT_EQ(FirstLine(run.out), c.firstLine) << run.out;
        EXPECT_EQ(LastLine(run.out), c.lastLine) << run.out;
        EXPECT_EQ(errors, c.errors);
        EXPECT_EQ(DirectoryExists(scratch / "job"), c.runs);
        if (!c.runs) {
            EXPECT_EQ(run.out.find("Start Convert"), std::string::npos) << "refused before any work";
            EXPECT_FALSE(DirectoryExists(scratch / "marlek_log"));
        }
    }
}

// The usage names every option and keeps its first lines as they always were.
TEST(TarvoCmd, UsageNamesEveryOption)
{
    ScratchDir scratch;
    CommandRun run = RunTarvoCmd({"--help"}, scratch.Path());
    const std::string firstUsageLines =
        "Format:\r\n    TarvoCmd g <InputFile> <TempDirectory> <MetaDataFile> "
        "<CoverImageFile>\r\n    TarvoCmd s <InputFile> <TempDirectory> <MetaDataFile>\r\n";
    EXPECT_NE(run.out.find(firstUsageLines), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("[-setl <language>] [-setv]\r\n\n    TarvoCmd --help | -h | --version\n"),
              std::string::npos);
    for (const char* option : {"-t <title>", "-a <author>", "-p ", "-l ", "-d ", "-isbn", "-asin", "-desc",
                               "-cover", "-setl", "-setv", "-notidy", "-pdf2html", "-wk"})
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
    EXPECT_NE(run.out.find(std::string("Formats read:    ") + READ + "\n"), std::string::npos);
}

TEST(TarvoCmd, MissingInputIsReportedWithoutALog)
{
    ScratchDir scratch;
    CommandRun run = RunTarvoCmd({"c", "missing.epub", "out.epub", scratch / "t/job1"}, scratch.Path());
    EXPECT_EQ(run.out, "Processed 100%\nInput file is not existed!\nreturn 16777220\n");
    EXPECT_EQ(run.exitStatus, 4);
    EXPECT_FALSE(DirectoryExists(scratch / "t/marlek_log"));
}

TEST(TarvoCmd, TopazIsRecognisedAndTheLogFiledAsSuccess)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "x.azw1", "TPZ0 and some bytes");
    for (const char* word : {"g", "G"}) {
        SCOPED_TRACE(word);
        CommandRun run =
            RunTarvoCmd({word, "x.azw1", scratch / "job2", "meta.json", "cover.jpg"}, scratch.Path());
        EXPECT_EQ(run.out, "Have Kindle TPZ DRM!\nreturn 65542\n");
        EXPECT_EQ(run.exitStatus, 6);
    }
    std::string log = ReadWholeFile(scratch / "marlek_log/OK/job2.txt");
    EXPECT_TRUE(StartsWith(log, "Tarvo      Version: 0.8.3   BuildNo: 563\r\nx.azw1\r\nWarning:")) << log;
    EXPECT_NE(log.find("[getMetaInfoOrg] getMeta END\r\nUse time(ms): "), std::string::npos) << log;
    EXPECT_FALSE(FileExists(scratch / "marlek_log/job2.txt"));

    // Conversion is refused before a run starts; the table of command lines below has the case.
}

TEST(TarvoCmd, ConversionProgressAndRefusedPairs)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "a.opf", "<package/>");
    CommandRun run = RunTarvoCmd({"c", "a.opf", "b.opf", scratch / "job"}, scratch.Path());
    EXPECT_EQ(run.out, "Start Convert\nProcessed 100%\nNot Support!\nreturn 16777216\n");
    std::string log = ReadWholeFile(scratch / "marlek_log/job.txt");
    EXPECT_NE(log.find("ERROR:"), std::string::npos);
    EXPECT_NE(log.find("[convertOrg] convert don't be supported!\r\n"), std::string::npos) << log;
}

TEST(TarvoCmd, FileWithoutExtensionIsAnEpubCalledKobo)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "Book", "not really a book");
    CommandRun run = RunTarvoCmd({"c", "Book", "out.txt", scratch.Path() + "w\\job"}, scratch.Path());
    EXPECT_NE(
        run.out.find("Converting Input To Epub\nProcessed 40%\nProcessed 100%\nFix epub File failed!\n"),
        std::string::npos)
        << run.out;
    EXPECT_TRUE(DirectoryExists(scratch / "w/job")) << "a backslash in the TempDirectory separates folders";
    std::string log = ReadWholeFile(scratch / "w/marlek_log/job.txt");
    EXPECT_NE(log.find("] InputFormat  : kobo\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] OutputFormat : txt\r\n"), std::string::npos);
    EXPECT_NE(log.find("] pInParam == NULL\r\n"), std::string::npos);
}

TEST(TarvoCmd, ConvertOptionsReachTheLogAsJson)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "a.epub", "x");
    RunTarvoCmd({"c", "a.epub", "b.mobi", scratch / "job", "-setv", "-setl", "en", "-notidy"},
                scratch.Path());
    std::string log = ReadWholeFile(scratch / "marlek_log/job.txt");
    EXPECT_NE(log.find("] InParam:{\"inparam_notidy\":\"1\"}\r\n"), std::string::npos) << log;
}

TEST(TarvoCmd, UpperCaseInputExtensionStillFindsTheFile)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "X.AZW1", "TPZ.");
    CommandRun run = RunTarvoCmd({"g", "X.AZW1", scratch / "job", "m.json", ""}, scratch.Path());
    EXPECT_EQ(run.out, "Have Kindle TPZ DRM!\nreturn 65542\n");
}

} // namespace

namespace
{

struct EpubJob {
    const char* label;
    const char* fixture;
    const char* inputName;
};

const EpubJob kEpubJobs[] = {
    {"epub", "epub/qs-eng.epub", "book.epub"},
    {"no extension", "epub/qs-fra-no-extension", "book"},
};

TEST(TarvoCmdEpub, ConvertGetAndSetFromTheCommandLine)
{
    for (const EpubJob& job : kEpubJobs) {
        SCOPED_TRACE(job.label);
        ScratchDir scratch;
        WriteWholeFile(scratch / job.inputName, ReadWholeFile(DataPath(job.fixture)));

        CommandRun convert = RunTarvoCmd(
            {"c", job.inputName, "out.epub", scratch / "w1", "-setl", "fr", "-setv"}, scratch.Path());
        EXPECT_TRUE(EndsWith(convert.out, "Processed 100%\nsucceed\nreturn 0\n")) << convert.out;
        EXPECT_TRUE(StartsWith(convert.out, "Start Convert\nProcessed 10%\nConverting Input To Epub\n"));
        EXPECT_EQ(convert.exitStatus, 0);

        CommandRun get =
            RunTarvoCmd({"g", "out.epub", scratch / "w2", "meta.json", "cover.img"}, scratch.Path());
        EXPECT_EQ(get.out, "succeed\nreturn 0\n");
        std::string meta = ReadWholeFile(scratch / "meta.json");
        EXPECT_NE(meta.find("\"language\":\"fr\""), std::string::npos) << meta;
        EXPECT_NE(meta.find("\"coverimageext\":\"jpg\""), std::string::npos) << meta;
        EXPECT_EQ(ImageTypeOf(ReadWholeFile(scratch / "cover.img")), "jpg");

        WriteWholeFile(scratch / "set.json", "\xEF\xBB\xBF{\"title\":\"Set From File\",\"creator\":\"Ann\"}");
        CommandRun setFile = RunTarvoCmd({"s", job.inputName, scratch / "w3", "set.json"}, scratch.Path());
        EXPECT_EQ(setFile.out, "succeed\nreturn 0\n");
        CommandRun setOptions = RunTarvoCmd(
            {"s", job.inputName, scratch / "w4", "-a", "Bob", "-a", "Cy", "-p", "Pub", "-cover", "cover.img"},
            scratch.Path());
        EXPECT_EQ(setOptions.out, "succeed\nreturn 0\n");

        RunTarvoCmd({"g", job.inputName, scratch / "w5", "again.json", ""}, scratch.Path());
        std::string again = ReadWholeFile(scratch / "again.json");
        EXPECT_NE(again.find("\"title\":\"Set From File\""), std::string::npos) << again;
        EXPECT_NE(again.find("\"creator\":\"Bob & Cy\""), std::string::npos) << again;
        EXPECT_NE(again.find("\"publisher\":\"Pub\""), std::string::npos) << again;
        EXPECT_TRUE(FileExists(scratch / "marlek_log/OK/w5.txt"));
    }
}

TEST(TarvoCmdEpub, BrokenArchiveGivesAFailureCode)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "x.epub", "PK\x03\x04 but nothing more");
    CommandRun run = RunTarvoCmd({"c", "x.epub", "y.epub", scratch / "w"}, scratch.Path());
    EXPECT_NE(run.out.find("return "), std::string::npos);
    EXPECT_NE(run.exitStatus, 0);
}

} // namespace

namespace
{

// A small site: nested folders, a link cycle, images, style sheets, a page that climbs out.
void WriteSite(const ScratchDir& scratch)
{
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(40, 'p');
    MakePath(scratch / "site/chapters/deep/");
    MakePath(scratch / "site/img/");
    WriteWholeFile(scratch / "site/index.html",
                   "<html><head><title>Site</title><link rel=\"stylesheet\" href=\"style.css\"/></head><body>"
                   "<h1>Book</h1><p><a href=\"chapters/one.html\">One</a></p><img src=\"img/cover.png\"/>"
                   "<img src=\"../../../../outside.png\"/></body></html>");
    WriteWholeFile(scratch / "site/chapters/one.html",
                   "<html><body><h2>Chapter One</h2><p><a href=\"deep/two.html#s\">Two</a> "
                   "<a href=\"../index.html\">Home</a></p><img src=\"../img/pic.png\"/></body></html>");
    WriteWholeFile(
        scratch / "site/chapters/deep/two.html",
        "<html><head><link rel=\"stylesheet\" href=\"../../style.css\"/></head><body>"
        "<h2 id=\"s\">Chapter Two</h2><h3>Section</h3><p><a href=\"../one.html\">back</a></p></body></html>");
    WriteWholeFile(scratch / "site/style.css", "p { margin: 0 }");
    WriteWholeFile(scratch / "site/img/cover.png", png);
    WriteWholeFile(scratch / "site/img/pic.png", png);
}

TEST(TarvoCmdHtml, SiteToEpubAndBackKeepsPagesImagesAndLinks)
{
    ScratchDir scratch;
    WriteSite(scratch);
    CommandRun in = RunTarvoCmd({"c", "site/index.html", "book.epub", scratch / "w1"}, scratch.Path());
    ASSERT_TRUE(EndsWith(in.out, "succeed\nreturn 0\n")) << in.out;
    CommandRun out = RunTarvoCmd({"c", "book.epub", "out/start.html", scratch / "w2"}, scratch.Path());
    ASSERT_TRUE(EndsWith(out.out, "succeed\nreturn 0\n")) << out.out;

    for (const char* file :
         {"out/start.html", "out/start_files/chapters/one.html", "out/start_files/chapters/deep/two.html",
          "out/start_files/style.css", "out/start_files/img/cover.png", "out/start_files/img/pic.png"})
        EXPECT_TRUE(FileExists(scratch / file)) << file;
    EXPECT_FALSE(FileExists(scratch / "outside.png"));
    EXPECT_FALSE(FileExists(scratch / "out/start_files/index.html"))
        << "the first page takes the output name";
    std::string one = ReadWholeFile(scratch / "out/start_files/chapters/one.html");
    EXPECT_NE(one.find("href=\"../../start.html\""), std::string::npos)
        << "links follow the renamed first page: " << one;
    EXPECT_NE(one.find("href=\"deep/two.html#s\""), std::string::npos);

    RunTarvoCmd({"c", "book.epub", "x.txt", scratch / "w3"}, scratch.Path());
    std::string text = ReadWholeFile(scratch / "x.txt");
    size_t book = text.find("Book"), chapterOne = text.find("Chapter One"), section = text.find("Section");
    EXPECT_TRUE(book < chapterOne && chapterOne < section) << text;
}

} // namespace

namespace
{

TEST(TarvoCmdEpub, PackageNamingFilesAboveTheBookReachesNothingOutside)
{
    ScratchDir scratch;
    MakePath(scratch / "a/b/");
    const std::string victim = "<html><body><p>Tom & Jerry</p></body></html>";
    WriteWholeFile(scratch / "a/victim.html", victim);
    CZip zip;
    zip.AddFile("mimetype", "application/epub+zip");
    zip.m_Entries.back().m_Method = 0;
    zip.AddFile("META-INF/container.xml",
                "<container><rootfiles><rootfile full-path=\"OEBPS/content.opf\"/></rootfiles></container>");
    zip.AddFile("OEBPS/content.opf",
                "<?xml version=\"1.0\"?><package><metadata><title>t</title></metadata><manifest>"
                "<item id=\"a\" href=\"a.html\" media-type=\"application/xhtml+xml\"/>"
                "<item id=\"v\" href=\"../../../victim.html\" media-type=\"application/xhtml+xml\"/>"
                "</manifest><spine><itemref idref=\"v\"/><itemref idref=\"a\"/></spine></package>");
    zip.AddFile("OEBPS/a.html", "<html><body><p>inside & fine</p></body></html>");
    ASSERT_EQ(zip.WriteArchive(scratch / "book.epub", zip.m_Entries, false, false), RC_OK);

    CommandRun run = RunTarvoCmd({"c", "book.epub", "out.epub", scratch / "a/b/job"}, scratch.Path());
    EXPECT_TRUE(EndsWith(run.out, "succeed\nreturn 0\n")) << run.out;
    EXPECT_EQ(ReadWholeFile(scratch / "a/victim.html"), victim)
        << "a file outside the TempDirectory was rewritten";
    CZip out;
    ASSERT_EQ(out.Open(scratch / "out.epub", false, false), RC_OK);
    ASSERT_EQ(out.ReadDirectory(), RC_OK);
    for (const ZipEntry& e : out.m_Entries)
        EXPECT_EQ(e.m_Name.find("victim"), std::string::npos) << e.m_Name;
}

} // namespace

struct KindleOutputCase {
    const char* label;
    const char* fixture;
    const char* output;
    const char* recordStep; // progress line of the record sets
};
const KindleOutputCase kKindleOutputs[] = {
    {"EPUB to azw3", "epub/qs-eng.epub", "out.azw3", "Make Record\n"},
    {"EPUB to a joint mobi", "epub/qs-eng.epub", "out.mobi", "Make Record\nMake Record KF7\n"},
    {"text to azw", "text/en-utf8.txt", "out.azw", "Make Record\nMake Record KF7\n"},
    {"MOBI 6 to azw3", "mobi/qs-eng-mobi6.mobi", "out.azw3", "Make Record\n"},
};

TEST(TarvoCmdKindle, ConvertedBooksReadBack)
{
    for (const KindleOutputCase& c : kKindleOutputs) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        CommandRun convert =
            RunTarvoCmd({"c", DataPath(c.fixture), c.output, scratch / "w1"}, scratch.Path());
        EXPECT_TRUE(EndsWith(convert.out, std::string("Converting Output To MobiFrame\n") + c.recordStep +
                                              "Processed 95%\nCreating MobiFrame Output\nProcessed 100%\n"
                                              "succeed\nreturn 0\n"))
            << convert.out;

        CommandRun back = RunTarvoCmd({"c", c.output, "back.epub", scratch / "w2"}, scratch.Path());
        EXPECT_EQ(back.exitStatus, 0) << back.out;
        CommandRun get =
            RunTarvoCmd({"g", c.output, scratch / "w3", "meta.json", "cover.img"}, scratch.Path());
        EXPECT_EQ(get.out, "succeed\nreturn 0\n");
        EXPECT_NE(ReadWholeFile(scratch / "meta.json").find("\"title\":\""), std::string::npos);
    }
}

namespace
{

// A page of about 600 KB: a style element, links at the top to sections further down (and so in
// later pieces), and a link from the end back to the top.
std::string BigLinkedPage(int sections)
{
    std::string page = "<html><head><title>Big</title><style>p { text-indent: 1em }</style></head><body>\n"
                       "<h1 id=\"top\">Contents</h1>\n";
    for (int s = 0; s < sections; ++s)
        page += "<p><a href=\"#s" + std::to_string(s) + "\">Section " + std::to_string(s) + "</a></p>\n";
    for (int s = 0; s < sections; ++s) {
        page += "<h2 id=\"s" + std::to_string(s) + "\">Section " + std::to_string(s) + "</h2>\n";
        for (int line = 0; line < 150; ++line)
            page += "<p>Words of section " + std::to_string(s) + ", line " + std::to_string(line) + ".</p>\n";
    }
    return page + "<p><a href=\"#top\">Back to the contents</a></p></body></html>\n";
}

// Every value of the attribute in the page, found by plain text search.
std::vector<std::string> AttributeValues(const std::string& page, const std::string& attribute)
{
    std::vector<std::string> values;
    const std::string start = " " + attribute + "=\"";
    for (size_t at = page.find(start); at != std::string::npos; at = page.find(start, at + 1)) {
        size_t from = at + start.size(), end = page.find('"', from);
        if (end != std::string::npos) values.push_back(page.substr(from, end - from));
    }
    return values;
}

} // namespace

// A page far larger than a piece goes into the KF8 text a piece at a time, each piece a file of the
// book: it reads back with every section in order, every link landing on its id, and the style
// element stored once.
TEST(TarvoCmdKindle, BigPageGoesInPiecesAndReadsBackWhole)
{
    ScratchDir scratch;
    const int sections = 100;
    ASSERT_EQ(WriteWholeFile(scratch / "big.html", BigLinkedPage(sections)), RC_OK);
    ASSERT_EQ(RunTarvoCmd({"c", "big.html", "big.azw3", scratch / "w1"}, scratch.Path()).exitStatus, 0);
    ASSERT_EQ(RunTarvoCmd({"c", "big.azw3", "back.epub", scratch / "w2"}, scratch.Path()).exitStatus, 0);
    ASSERT_EQ(RunProgramCapture("/usr/bin/unzip", {"-q", scratch / "back.epub", "-d", scratch / "back"}, "")
                  .exitStatus,
              0);
    std::map<std::string, std::string> pages; // file -> text
    size_t styleSheets = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(scratch / "back")) {
        const std::string name = entry.path().string();
        if (EndsWith(name, ".css")) ++styleSheets;
        if (EndsWith(name, "html")) pages[name] = ReadWholeFile(name);
    }
    EXPECT_GE(pages.size(), 3u) << "the page was not cut";
    EXPECT_EQ(styleSheets, 1u);
    std::map<std::string, std::set<std::string>> ids;
    for (const auto& [name, text] : pages)
        for (const std::string& id : AttributeValues(text, "id"))
            ids[GetFileName(name)].insert(id);
    size_t links = 0;
    for (const auto& [name, text] : pages) {
        for (const std::string& href : AttributeValues(text, "href")) {
            size_t hash = href.find('#');
            if (hash == std::string::npos || EndsWith(href.substr(0, hash), ".css")) continue;
            std::string file = hash == 0 ? GetFileName(name) : GetFileName(href.substr(0, hash));
            ++links;
            EXPECT_EQ(ids[file].count(href.substr(hash + 1)), 1u) << name << " -> " << href;
        }
    }
    EXPECT_EQ(links, static_cast<size_t>(sections) + 1);
    ASSERT_EQ(RunTarvoCmd({"c", "big.azw3", "back.txt", scratch / "w3"}, scratch.Path()).exitStatus, 0);
    const std::string text = ReadWholeFile(scratch / "back.txt");
    EXPECT_NE(text.find("Back to the contents"), std::string::npos);
    size_t at = 0;
    for (int s = 0; s < sections; ++s) {
        const std::string line = "Words of section " + std::to_string(s) + ", line 149.";
        size_t next = text.find(line);
        ASSERT_NE(next, std::string::npos) << line;
        EXPECT_TRUE(s == 0 || next > at) << line;
        at = next;
    }
}

TEST(TarvoCmdKindle, FailedConversionLeavesThePreviousOutput)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "out.azw3", "the previous book");
    CommandRun run =
        RunTarvoCmd({"c", DataPath("mobi/bad-eof-record.mobi"), "out.azw3", scratch / "w"}, scratch.Path());
    EXPECT_NE(run.exitStatus, 0) << run.out;
    EXPECT_EQ(ReadWholeFile(scratch / "out.azw3"), "the previous book");
}

TEST(TarvoCmd, RelativeTempDirectoryAndMissingOutputFolders)
{
    ScratchDir scratch;
    CommandRun run =
        RunTarvoCmd({"c", DataPath("text/en-utf8.txt"), "new/dir/out.azw3", "job"}, scratch.Path());
    EXPECT_TRUE(EndsWith(run.out, "succeed\nreturn 0\n")) << run.out;
    EXPECT_TRUE(FileExists(scratch / "new/dir/out.azw3"));
    EXPECT_TRUE(FileExists(scratch / "marlek_log/OK/job.txt")) << "the log goes beside the TempDirectory";
}

namespace
{

// Runs TarvoCmd with its files limited to limitBlocks of 512 bytes, as on a nearly full disk. The
// shell ignores the signal the kernel sends at the limit (kept across exec), so writes fail instead.
CommandRun RunTarvoCmdLimited(int limitBlocks, const std::vector<std::string>& args,
                              const std::string& workingDirectory)
{
    std::vector<std::string> all = {
        "-c", "trap '' XFSZ; ulimit -f " + std::to_string(limitBlocks) + "; exec \"$0\" \"$@\"",
        TARVO_CMD_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgramCapture("/bin/sh", all, workingDirectory);
}

struct TextOutputCase {
    const char* label;
    int limitBlocks; // 0: no limit
    const char* output;
    bool succeeds;
};

TEST(TarvoCmdOutput, TextOutputIsWrittenWholeOrNotAtAll)
{
    // Pages of about 10 KB each: every intermediate file stays under the limit, the text output (about
    // 60 KB) does not.
    ScratchDir book;
    std::string index = "<html><head><title>Six pages</title></head><body>";
    for (int i = 1; i <= 6; ++i) {
        std::string name = "p" + std::to_string(i) + ".html";
        index += "<p><a href=\"" + name + "\">page " + std::to_string(i) + "</a></p>";
        std::string text;
        for (int j = 0; j < 100; ++j)
            text += "<p>Line " + std::to_string(j) + " of page " + std::to_string(i) +
                    ", with words enough to fill it, and a few more words to make it longer still.</p>\n";
        ASSERT_EQ(WriteWholeFile(book / name, "<html><body>" + text + "</body></html>"), RC_OK);
    }
    ASSERT_EQ(WriteWholeFile(book / "index.html", index + "</body></html>"), RC_OK);

    const TextOutputCase cases[] = {
        {"full disk over a previous output", 64, "out.txt", false},
        {"a folder in the output's place", 0, "dir.txt", false},
        {"a folder in the HTML page's place", 0, "dir.html", false},
        {"room enough", 0, "out.txt", true},
    };
    for (const TextOutputCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(WriteWholeFile(scratch / "out.txt", "the previous good text"), RC_OK);
        ASSERT_EQ(MakeDirectory(scratch / "dir.txt"), RC_OK);
        ASSERT_EQ(MakeDirectory(scratch / "dir.html"), RC_OK);
        std::vector<std::string> args = {"c", book / "index.html", c.output, scratch / "job"};
        CommandRun run = c.limitBlocks != 0 ? RunTarvoCmdLimited(c.limitBlocks, args, scratch.Path())
                                            : RunTarvoCmd(args, scratch.Path());
        std::string text = ReadWholeFile(scratch / "out.txt");
        if (c.succeeds) {
            EXPECT_TRUE(EndsWith(run.out, "succeed\nreturn 0\n")) << run.out;
            EXPECT_GT(text.size(), size_t{50000});
            EXPECT_NE(text.find("Line 99 of page 6"), std::string::npos);
            continue;
        }
        EXPECT_TRUE(EndsWith(run.out, "\nOpen/Create file failed!\nreturn 33554433\n") ||
                    EndsWith(run.out, "\nWrite File failed!\nreturn 33554435\n"))
            << run.out;
        EXPECT_NE(run.exitStatus, 0);
        EXPECT_TRUE(text == "the previous good text") << text.size() << " bytes";
        EXPECT_TRUE(DirectoryExists(scratch / "dir.txt"));
        EXPECT_TRUE(DirectoryExists(scratch / "dir.html"));
        EXPECT_FALSE(FileExists(scratch / "marlek_log/OK/job.txt"));
    }
}

struct PageMetaCase {
    const char* label;
    const char* page;
    const char* metadata;
};

TEST(TarvoCmdOutput, GetMetaOfAPageReadsItsTitleAndAuthor)
{
    const PageMetaCase cases[] = {
        {"title and author",
         "<html><head><meta name=\"author\" content=\"Mary Shelley\"><title>Frankenstein</title>"
         "</head><body><p>x</p></body></html>",
         R"({"creator":"Mary Shelley","title":"Frankenstein"})"},
        {"a title alone", "<title>Only &lt;a&gt; title</title><p>x</p>", R"({"title":"Only <a> title"})"},
        {"an author meta of another name", "<meta name=\"description\" content=\"not an author\"><p>x</p>",
         "{}"},
        {"nothing", "<p>just text</p>", "{}"},
    };
    for (const PageMetaCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(WriteWholeFile(scratch / "page.html", c.page), RC_OK);
        CommandRun run =
            RunTarvoCmd({"g", "page.html", scratch / "job", "meta.json", "cover.jpg"}, scratch.Path());
        EXPECT_EQ(run.out, "succeed\nreturn 0\n");
        EXPECT_EQ(ReadWholeFile(scratch / "meta.json"), c.metadata);
        EXPECT_FALSE(FileExists(scratch / "cover.jpg"));
    }
}

} // namespace

struct GetFailureCase {
    const char* label;
    const char* metadataFile;
    const char* coverFile;
};

TEST(TarvoCmdOutput, GetReportsWhatItCouldNotWrite)
{
    const GetFailureCase cases[] = {
        {"metadata file in a missing folder", "missing/meta.json", "cover.jpg"},
        {"a folder in the metadata file's place", "dir", "cover.jpg"},
        {"a folder in the cover's place", "meta.json", "dir"},
    };
    for (const GetFailureCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(MakeDirectory(scratch / "dir"), RC_OK);
        CommandRun run = RunTarvoCmd(
            {"g", DataPath("mobi/qs-eng-mobi6.mobi"), scratch / "job", c.metadataFile, c.coverFile},
            scratch.Path());
        EXPECT_EQ(run.out, "Open/Create file failed!\nreturn 33554433\n");
        EXPECT_NE(run.exitStatus, 0);
        EXPECT_TRUE(DirectoryExists(scratch / "dir"));
        EXPECT_FALSE(FileExists(scratch / "marlek_log/OK/job.txt"));
    }
}
