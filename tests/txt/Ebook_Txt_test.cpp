#include "txt/Ebook_Txt.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"

#include "TestSupport.h"

#include <chrono>
#include <cstdlib>
#include <sys/resource.h>
#include <utility>

namespace
{

const std::string PAGE_HEAD =
    "<html xmlns=\"http://www.w3.org/1999/xhtml\">\r\n<head>\r\n\t<title>T</title>\r\n\t"
    "<meta http-equiv=\"Content-Type\" content=\"text/html;charset=utf-8\"/>\r\n</head>\r\n"
    "<body>\r\n";
const std::string PAGE_TAIL = "\r\n</body>\r\n</html>";

std::vector<std::string> TextPages(const std::string& title, const std::string& text)
{
    std::vector<std::string> pages;
    WriteTextPages(title, text, [&pages](const std::string& page) {
        pages.push_back(page);
        return RC_OK;
    });
    return pages;
}

struct PageCase {
    const char* label;
    std::string text;
    std::string body;
};

TEST(TextPage, ParagraphsFollowTheFirstLineSeparator)
{
    const PageCase cases[] = {
        {"empty line between words", "one\r\n\r\ntwo", "<p>one</p><p>two</p>"},
        {"lf only keeps stray cr", "a\rb\nc", "<p>a\rb</p><p>c</p>"},
        {"crlf wins over an earlier lf", "a\nb\r\nc", "<p>a\nb</p><p>c</p>"},
        {"cr only", "a\rb", "<p>a</p><p>b</p>"},
        {"ending line break gives an empty paragraph", "a\n", "<p>a</p><p></p>"},
        {"no separator at all", "just one line", "<p>just one line</p>"},
        {"escaping", "x & <1> \"q\" &lt; &amp; &quot; &gt; &copy;",
         "<p>x &amp; &lt;1&gt; &quot;q&quot; &amp;lt; &amp;amp; &amp;quot; &amp;gt; &amp;copy;</p>"},
    };
    for (const PageCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(TextPages("T", c.text), std::vector<std::string>{PAGE_HEAD + c.body + PAGE_TAIL});
    }
}

TEST(TextPage, TitleCannotBreakThePage)
{
    std::string page = TextPages("a<b & c", "x").at(0);
    EXPECT_NE(page.find("<title>a&lt;b &amp; c</title>"), std::string::npos);
}

// A long text comes in pages of about a megabyte, each a whole page, cut only between
// paragraphs, and together they hold every line once, in order.
TEST(TextPage, LargeTextsComeInWholePagesInLinearTime)
{
    std::string text, expectedBody;
    for (int i = 0; i < 200000; ++i) {
        const std::string number = std::to_string(i);
        text += "Line number " + number + " & more <text>\r\n";
        expectedBody += "<p>Line number " + number + " &amp; more &lt;text&gt;</p>";
    }
    expectedBody += "<p></p>";
    auto start = std::chrono::steady_clock::now();
    std::vector<std::string> pages = TextPages("T", text);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 2000 * TimeScale());
    ASSERT_GT(pages.size(), 5u);
    std::string body;
    for (const std::string& page : pages) {
        EXPECT_LT(page.size(), (size_t(1) << 20) + 256);
        ASSERT_TRUE(StartsWith(page, PAGE_HEAD + "<p>"));
        ASSERT_TRUE(EndsWith(page, "</p>" + PAGE_TAIL));
        body += page.substr(PAGE_HEAD.size(), page.size() - PAGE_HEAD.size() - PAGE_TAIL.size());
    }
    EXPECT_EQ(body, expectedBody);
}

struct TitleCase {
    const char* label;
    const char* text;
    const char* title;
};

TEST(TextTitle, BracketsGiveTheTitle)
{
    const TitleCase cases[] = {
        {"double angle brackets",
         "\xE3\x80\x8A"
         "Debian \xE7\xBB\xB4\xE6\x8A\xA4"
         "\xE3\x80\x8B\r\nrest",
         "Debian \xE7\xBB\xB4\xE6\x8A\xA4"},
        {"two different names joined", "<one> and <two>", "one_two"},
        {"repeated name once", "<one> <one>", "one"},
        {"contained name skipped", "<one two> <two>", "one two"},
        {"greedy within one line",
         "\xE3\x80\x8A"
         "a\xE3\x80\x8B b \xE3\x80\x8B\nc\xE3\x80\x8B",
         "a\xE3\x80\x8B b "},
        {"not across lines",
         "\xE3\x80\x8A"
         "a\nb\xE3\x80\x8B",
         ""},
        {"nothing bracketed", "Plain text", ""},
        {"empty angle brackets are no name", "<>", ""},
    };
    for (const TitleCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(TitleFromText(c.text), c.title);
    }
}

