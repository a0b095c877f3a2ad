// PDF reading runs "pdftohtml" and reads its page as an HTML book; PDF writing prepares the book's
// pages and runs "cov"; metadata comes from "pdfmeta". A helper has done its work only when it exits
// with status 0 and the files it was to write are there and whole.
#include "pdf/Ebook_Pdf.h"

#include "base/Charset.h"
#include "base/Clock.h"
#include "base/Files.h"
#include "base/Folders.h"
#include "base/Images.h"
#include "base/Paths.h"
#include "base/Process.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"
#include "html/Ebook_Html.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <tinyxml2.h>

namespace
{

const char* const PDF_TO_HTML_PROGRAM = "pdftohtml";
const char* const HTML_TO_PDF_PROGRAM = "cov";
const char* const METADATA_PROGRAM = "pdfmeta";
// The Creator of the PDFs we write: the HTML cleaner's name would otherwise stand there.
const char* const PDF_CREATOR = "TarvoCmd";
const char* const STYLE_SHEET = "fix.css";
const char* const DEFAULT_PDF_TO_HTML_OPTIONS = "-noframes -enc UTF-8";
const char* const PDF_TO_HTML_OPTIONS_KEY = "inparam_pdf2html";
const char* const HTML_TO_PDF_OPTIONS_KEY = "outparam_wkhtmltopdf";
const char* const PAGE_LIST_NAME = "cov_pages.list";
const char* const CHARSET_META =
    "\r\n<meta http-equiv=\"Content-Type\" content=\"text/html;charset=utf-8\"/>\r\n";
// Linux gives the arguments and the environment of a new program together at least 128 KiB
// (more with a larger stack); the rest of this is left to the environment.
constexpr size_t COMMAND_LINE_LIMIT = 100000;

// What an argument takes of that room: its bytes, its terminating zero and its pointer.
size_t ArgumentRoom(const std::vector<std::string>& arguments)
{
    size_t room = 0;
    for (const std::string& argument : arguments)
        room += argument.size() + 1 + sizeof(char*);
    return room;
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

std::string MakeWorkName()
{
    uint16_t date = 0, time = 0;
    DosDateTime(date, time);
    return "pdfTohtml_" + std::to_string(time);
}

bool ListHasNoCase(const std::vector<std::string>& list, const std::string& name)
{
    return std::any_of(list.begin(), list.end(),
                       [&name](const std::string& entry) { return EqualsNoCase(entry, name); });
}

std::string FileStem(const std::string& path)
{
    std::string name = GetFileName(ToOsPath(path));
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Poppler names the images by the output base exactly as it was given, and takes that base for the
// title of a PDF without one; neither may carry a folder of this machine into the book.
void StripOutputBase(std::string& html, const std::string& tempDirectory, const std::string& outputBase,
                     const std::string& workName)
{
    ReplaceAll(html, "src=\"" + tempDirectory, "src=\"");
    ReplaceAll(html, "<title>" + outputBase + "</title>", "<title></title>");
    ReplaceAll(html, "<title>" + workName + "</title>", "<title></title>");
}

// Puts text after every marker that a digit follows, in one pass.
void InsertBeforeDigits(std::string& html, const std::string& marker, const std::string& text)
{
    std::string out;
    size_t from = 0;
    for (size_t at = html.find(marker); at != std::string::npos; at = html.find(marker, at + marker.size())) {
        size_t end = at + marker.size();
        if (end >= html.size() || !std::isdigit(static_cast<unsigned char>(html[end]))) continue;
        out.append(html, from, end - from);
        out += text;
        from = end;
    }
    if (from == 0) return;
    out.append(html, from, std::string::npos);
    html = std::move(out);
}

// Poppler names each page's anchor by its bare number, which is no XML name.
void NamePageAnchors(std::string& html, const std::string& pageName)
{
    InsertBeforeDigits(html, "<a name=", "page");
    InsertBeforeDigits(html, pageName + "#", "page");
}

// What poppler writes that no EPUB reader accepts: an empty language, a style sheet hidden in a
// comment, presentational body attributes and images without alt text.
void DropPopplerMarkup(std::string& html)
{
    ReplaceAll(html, " lang=\"\" xml:lang=\"\"", "");
    ReplaceAll(html, "<style type=\"text/css\">\n<!--", "<style type=\"text/css\">");
    ReplaceAll(html, "-->\n</style>", "</style>");
    ReplaceAll(html, "<body bgcolor=\"#A0A0A0\" vlink=\"blue\" link=\"blue\">", "<body>");
    ReplaceAll(html, "<img src=", "<img alt=\"\" src=");
}

// Poppler writes its lines straight into body, where XHTML allows only blocks: one div holds them.
void WrapBodyInBlock(std::string& html)
{
    size_t body = html.find("<body");
    size_t open = body == std::string::npos ? body : html.find('>', body);
    size_t close = html.rfind("</body>");
    if (open == std::string::npos || close == std::string::npos || close < open) return;
    html.insert(close, "</div>\n");
    html.insert(open + 1, "\n<div>");
}

bool HasName(TidyNode node, const char* name)
{
    const char* own = tidyNodeGetName(node);
    return own != nullptr && EqualsNoCase(own, name);
}

std::string AttributeValue(TidyNode element, const char* name)
{
    for (TidyAttr attr = tidyAttrFirst(element); attr != nullptr; attr = tidyAttrNext(attr)) {
        const char* own = tidyAttrName(attr);
        const char* value = tidyAttrValue(attr);
        if (own != nullptr && value != nullptr && std::strcmp(own, name) == 0) return value;
    }
    return "";
}

void KeepImageAttributes(TidyDoc doc, TidyNode img)
{
    TidyAttr attr = tidyAttrFirst(img);
    while (attr != nullptr) {
        TidyAttr next = tidyAttrNext(attr);
        const char* name = tidyAttrName(attr);
        if (name == nullptr || (std::strcmp(name, "alt") != 0 && std::strcmp(name, "src") != 0 &&
                                std::strcmp(name, "xlink:href") != 0))
            tidyAttrDiscard(doc, img, attr);
        attr = next;
    }
}

// pdfinfo's labels of the information dictionary in the order it prints them. "Custom Metadata"
// starts what it says about the file rather than the book.
const char* const INFO_LABELS[] = {"Title",    "Subject",      "Keywords", "Author",         "Creator",
                                   "Producer", "CreationDate", "ModDate",  "Custom Metadata"};
constexpr size_t INFO_LABEL_COUNT = sizeof INFO_LABELS / sizeof *INFO_LABELS;

// The label a line of pdfinfo starts with, among those from index first on; INFO_LABEL_COUNT for none.
size_t LabelOf(const std::string& line, size_t first, size_t& valueStart)
{
    for (size_t i = first; i < INFO_LABEL_COUNT; ++i) {
        const std::string label = std::string(INFO_LABELS[i]) + ":";
        if (StartsWith(line, label) && (line.size() == label.size() || line[label.size()] == ' ')) {
            valueStart = label.size();
            return i;
        }
    }
    return INFO_LABEL_COUNT;
}

// pdfinfo prints a value with line breaks as it is, so a line that starts with no label (or with
// one that came already, which a value can carry) continues the value above it.
std::map<std::string, std::string> ReadInfoFields(const std::string& info)
{
    std::map<std::string, std::string> fields;
    std::string* value = nullptr;
    size_t next = 0;
    for (size_t from = 0; from < info.size();) {
        size_t end = info.find('\n', from);
        if (end == std::string::npos) end = info.size();
        const std::string line = info.substr(from, end - from);
        from = end + 1;
        size_t valueStart = 0;
        const size_t label = LabelOf(line, next, valueStart);
        if (label == INFO_LABEL_COUNT - 1) break;
        if (label < INFO_LABEL_COUNT) {
            value = &fields[INFO_LABELS[label]];
            *value = line.substr(valueStart);
            next = label + 1;
        } else if (value != nullptr) {
            *value += '\n' + line;
        }
    }
    for (auto& field : fields)
        field.second = CollapseSpace(field.second);
    return fields;
}

// The items of an XMP property: the rdf:li of its Seq, Bag or Alt, else its own text.
std::vector<std::string> XmpItems(const tinyxml2::XMLElement* property)
{
    std::vector<std::string> items;
    for (const tinyxml2::XMLElement* list = property->FirstChildElement(); list != nullptr;
         list = list->NextSiblingElement())
        for (const tinyxml2::XMLElement* li = list->FirstChildElement("rdf:li"); li != nullptr;
             li = li->NextSiblingElement("rdf:li")) {
            std::string item = CollapseSpace(li->GetText() != nullptr ? li->GetText() : "");
            if (!item.empty()) items.push_back(item);
        }
    if (property->FirstChildElement() == nullptr && property->GetText() != nullptr) {
        std::string item = CollapseSpace(property->GetText());
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

// The Dublin Core properties of an XMP packet by local name ("creator"), the first of each name.
std::map<std::string, std::vector<std::string>> ReadXmpDublinCore(const std::string& xmp)
{
    std::map<std::string, std::vector<std::string>> properties;
    // The packet's closing processing instruction follows the element, where tinyxml2 refuses it.
    size_t start = xmp.find("<x:xmpmeta"), end = xmp.rfind("</x:xmpmeta>");
    if (start == std::string::npos || end == std::string::npos || end < start) return properties;
    end += std::strlen("</x:xmpmeta>");
    tinyxml2::XMLDocument doc;
    if (doc.Parse(xmp.data() + start, end - start) != tinyxml2::XML_SUCCESS) return properties;
    std::vector<const tinyxml2::XMLElement*> pending{doc.RootElement()};
    while (!pending.empty()) {
        const tinyxml2::XMLElement* element = pending.back();
        pending.pop_back();
        if (element == nullptr) continue;
        if (StartsWith(element->Name(), "dc:")) {
            properties.emplace(element->Name() + 3, XmpItems(element));
            continue;
        }
        for (const tinyxml2::XMLElement* child = element->LastChildElement(); child != nullptr;
             child = child->PreviousSiblingElement())
            pending.push_back(child);
    }
    return properties;
}

std::vector<std::string> SplitAtAny(const std::string& text, const char* separators)
{
    std::vector<std::string> parts;
    for (size_t from = 0; from <= text.size();) {
        size_t end = text.find_first_of(separators, from);
        if (end == std::string::npos) end = text.size();
        std::string part = CollapseSpace(text.substr(from, end - from));
        if (!part.empty()) parts.push_back(part);
        from = end + 1;
    }
    return parts;
}

// Several authors in one Author entry are told apart only where the PDF says so: by an XMP list
// that joins to that entry, or by semicolons. "Smith, John" or "Tom & Jerry" stays one name.
std::vector<std::string> AuthorsOf(const std::string& author, const std::vector<std::string>& listed)
{
    if (author.empty()) return listed;
    if (listed.size() > 1)
        for (const char* separator : {" & ", ", ", "; ", " and "}) {
            std::string joined = listed.front();
            for (size_t i = 1; i < listed.size(); ++i)
                joined += separator + listed[i];
            if (joined == author) return listed;
        }
    return SplitAtAny(author, ";");
}

// A day where the time is midnight in UTC or not stated, which is how a date without a time comes
// back from a PDF; any other time is kept. A text that starts with no year gives nothing.
std::string PublicationDate(const std::string& text)
{
    if (text.size() < 4 ||
        !std::all_of(text.begin(), text.begin() + 4, [](char c) { return c >= '0' && c <= '9'; }))
        return "";
    if (text.size() >= 10 && text[4] == '-' && text[7] == '-') {
        const std::string time = text.substr(10);
        if (time.empty() || time == "T00:00:00" || time == "T00:00:00Z" || time == "T00:00:00+00:00")
            return text.substr(0, 10);
    }
    return text;
}

class CRendererPrinter
{
  public:
    CRendererPrinter(CHtmlParse& parser, std::string& out) : m_Parser(parser), m_Out(out) {}

    void PrintChildren(TidyNode parent, int depth)
    {
        // Whatever follows an svg's image in the same parent is drawing the renderer cannot use.
        for (TidyNode child = tidyGetChild(parent); child != nullptr; child = tidyGetNext(child)) {
            Print(child, depth);
            if (CHtmlParse::IsElement(child) && HasName(child, "image")) break;
        }
    }

  private:
    void Print(TidyNode node, int depth)
    {
        if (depth >= CHtmlParse::MAX_DEPTH) return;
        TidyNodeType type = tidyNodeGetType(node);
        if (type == TidyNode_Comment) return;
        if (type == TidyNode_DocType) return CHtmlParse::PrintDoctype(node, m_Out);
        if (!CHtmlParse::IsElement(node)) return m_Parser.PrintRendered(node, m_Out);
        if (HasName(node, "svg")) return PrintChildren(node, depth + 1);
        if (HasName(node, "image")) return PrintImage(node);
        if (tidyNodeGetId(node) == TidyTag_IMG) KeepImageAttributes(m_Parser.GetDoc(), node);
        m_Parser.PrintStartTag(node, m_Out);
        if (tidyNodeGetId(node) == TidyTag_HEAD) m_Out += CHARSET_META;
        PrintChildren(node, depth + 1);
        if (!CHtmlParse::IsSelfClosing(tidyNodeGetName(node))) CHtmlParse::PrintEndTag(node, m_Out);
    }

    void PrintImage(TidyNode image)
    {
        std::string source = AttributeValue(image, "src");
        if (source.empty()) source = AttributeValue(image, "xlink:href");
        m_Out += "<img src=\"";
        AppendAttributeValue(source, m_Out);
        m_Out += "\" alt=\"cover-image\" />";
    }

    CHtmlParse& m_Parser;
    std::string& m_Out;
};

} // namespace

void RepairSvg(const std::string& path, CRunLog* log)
{
    std::string text;
    if (!ReadFileBytes(path, text)) return;
    CHtmlParse parser(log);
    if (parser.Init(text) != RC_OK) return;
    std::string printed;
    printed.reserve(text.size() + 128);
    CRendererPrinter(parser, printed).PrintChildren(parser.GetRoot(), 0);
    if (WriteOutputFile(path, printed, CommitMode::Quick) != RC_OK)
        TARVO_LOG(log, LOG_WARNING, "page %s kept as it was: it could not be rewritten", path.c_str());
}

std::vector<std::string> MetadataArguments(const CIntermediateBook& book)
{
    std::vector<std::string> arguments;
    auto add = [&](const char* option, const char* key, bool every) {
        auto found = book.m_MetaData.find(key);
        if (found == book.m_MetaData.end()) return;
        for (const std::string& value : found->second) {
            std::string shown = DecodeCharacterReferences(value);
            if (shown.empty()) continue;
            Append(arguments, {option, shown});
            if (!every) return;
        }
    };
    add("--title", "title", false);
    add("--author", "creator", true);
    add("--subject", "description", false);
    add("--keyword", "subject", true);
    add("--lang", "language", false);
    // A book read for conversion may still hold its package's dates under their own keys; they
    // settle into one publication date as g settles them.
    CIntermediateBook dates;
    for (const auto& entry : book.m_MetaData)
        if (StartsWith(entry.first, "date")) dates.m_MetaData.insert(entry);
    dates.KeepOnlyPublicationDate();
    std::string date;
    if (dates.GetValue("date_publication", date) == RC_OK && !date.empty())
        Append(arguments, {"--date", date});
    Append(arguments, {"--creator", PDF_CREATOR});
    return arguments;
}

void ReadPdfMetadata(const std::string& info, const std::string& xmp, CIntermediateBook& book)
{
    const std::map<std::string, std::string> fields = ReadInfoFields(info);
    std::map<std::string, std::vector<std::string>> dublinCore = ReadXmpDublinCore(xmp);
    auto field = [&fields](const char* label) {
        auto found = fields.find(label);
        return found == fields.end() ? std::string() : found->second;
    };
    auto first = [&dublinCore](const char* name) {
        const std::vector<std::string>& items = dublinCore[name];
        return items.empty() ? std::string() : items.front();
    };
    const std::string title = field("Title");
    book.SetValue("title", title.empty() ? first("title") : title);
    for (const std::string& author : AuthorsOf(field("Author"), dublinCore["creator"]))
        book.AddValue("creator", author);
    const std::string description = field("Subject");
    book.SetValue("description", description.empty() ? first("description") : description);
    const std::string keywords = field("Keywords");
    for (const std::string& keyword : keywords.empty() ? dublinCore["subject"] : SplitAtAny(keywords, ",;"))
        book.AddValue("subject", keyword);
    // calibre's placeholders for a language nobody stated.
    const std::string language = first("language");
    if (language != "und" && language != "x-unknown") book.SetValue("language", language);
    // A Dublin Core date is the book's; CreationDate may only be when the file was made.
    std::string date = PublicationDate(first("date"));
    if (date.empty()) date = PublicationDate(field("CreationDate"));
    book.SetValue("date_publication", date);
}

ResultCode CEbookPdf::GetMetaData(const std::string& inputFile, GetMetaContext& ctx)
{
    m_Book.m_Log = m_Log;
    m_Book.Reset();
    std::string folder;
    ResultCode rc = MakeFreshDirectory(ToOsPath(ctx.m_TempDirectory) + "pdfmeta.", folder);
    if (rc != RC_OK) return rc;
    std::vector<std::string> arguments;
    if (!ctx.m_CoverImageFile.empty()) arguments.push_back("--cover");
    // A relative name that starts with "-" would pass for an option.
    std::string input = ToOsPath(inputFile);
    if (StartsWith(input, "-")) input = "./" + input;
    Append(arguments, {input, folder});
    const std::string helper = HelperFile(METADATA_PROGRAM);
    const ProgramExit exit = RunProgram(helper, arguments);
    std::string info, xmp;
    if (!exit.Succeeded() || !ReadFileBytes(folder + "info.txt", info)) {
        TARVO_LOG(m_Log, LOG_ERROR, "%s could not read %s: %s", helper.c_str(), inputFile.c_str(),
                  DescribeExit(exit).c_str());
        rc = RC_PDF_READ;
    } else {
        ReadFileBytes(folder + "xmp.xml", xmp);
        ReadPdfMetadata(info, xmp, m_Book);
        if (!ctx.m_CoverImageFile.empty()) rc = DeliverFirstPage(folder + "cover.jpg", ctx.m_CoverImageFile);
    }
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    return rc;
}

// The first page is the cover of most PDFs; one that could not be rendered leaves the book without.
ResultCode CEbookPdf::DeliverFirstPage(const std::string& rendered, const std::string& coverImageFile)
{
    std::string bytes;
    if (!ReadFileBytes(rendered, bytes) || ImageTypeOf(bytes) != "jpg") {
        TARVO_LOG(m_Log, LOG_WARNING, "first page not rendered: no cover");
        return RC_OK;
    }
    return DeliverCoverImage(bytes, coverImageFile, m_Book, m_Log);
}

ResultCode CEbookPdf::Convert_Input(const std::string& inputFile, ConvertInputContext& ctx)
{
    PrintProgress("Converting Input To Pdf");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf::Convert_Input test...");
    ResultCode rc = ParsePdf(inputFile, ctx);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf::Convert_Input test OUT...");
    return rc;
}

ResultCode CEbookPdf::Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx)
{
    PrintProgress("Converting Output To Pdf");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf::Convert_Output test IN...");
    ResultCode rc = ConvertToPdf(outputFile, ctx);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf::Convert_Output test OUT...");
    return rc;
}

ResultCode CEbookPdf::ParsePdf(const std::string& inputFile, ConvertInputContext& ctx)
{
    m_WorkName = MakeWorkName();
    // poppler writes its page and images by name without a care for links: into a folder this run
    // makes new, where no one can have planted one.
    std::string workFolder;
    ResultCode rc = MakeFreshDirectory(ToOsPath(ctx.m_TempDirectory) + "pdftohtml.", workFolder);
    if (rc != RC_OK) return rc;
    const std::string outputBase = workFolder + m_WorkName;
    std::string options = DEFAULT_PDF_TO_HTML_OPTIONS;
    m_Book.m_Log = m_Log;
    m_Book.Reset();
    if (!ctx.m_InParam.empty()) {
        m_Book.FromJson(ctx.m_InParam);
        auto given = m_Book.m_MetaData.find(PDF_TO_HTML_OPTIONS_KEY);
        if (given != m_Book.m_MetaData.end()) {
            if (!given->second.empty()) options = given->second.front();
            m_Book.m_MetaData.erase(given);
        }
    }

    PrintProgress("Parsing Pdf File");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf::ParsePdf pdftohtml.exe IN...");
    rc = RunPdfToHtml(inputFile, outputBase, options);
    if (rc != RC_OK) return rc;
    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf::ParsePdf pdftohtml.exe OUT...");

    m_WorkName += ".html";
    const std::string htmlPath = workFolder + m_WorkName;
    std::string html;
    if (!ReadFileBytes(htmlPath, html) || html.empty()) {
        TARVO_LOG(m_Log, LOG_ERROR, "%s left no HTML at %s for %s", PDF_TO_HTML_PROGRAM, htmlPath.c_str(),
                  inputFile.c_str());
        return RC_PDF_TO_HTML;
    }
    StripOutputBase(html, workFolder, outputBase, FileStem(htmlPath));
    DropPopplerMarkup(html);
    WrapBodyInBlock(html);
    NamePageAnchors(html, m_WorkName);
    rc = WriteWholeFile(htmlPath, html);
    if (rc != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "HTML of the PDF could not be written back to %s", htmlPath.c_str());
        return rc;
    }
    return ReadGeneratedBook(inputFile, htmlPath, ctx);
}

ResultCode CEbookPdf::RunPdfToHtml(const std::string& inputFile, const std::string& outputBase,
                                   const std::string& options)
{
    // The user's options are one text to split; the paths go as they are, whatever they contain.
    std::vector<std::string> arguments = SplitCommandLine(options);
    arguments.push_back(ToOsPath(inputFile));
    arguments.push_back(outputBase);
    const std::string helper = HelperFile(PDF_TO_HTML_PROGRAM);
    const ProgramExit exit = RunProgram(helper, arguments);
    if (!exit.Succeeded()) {
        TARVO_LOG(m_Log, LOG_ERROR, "%s failed on %s: %s", helper.c_str(), inputFile.c_str(),
                  DescribeExit(exit).c_str());
        return RC_PDF_TO_HTML;
    }
    return RC_OK;
}

ResultCode CEbookPdf::ReadGeneratedBook(const std::string& inputFile, const std::string& htmlPath,
                                        ConvertInputContext& ctx)
{
    CEbookHtml reader;
    reader.m_Log = m_Log;
    ResultCode rc = reader.Convert_Input(htmlPath, ctx);
    if (rc != RC_OK) return rc;

    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf::ParsePdf SetMetaData IN...");
    CIntermediateBook& read = *reader.GetIntermediateBook();
    for (const auto& entry : m_Book.m_MetaData)
        read.m_MetaData.insert(entry);
    m_Book = read;
    // A PDF without a title of its own is named after its file, not after our work file.
    if (m_Book.m_MetaData.find("title") == m_Book.m_MetaData.end())
        m_Book.SetValue("title", FileStem(inputFile));
    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf::ParsePdf SetMetaData OUT...");
    return RC_OK;
}

ResultCode CEbookPdf::ConvertToPdf(const std::string& outputFile, ConvertOutputContext& ctx)
{
    const std::string output = ToOsPath(outputFile);
    // cov renders into a folder this run makes new beside the output: an old PDF already at the
    // output's name is never taken for the result of a rendering that failed, and no link planted
    // beside the output can lead the renderer's write elsewhere.
    std::string staging;
    ResultCode rc =
        MakeFreshDirectory(GetDirectory(output) + "." + GetFileName(output).substr(0, 64) + ".", staging);
    if (rc != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "no folder to render in beside %s", output.c_str());
        return RC_FILE_WRITE_FAILED;
    }
    const std::string rendered = staging + "rendered.pdf";

    std::string userOptions;
    GetParamValue(ctx.m_OutParam, HTML_TO_PDF_OPTIONS_KEY, userOptions);
    std::vector<std::string> arguments = SplitCommandLine(userOptions);
    Append(arguments, MetadataArguments(ctx.m_Book));

    PrintProgress("Get Command Param");
    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf::GetCmdParam IN...");
    std::vector<std::string> param;
    const size_t used = ArgumentRoom(arguments);
    rc = GetCmdParam(rendered, ctx, used < COMMAND_LINE_LIMIT ? COMMAND_LINE_LIMIT - used : 0, param);
    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf::GetCmdParam OUT...");
    if (rc == RC_OK) {
        Append(arguments, param);
        PrintProgress("Processed 95%");
        PrintProgress("Creating Pdf Output");
        TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf:ConvertToPdf cov.exe IN...");
        rc = RenderPdf(rendered, arguments);
        TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf:ConvertToPdf cov.exe OUT...");
    }
    if (rc == RC_OK) rc = MoveFile(rendered, output);
    std::error_code error;
    std::filesystem::remove_all(staging, error);
    return rc;
}

ResultCode CEbookPdf::RenderPdf(const std::string& pdfFile, const std::vector<std::string>& arguments)
{
    const std::string helper = HelperFile(HTML_TO_PDF_PROGRAM);
    const ProgramExit exit = RunProgram(helper, arguments);
    if (!exit.Succeeded()) {
        TARVO_LOG(m_Log, LOG_ERROR, "%s failed on %s: %s", helper.c_str(), pdfFile.c_str(),
                  DescribeExit(exit).c_str());
        return RC_FILE_WRITE_FAILED;
    }
    CFile pdf;
    uint64_t size = 0;
    char magic[5] = {};
    bool isPdf = pdf.Open(pdfFile, false, false) == RC_OK && pdf.Size(size) == RC_OK &&
                 size >= sizeof magic && pdf.Read(magic, sizeof magic) == RC_OK &&
                 std::memcmp(magic, "%PDF-", sizeof magic) == 0;
    if (!isPdf) {
        TARVO_LOG(m_Log, LOG_ERROR, "%s left no PDF at %s (%llu bytes there)", HTML_TO_PDF_PROGRAM,
                  pdfFile.c_str(), static_cast<unsigned long long>(size));
        return RC_FILE_WRITE_FAILED;
    }
    return RC_OK;
}

ResultCode CEbookPdf::GetCmdParam(const std::string& pdfFile, ConvertOutputContext& ctx, size_t room,
                                  std::vector<std::string>& param)
{
    CIntermediateBook& book = ctx.m_Book;
    const std::string bookDirectory = ToOsPath(book.BookDirectory(ctx.m_TempDirectory));
    param.clear();
    const std::string styleSheet = HelperFile(STYLE_SHEET);
    if (FileExists(styleSheet))
        Append(param, {"--user-style-sheet", styleSheet});
    else
        TARVO_LOG(m_Log, LOG_WARNING, "%s is missing; pages keep the book's own style", styleSheet.c_str());
    Append(param, {"--allow-folder", ToOsPath(ctx.m_TempDirectory)});

    PutCoverFirst(book, bookDirectory);
    std::vector<std::string> pages;
    std::string pageList;
    std::vector<std::string> seen;
    for (std::string& entry : book.m_HtmlFileList) {
        // Some books list one file several times, with a fragment each: it is rendered once.
        std::string file = entry.substr(0, entry.find('#'));
        if (file.empty() || ListHasNoCase(seen, file)) continue;
        seen.push_back(file);
        std::string page;
        if (!PreparePage(entry, bookDirectory, page)) continue;
        pages.push_back(page);
        pageList += page + '\0';
    }
    if (pages.empty()) {
        TARVO_LOG(m_Log, LOG_ERROR, "none of the %zu listed pages is in %s", book.m_HtmlFileList.size(),
                  bookDirectory.c_str());
        return RC_HTML_LIST_EMPTY;
    }
    // After "--" a page whose path starts with "-" is still a page.
    const std::vector<std::string> output = {"--", ToOsPath(pdfFile)};
    if (ArgumentRoom(param) + ArgumentRoom(pages) + ArgumentRoom(output) <= room) {
        Append(param, pages);
        Append(param, output);
        return RC_OK;
    }
    // Past the command line's limit the pages go in a list file; the style sheet and the page
    // boundaries stay as they are.
    const std::string listPath = ToOsPath(ctx.m_TempDirectory) + PAGE_LIST_NAME;
    ResultCode rc = WriteWholeFile(listPath, pageList);
    if (rc != RC_OK) {
        TARVO_LOG(m_Log, LOG_ERROR, "page list %s could not be written", listPath.c_str());
        return rc;
    }
    Append(param, {"--input-list", listPath});
    Append(param, output);
    return RC_OK;
}

std::string CEbookPdf::HelperFile(const char* name) const
{
    return m_HelperDirectory.empty() ? HelperPath(name) : m_HelperDirectory + name;
}

void CEbookPdf::PutCoverFirst(CIntermediateBook& book, const std::string& bookDirectory)
{
    std::vector<std::string>& pages = book.m_HtmlFileList;
    if (!book.m_CoverPageName.empty()) {
        if (!ListHasNoCase(pages, book.m_CoverPageName)) pages.insert(pages.begin(), book.m_CoverPageName);
        return;
    }
    std::string image = book.m_CoverImageName;
    auto listed = book.m_MetaData.find("coverimage");
    if (image.empty() && listed != book.m_MetaData.end() && !listed->second.empty() &&
        ListHasNoCase(book.m_ResourceList, listed->second.front()))
        image = listed->second.front();
    if (image.empty()) return;
    int number = 1;
    while (ListHasNoCase(pages, "cover" + std::to_string(number) + ".html"))
        ++number;
    const std::string page = "cover" + std::to_string(number) + ".html";
    if (WriteWholeFile(bookDirectory + page, MakeCoverPage(image)) != RC_OK) {
        TARVO_LOG(m_Log, LOG_WARNING, "cover page %s%s could not be written; the PDF starts without it",
                  bookDirectory.c_str(), page.c_str());
        return;
    }
    pages.insert(pages.begin(), page);
}

// Renames an .xhtml page to .html (unless that name is taken) and repairs it for the renderer. False
// when the page is missing.
bool CEbookPdf::PreparePage(std::string& entry, const std::string& bookDirectory, std::string& path)
{
    const size_t hash = entry.find('#');
    std::string file = entry.substr(0, hash), fragment = hash == std::string::npos ? "" : entry.substr(hash);
    std::string extension;
    if (GetExtension(file, extension) && extension == "xhtml") {
        std::string renamed = file.substr(0, file.size() - extension.size()) + "html";
        if (!FileExists(bookDirectory + renamed) &&
            MoveFile(bookDirectory + file, bookDirectory + renamed) == RC_OK) {
            file = renamed;
            entry = renamed + fragment;
        }
    }
    path = bookDirectory + file;
    if (!FileExists(path)) {
        TARVO_LOG(m_Log, LOG_WARNING, "page %s is missing; the PDF goes without it", path.c_str());
        return false;
    }
    TARVO_LOG(m_Log, LOG_INFO, "CEbookPdf:svg to img...");
    RepairSvg(path, m_Log);
    return true;
}
