// Text input: detect the encoding, convert to UTF-8 and wrap every line in a paragraph.
#include "txt/Ebook_Txt.h"

#include "base/Charset.h"
#include "base/Clock.h"
#include "base/Files.h"
#include "base/ForkPool.h"
#include "base/Paths.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"

#include <cstring>
#include <regex>
#include <string_view>

namespace
{

constexpr size_t TITLE_WINDOW = 600;
const char* const UTF8_BOM = "\xEF\xBB\xBF";

const std::regex& TitlePattern()
{
    // The greedy second group stays within one line because "." never matches a line end.
    static const std::regex pattern("<([^>]+)>|\xE3\x80\x8A(.+)\xE3\x80\x8B",
                                    std::regex::ECMAScript | std::regex::icase);
    return pattern;
}

// A long text is cut into pages of about this much markup, at paragraph ends: every output
// parses each page whole, and the parsed tree of a page costs several times its size, so one
// page of a 200 MB text would not fit in memory. Readers, too, open small pages faster.
constexpr size_t TEXT_PAGE_SIZE = 1 << 20;

// The first of CR LF, LF and CR that the text holds anywhere separates all of its lines.
std::string_view LineSeparatorOf(std::string_view text)
{
    if (text.find("\r\n") != std::string_view::npos) return "\r\n";
    if (text.find('\n') != std::string_view::npos) return "\n";
    return "\r";
}

} // namespace

std::string TitleFromText(const std::string& text)
{
    std::string title;
    for (std::sregex_iterator it(text.begin(), text.end(), TitlePattern()), end; it != end; ++it) {
        std::string name = (*it)[1].matched && (*it)[1].length() > 0 ? (*it)[1].str() : (*it)[2].str();
        if (title.find(name) == std::string::npos) title += name + "_";
    }
    if (!title.empty()) title.pop_back();
    return title;
}