TEST(TextTitle, FileNameIsCutAtTheFirstDot)
{
    EXPECT_EQ(TitleFromFileName("/books/my.story.txt"), "my");
    EXPECT_EQ(TitleFromFileName("C:\\books\\novel.txt"), "novel");
    EXPECT_EQ(TitleFromFileName("plain"), "plain");
}

TEST(EbookTxt, ConvertInputWritesOnePage)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "Fables.of.old.txt", "\xEF\xBB\xBFThe Fox\r\n\r\nSour grapes & more.\r\n");
    CEbookTxt handler;
    ConvertInputContext ctx{scratch.Path(), "", FORMAT_EPUB, ""};
    ASSERT_EQ(handler.Convert_Input(scratch / "Fables.of.old.txt", ctx), RC_OK);
    const CIntermediateBook& book = *handler.GetIntermediateBook();
    ASSERT_EQ(book.m_HtmlFileList.size(), 1u);
    EXPECT_TRUE(StartsWith(book.m_HtmlFileList[0], "TxtToHtml_"));
    EXPECT_EQ(book.m_MetaData.at("title"), std::vector<std::string>{"Fables"});
    std::string page = ReadWholeFile(scratch.Path() + book.m_HtmlFileList[0]);
    EXPECT_NE(page.find("<body>\r\n<p>The Fox</p><p>Sour grapes &amp; more.</p><p></p>\r\n</body>"),
              std::string::npos)
        << page;
}

TEST(EbookTxt, EmptyTextGivesAnEmptyBook)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "e.txt", "");
    CEbookTxt handler;
    ConvertInputContext ctx{scratch.Path(), "", FORMAT_EPUB, ""};
    EXPECT_EQ(handler.Convert_Input(scratch / "e.txt", ctx), RC_OK);
    EXPECT_TRUE(handler.GetIntermediateBook()->m_HtmlFileList.empty());
}

TEST(EbookTxt, UnwritableTempDirectoryFails)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "a.txt", "text");
    CEbookTxt handler;
    ConvertInputContext ctx{scratch / "missing/", "", FORMAT_EPUB, ""};
    EXPECT_EQ(handler.Convert_Input(scratch / "a.txt", ctx), RC_FILE_OPEN_FAILED);
    EXPECT_TRUE(handler.GetIntermediateBook()->m_HtmlFileList.empty());
}

TEST(EbookTxt, GetMetaDataReadsTheTitleFromTheStart)
{
    ScratchDir scratch;
    std::string text = "\xE3\x80\x8A"
                       "Title\xE3\x80\x8B\r\n" +
                       std::string(700, 'x') + "<late>";
    WriteWholeFile(scratch / "a.txt", text);
    CEbookTxt handler;
    GetMetaContext ctx{scratch.Path(), ""};
    ASSERT_EQ(handler.GetMetaData(scratch / "a.txt", ctx), RC_OK);
    EXPECT_EQ(handler.GetIntermediateBook()->m_MetaData.at("title"), std::vector<std::string>{"Title"});
}

TEST(TextHead, EmptyMetadataGivesOnlyTheGenerator)
{
    CIntermediateBook book;
    EXPECT_EQ(BuildTextHead(book), std::string("\xEF\xBB\xBFGenerate From\xEF\xBC\x9ATarvo v0.8.3.563 [ ") +
                                       MAKER_WEB_ADDRESS + " ]\r\n\r\n\r\n\r\n\r\n\r\n");
}

TEST(TextHead, FullMetadata)
{
    CIntermediateBook book;
    book.AddValue("title", "Dune");
    book.AddValue("creator", "A");
    book.AddValue("creator", "B");
    book.AddValue("identifier_ISBN", "978");
    book.AddValue("description", "D");
    std::string head = BuildTextHead(book);
    EXPECT_TRUE(StartsWith(head, "\xEF\xBB\xBF\xE3\x80\x8A"
                                 "Dune\xE3\x80\x8B    Author\xEF\xBC\x9A"
                                 "A\xEF\xBC\x8C"
                                 "B   ISBN\xEF\xBC\x9A"
                                 "978\r\n\r\nDescription\xEF\xBC\x9A"
                                 "D\r\n\r\nGenerate From"))
        << head;
}

} // namespace

namespace
{

struct WalkCase {
    const char* label;
    const char* body;
    const char* text;
};

TEST(TextOutput, DocumentTextFollowsTheBlocks)
{
    const WalkCase cases[] = {
        {"paragraphs", "<p>One</p><p>Two</p>", "One\r\n\r\nTwo\r\n\r\n"},
        {"headings", "<h1>Big</h1><h2>Small</h2>", "\r\n\r\n\r\n\r\nBig\r\n\r\n\r\nSmall\r\n\r\n\r\n"},
        {"list", "<ul><li>a</li><li>b</li></ul>", "a\r\n\r\nb\r\n\r\n"},
        {"nested list", "<ul><li><a href=\"#x\">Tasks</a><ul><li>One</li><li>Two</li></ul></li></ul>",
         "Tasks\r\n\r\nOne\r\n\r\nTwo\r\n\r\n"},
        {"inline run in a div stays one paragraph", "<div>a <b>bold</b> c</div>", "a bold c\r\n\r\n"},
        {"hidden span skipped", "<p>seen<span style=\"display:none;\">hidden</span></p>", "seen\r\n\r\n"},
        {"bold inside a paragraph once", "<p>x <b>y</b></p>", "x y\r\n\r\n"},
        {"table cells", "<table><tr><td>c1</td><td>c2</td></tr></table>", "c1\r\n\r\nc2\r\n\r\n"},
        {"empty paragraphs skipped", "<p>&nbsp;</p><p> </p><p>z</p>", "z\r\n\r\n"},
        {"script and style left out", "<script>var x;</script><p>t</p>", "t\r\n\r\n"},
        {"references read once", "<p>&lt;b&gt; &amp;lt; &amp;amp;</p>", "<b> &lt; &amp;\r\n\r\n"},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.label);
        CHtmlParse parser;
        ASSERT_EQ(parser.Init(std::string("<html><head><title>T</title><style>p{}</style></head><body>") +
                                  c.body + "</body></html>",
                              false, true),
                  RC_OK);
        EXPECT_EQ(DocumentText(parser), c.text);
    }
}

TEST(TextOutput, BookToTextKeepsHeadAndChapters)
{
    ScratchDir scratch;
    MakePath(scratch / "OEBPS/text/");
    WriteWholeFile(scratch / "OEBPS/text/a.html",
                   "<html><body><h1>Chapter &amp; One</h1><p>caf&#233;</p></body></html>");
    WriteWholeFile(scratch / "OEBPS/b.html", "<html><body><p>Second&#160;part</p></body></html>");
    CIntermediateBook book;
    book.m_ContentDirectory = "OEBPS/";
    book.m_PackageInSubdirectory = true;
    book.m_HtmlFileList = {"text/a.html", "b.html"};
    book.AddValue("title", "T");
    CEbookTxt handler;
    ConvertOutputContext ctx{"", book, scratch.Path(), "", ""};
    ASSERT_EQ(handler.Convert_Output(scratch / "out.txt", ctx), RC_OK);
    std::string text = ReadWholeFile(scratch / "out.txt");
    EXPECT_TRUE(StartsWith(text, "\xEF\xBB\xBF\xE3\x80\x8AT\xE3\x80\x8B    \r\n\r\nGenerate From")) << text;
    EXPECT_NE(text.find("Chapter & One\r\n\r\n\r\ncaf\xC3\xA9\r\n\r\nSecond part\r\n\r\n"), std::string::npos)
        << text;
}

constexpr size_t MIB = 1024 * 1024;

bool SkipMemoryCheck()
{
    return !SlowChecksWanted() || !ADDRESS_SPACE_IS_MEASURABLE;
}

// About `size` bytes of lines with markup characters, so the page outgrows the text.
std::string BigText(const std::string& line, size_t size)
{
    std::string text;
    text.reserve(size + line.size());
    while (text.size() < size)
        text += line;
    return text;
}