std::string TitleFromFileName(const std::string& path)
{
    std::string name = GetFileName(ToOsPath(path));
    size_t dot = name.find('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

namespace
{

void AppendEscapedText(std::string_view line, std::string& out)
{
    for (char c : line) {
        if (c == '"')
            out += "&quot;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;"; // text is not markup: "&lt;" written in a text stays those four characters
        else
            out += c;
    }
}

} // namespace

ResultCode WriteTextPages(const std::string& title, std::string_view text, const PageSink& sink)
{
    std::string head = "<html xmlns=\"http://www.w3.org/1999/xhtml\">\r\n<head>\r\n\t<title>";
    // The title comes from the book's own text: escape it so the page stays well-formed.
    AppendEscapedText(title, head);
    head +=
        "</title>\r\n\t<meta http-equiv=\"Content-Type\" content=\"text/html;charset=utf-8\"/>\r\n</head>\r\n"
        "<body>\r\n";
    const char* const tail = "\r\n</body>\r\n</html>";
    std::string page = head;
    page.reserve(TEXT_PAGE_SIZE + TEXT_PAGE_SIZE / 4);
    const std::string_view separator = LineSeparatorOf(text);
    auto appendParagraph = [&page](std::string_view line) {
        page += "<p>";
        AppendEscapedText(line, page);
        page += "</p>";
    };
    ResultCode rc = RC_OK;
    size_t start = 0;
    for (size_t end; rc == RC_OK && (end = text.find(separator, start)) != std::string_view::npos;
         start = end + separator.size()) {
        if (end == start) continue;
        appendParagraph(text.substr(start, end - start));
        if (page.size() >= TEXT_PAGE_SIZE && end + separator.size() < text.size()) {
            page += tail;
            rc = sink(page);
            page.assign(head);
        }
    }
    if (rc != RC_OK) return rc;
    appendParagraph(text.substr(start));
    page += tail;
    return sink(page);
}

ResultCode CEbookTxt::GetMetaData(const std::string& inputFile, GetMetaContext&)
{
    std::string head = ReadWholeFile(inputFile).substr(0, TITLE_WINDOW);
    ResultCode rc = CharsetConv::ToUtf8(head);
    if (rc != RC_OK) return rc;
    std::string title = TitleFromText(head);
    if (!title.empty()) m_Book.SetValue("title", title);
    return RC_OK;
}

ResultCode CEbookTxt::Convert_Input(const std::string& inputFile, ConvertInputContext& ctx)
{
    PrintProgress("Converting Input To Txt");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookTxt::Convert_Input test IN...");
    m_Title.clear();
    m_Book.Reset();
    ResultCode rc = ParseTxt(inputFile, ctx.m_TempDirectory);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookTxt::Convert_Input test OUT...");
    return rc;
}

ResultCode CEbookTxt::ParseTxt(const std::string& inputFile, const std::string& tempDirectory)
{
    std::string text = ReadWholeFile(inputFile);
    PrintProgress("Converting Txt To UTF-8");
    ResultCode rc = CharsetConv::ToUtf8(text);
    if (rc != RC_OK) return rc;
    // A byte order mark would otherwise end up inside the first paragraph (or the title).
    std::string_view body = text;
    if (StartsWith(text, UTF8_BOM)) body.remove_prefix(3);

    m_Title = TitleFromText(std::string(body.substr(0, TITLE_WINDOW)));
    if (m_Title.empty()) m_Title = TitleFromFileName(inputFile);
    if (body.empty()) return RC_OK;

    PrintProgress("Generate Html Content");
    uint16_t date = 0, time = 0;
    DosDateTime(date, time);

    TARVO_LOG(m_Log, LOG_INFO, "CEbookTxt::convertBuffer IN...");
    PrintProgress("Write To Html File");
    const std::string baseName = "TxtToHtml_" + std::to_string(time);
    rc = WriteTextPages(m_Title, body, [&](const std::string& page) {
        const size_t number = m_Book.m_HtmlFileList.size() + 1;
        const std::string fileName = baseName + (number == 1 ? "" : "_" + std::to_string(number)) + ".html";
        CAtomicFile file;
        ResultCode written = file.Open(tempDirectory + fileName);
        if (written == RC_OK) written = file.Write(page);
        if (written == RC_OK) written = file.Commit(CommitMode::Quick);
        if (written != RC_OK) {
            TARVO_LOG(m_Log, LOG_ERROR, "text page %s%s not written: %s", tempDirectory.c_str(),
                      fileName.c_str(), ResultMessage(written));
            return written;
        }
        m_Book.m_HtmlFileList.push_back(fileName);
        m_Book.m_HtmlTitleList.push_back(m_Title);
        return RC_OK;
    });
    TARVO_LOG(m_Log, LOG_INFO, "CEbookTxt::convertBuffer OUT...");
    if (rc != RC_OK) return rc;
    m_Book.SetValue("title", m_Title);
    return RC_OK;
}

std::string BuildTextHead(const CIntermediateBook& book)
{
    auto first = [&book](const char* key) {
        auto it = book.m_MetaData.find(key);
        return it == book.m_MetaData.end() || it->second.empty() ? std::string() : it->second.front();
    };
    std::string head = UTF8_BOM;
    bool wroteLine = false;
    if (!first("title").empty()) {
        head += "\xE3\x80\x8A" + first("title") + "\xE3\x80\x8B    ";
        wroteLine = true;
    }
    auto creators = book.m_MetaData.find("creator");
    if (creators != book.m_MetaData.end()) {
        std::string joined;
        for (const std::string& name : creators->second) {
            if (name.empty()) continue;
            if (!joined.empty()) joined += "\xEF\xBC\x8C";
            joined += name;
        }
        if (!joined.empty()) {
            head += "Author\xEF\xBC\x9A" + joined + "   ";
            wroteLine = true;
        }
    }
    if (!first("identifier_ASIN").empty()) {
        head += "ASIN\xEF\xBC\x9A" + first("identifier_ASIN") + "   ";
        wroteLine = true;
    }
    if (!first("identifier_ISBN").empty()) {
        head += "ISBN\xEF\xBC\x9A" + first("identifier_ISBN");
        wroteLine = true;
    }
    if (wroteLine) head += "\r\n\r\n";
    if (!first("description").empty()) head += "Description\xEF\xBC\x9A" + first("description") + "\r\n\r\n";
    head += "Generate From\xEF\xBC\x9A" + ProducerText() + "\r\n\r\n\r\n\r\n\r\n\r\n";
    return head;
}

namespace
{

enum class TextRole { Skip, Paragraph, Heading1, Heading, Inline, Container };

TextRole RoleOf(TidyNode element)
{
    switch (tidyNodeGetId(element)) {
    case TidyTag_TITLE:
    case TidyTag_STYLE:
    case TidyTag_SCRIPT:
        return TextRole::Skip;
    case TidyTag_P:
    case TidyTag_ADDRESS:
        return TextRole::Paragraph;
    // A list item is walked like a container: its own text becomes a paragraph, and a nested
    // list inside it gives one paragraph per item instead of one run-together line.
    case TidyTag_H1:
        return TextRole::Heading1;
    case TidyTag_H2:
    case TidyTag_H3:
    case TidyTag_H4:
    case TidyTag_H5:
    case TidyTag_H6:
        return TextRole::Heading;
    case TidyTag_SPAN:
    case TidyTag_B:
    case TidyTag_I:
    case TidyTag_A:
    case TidyTag_EM:
    case TidyTag_STRONG:
    case TidyTag_U:
    case TidyTag_SUB:
    case TidyTag_SUP:
    case TidyTag_SMALL:
    case TidyTag_BIG:
    case TidyTag_CODE:
    case TidyTag_TT:
    case TidyTag_FONT:
    case TidyTag_CITE:
    case TidyTag_ABBR:
    case TidyTag_Q:
        return TextRole::Inline;
    default:
        return TextRole::Container;
    }
}

const char* const NO_BREAK_SPACE = "\xC2\xA0";

// Blank runs and leading non-breaking spaces do not make a text worth a paragraph.
bool HasVisibleText(const std::string& text)
{
    size_t i = 0;
    while (text.compare(i, 2, NO_BREAK_SPACE) == 0)
        i += 2;
    return text.find_first_not_of(" \t\r\n", i) != std::string::npos;
}

// Appends the readable text of a document: paragraphs, headings and list items each end with
// blank lines; the content of title, style and script is left out. Text and inline elements
// that stand directly in a container (a div, a cell, the body) form a paragraph of their own, so
// "<div>a <b>b</b> c</div>" stays one line.
class CTextWalker
{
  public:
    explicit CTextWalker(CHtmlParse& parser) : m_Parser(parser) {}

    void Walk(TidyNode node, int depth, std::string& out)
    {
        if (depth >= CHtmlParse::MAX_DEPTH) return;
        std::string run;
        for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child)) {
            if (tidyNodeGetType(child) == TidyNode_Text) {
                m_Parser.AppendCharacters(child, run);
                continue;
            }
            if (!CHtmlParse::IsElement(child)) continue;
            TextRole role = RoleOf(child);
            if (role == TextRole::Skip) continue;
            if (role == TextRole::Inline) {
                m_Parser.AppendVisibleCharacters(child, run);
                continue;
            }
            Flush(run, out);
            if (role == TextRole::Container) {
                Walk(child, depth + 1, out);
                continue;
            }
            std::string text;
            m_Parser.AppendVisibleCharacters(child, text);
            if (!HasVisibleText(text)) continue;
            if (role == TextRole::Heading1)
                out += "\r\n\r\n\r\n\r\n" + text + "\r\n\r\n\r\n";
            else if (role == TextRole::Heading)
                out += text + "\r\n\r\n\r\n";
            else
                out += text + "\r\n\r\n";
        }
        Flush(run, out);
    }

  private:
    static void Flush(std::string& run, std::string& out)
    {
        size_t start = run.find_first_not_of(" \t\r\n");
        if (HasVisibleText(run))
            out += run.substr(start, run.find_last_not_of(" \t\r\n") - start + 1) + "\r\n\r\n";
        run.clear();
    }

    CHtmlParse& m_Parser;
};

} // namespace