size_t MappedBytes()
{
    std::string statm = ReadWholeFile("/proc/self/statm");
    return std::strtoull(statm.c_str(), nullptr, 10) * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// Runs in a forked child: the text's page must be made within `budget` more bytes of address space.
[[noreturn]] void ParseWithinBudget(const std::string& path, const std::string& tempDirectory, size_t budget)
{
    rlimit limit{};
    ::getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = MappedBytes() + budget;
    ::setrlimit(RLIMIT_AS, &limit);
    CEbookTxt handler;
    std::_Exit(handler.ParseTxt(path, tempDirectory) == RC_OK ? 0 : 1);
}

struct MemoryCase {
    const char* label;
    std::string line;
    double budgetPerTextByte;
};

// UTF-8 needs no conversion, so beside the text only a piece of the page is ever held; other
// encodings hold the text and its conversion once.
TEST(TextMemory, InputHoldsAFewTimesTheText)
{
    if (SkipMemoryCheck()) GTEST_SKIP() << "slow check, or sanitizer shadow memory fills the address space";
    const MemoryCase cases[] = {
        {"utf-8", "Caf\xC3\xA9 & <bar> \"quoted\" line of a long text, with some words.\r\n", 1.5},
        {"windows-1252", "Caf\xE9 & <bar> \"quoted\" ligne d'un long texte, \xE0 la fa\xE7on.\r\n", 3.0},
    };
    ScratchDir scratch;
    for (const MemoryCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = scratch / (std::string(c.label) + ".txt");
        const size_t size = 32 * MIB;
        ASSERT_EQ(WriteWholeFile(path, BigText(c.line, size)), RC_OK);
        const size_t budget = static_cast<size_t>(c.budgetPerTextByte * static_cast<double>(size)) + 8 * MIB;
        EXPECT_EXIT(ParseWithinBudget(path, scratch.Path(), budget), ::testing::ExitedWithCode(0), "");
    }
}

// The whole program, text in: HTML out writes the pages as they are, EPUB out parses and prints
// every page again; neither holds more than three times the text.
TEST(TextMemory, ConversionsHoldAtMostThreeTimesTheText)
{
    if (SkipMemoryCheck()) GTEST_SKIP() << "slow check, or sanitizer shadow memory fills the address space";
    ScratchDir scratch;
    const size_t size = 40 * MIB;
    ASSERT_EQ(
        WriteWholeFile(scratch / "big.txt", BigText("Caf\xC3\xA9 & <bar> line of a long text.\n", size)),
        RC_OK);
    const size_t programBytes = 16 * MIB;
    for (const std::string format : {"html", "epub"}) {
        SCOPED_TRACE(format);
        const std::string output = scratch / ("big." + format);
        CommandRun run =
            RunProgramCapture("/usr/bin/prlimit",
                              {"--as=" + std::to_string(programBytes + 3 * size), TARVO_CMD_PATH, "c",
                               scratch / "big.txt", output, scratch / ("job-" + format + "/")},
                              "");
        EXPECT_NE(run.out.find("return 0"), std::string::npos) << run.out;
        EXPECT_FALSE(ReadWholeFile(output).empty());
    }
}

// Text is not markup: every "&", "<" and ">" of a text reads back as written after a trip
// through EPUB, entity-like words included.
TEST(TextConversion, MarkupCharactersRoundTripThroughEpub)
{
    const char* const lines[] = {
        "Fish & chips & more && less",
        "a <b>tag</b> that is not one, x<y>z",
        "&lt;written&gt; as entities &amp; &quot;quoted&quot; &#38; &#x26; &nbsp;",
        "&copy; &eacute; &lsaquo;single&rsaquo; &bogus; &#0; &",
        "<<>> &&; &amp;amp;lt; 1 < 2 > 0",
    };
    std::string text;
    for (const char* line : lines)
        text += std::string(line) + "\n";
    ScratchDir scratch;
    ASSERT_EQ(WriteWholeFile(scratch / "marks.txt", text), RC_OK);
    for (const auto& step :
         {std::make_pair("marks.txt", "marks.epub"), std::make_pair("marks.epub", "back.txt")}) {
        CommandRun run =
            RunTarvoCmd({"c", scratch / step.first, scratch / step.second, scratch / step.first + "-t"});
        ASSERT_NE(run.out.find("return 0"), std::string::npos) << step.first << "\n" << run.out;
    }
    std::string back = ReadWholeFile(scratch / "back.txt");
    for (const char* line : lines)
        EXPECT_NE(back.find(std::string(line) + "\r\n"), std::string::npos) << line << "\n" << back;
}

} // namespace