std::string DocumentText(CHtmlParse& parser)
{
    std::string text;
    TidyNode root = parser.GetRoot();
    if (root != nullptr) CTextWalker(parser).Walk(root, 0, text);
    return text;
}

ResultCode CEbookTxt::Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx)
{
    PrintProgress("Converting Ouput To Txt");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookTxt::Convert_Output IN...");
    PrintProgress("Write MetaData To Txt Head");
    const CIntermediateBook& book = ctx.m_Book;
    std::string text = BuildTextHead(book);

    // Metadata values may still spell entities; the documents' text is taken as the characters
    // it stands for, so that nothing is decoded twice ("&amp;lt;" in a page reads "&lt;").
    text = DecodeEntities(text);
    PrintProgress("Parsing All Htmls Content");
    const std::string bookDirectory = book.BookDirectory(ctx.m_TempDirectory);
    // Documents are read on every core. Each gives its result code, then its text.
    const std::vector<std::string>& documents = book.m_HtmlFileList;
    std::vector<std::string> texts = ForkedMap(documents.size(), [&](size_t i) {
        std::string html = ReadWholeFile(BookFilePath(bookDirectory, documents[i]));
        CHtmlParse parser(m_Log);
        std::string result(sizeof(ResultCode), '\0');
        TARVO_LOG(m_Log, LOG_INFO, "CEbookTxt::Convert_Output Init IN...");
        // Blocks each give their own paragraphs, so a big page's pieces give its text in turn.
        ResultCode rc = parser.ParseInPieces(html, [&](size_t, size_t) { result += DocumentText(parser); });
        TARVO_LOG(m_Log, LOG_INFO, "CEbookTxt::Convert_Output Init OUT...");
        std::memcpy(&result[0], &rc, sizeof rc);
        return result;
    });
    size_t total = text.size();
    for (const std::string& document : texts)
        total += document.size();
    text.reserve(total);
    for (std::string& document : texts) {
        ResultCode rc = RC_FILE_READ_FAILED;
        if (document.size() >= sizeof rc) std::memcpy(&rc, document.data(), sizeof rc);
        if (rc != RC_OK) return rc;
        text.append(document, sizeof rc, std::string::npos);
        std::string().swap(document);
    }

    PrintProgress("Processed 95%");
    PrintProgress("Creating Txt Output");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookTxt::CorrectHtmlContentToTxt IN");
    // Plain text is searched and wrapped at blanks: a no-break space is written as one.
    ReplaceAll(text, NO_BREAK_SPACE, " ");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookTxt::CorrectHtmlContentToTxt OUT");
    ResultCode rc = WriteOutputFile(outputFile, text);
    if (rc != RC_OK)
        TARVO_LOG(m_Log, LOG_ERROR, "text output %s not written: %s", outputFile.c_str(), ResultMessage(rc));
    TARVO_LOG(m_Log, LOG_INFO, "CEbookTxt::Convert_Output OUT...");
    return rc;
}
