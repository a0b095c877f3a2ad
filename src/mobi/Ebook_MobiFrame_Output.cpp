// Writing a book as a joint MOBI 6 + KF8 file (mobi, azw) or a KF8-only file (azw3).
#include "mobi/Ebook_MobiFrame.h"

#include "base/Files.h"
#include "base/Href.h"
#include "base/Paths.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "mobi/ExthIds.h"
#include "mobi/Kf8TextWriter.h"
#include "mobi/Mobi6TextWriter.h"

#include <algorithm>
#include <cstring>

namespace
{

// Where a joint file's KF8 text records wait while its MOBI 6 part is made.
const char* const KF8_TEXT_SPILL = "~kf8-text-records.tmp";

// Output-log lines carry the handler's name, whichever helper writes them.
#define OUTPUT_LOG(log, ...)                                                                                 \
    LogLine((log), LOG_INFO, __FILE__, __LINE__, "CEbookMobiFrame::Convert_Output", __VA_ARGS__)

bool HasValue(const MetaDataMap& metadata, const char* key)
{
    auto it = metadata.find(key);
    return it != metadata.end() && !it->second.empty() && !it->second.front().empty();
}

// A page's head is looked at no further than this for its viewport.
constexpr size_t VIEWPORT_SEARCH_LIMIT = 64 * 1024;

// "1200x1600" from a page's <meta name="viewport" content="width=1200, height=1600">; empty when
// the page states no size in pixels.
std::string ViewportSize(const std::string& page)
{
    const size_t limit = std::min(page.size(), VIEWPORT_SEARCH_LIMIT);
    const size_t at = FindNoCase(page, "viewport", 0, limit);
    if (at == std::string::npos) return "";
    const size_t begin = page.rfind('<', at), end = page.find('>', at);
    if (begin == std::string::npos || end == std::string::npos || end > limit) return "";
    const std::string tag = ToLowerCopy(page.substr(begin, end - begin));
    if (!StartsWith(tag, "<meta")) return "";
    auto number = [&tag](const char* name) {
        // "device-width" is a width too, but no number: it gives 0.
        size_t p = tag.find(name);
        if (p == std::string::npos) return 0;
        p += std::strlen(name);
        while (p < tag.size() && (tag[p] == ' ' || tag[p] == '='))
            ++p;
        return LeadingNumber(tag.substr(p, 10));
    };
    const int width = number("width"), height = number("height");
    if (width <= 0 || height <= 0) return "";
    return std::to_string(width) + "x" + std::to_string(height);
}

// What the book says beyond its metadata map, in the records Kindle readers look for.
void AddKindleRecords(CIntermediateBook& book, const std::string& tempDirectory, CRunLog* log)
{
    MetaDataMap& metadata = book.m_MetaData;
    // Illustrators, translators, editors: Kindle files keep no role, only the name. Our producer
    // line names no person.
    std::vector<std::string> contributors;
    for (const auto& [key, values] : metadata)
        if (StartsWith(key, "contributor_") && key != "contributor_TarvoProducerName")
            for (const std::string& value : values)
                if (!value.empty()) contributors.push_back(value);
    if (!contributors.empty()) metadata[CIntermediateBook::GetKeyByExthId(EXTH_CONTRIBUTOR)] = contributors;
    if (book.m_RightToLeft) {
        metadata[CIntermediateBook::GetKeyByExthId(EXTH_WRITING_MODE)] = {"horizontal-rl"};
        metadata[CIntermediateBook::GetKeyByExthId(EXTH_PAGE_PROGRESSION)] = {"rtl"};
    }
    if (!book.m_FixedLayout) return;
    std::string size;
    if (!book.m_HtmlFileList.empty())
        size = ViewportSize(
            ReadWholeFile(BookFilePath(book.BookDirectory(tempDirectory), book.m_HtmlFileList.front())));
    if (size.empty()) {
        TARVO_LOG(log, LOG_WARNING,
                  "fixed-layout book whose first page states no viewport size: converted as flowing text");
        return;
    }
    metadata[CIntermediateBook::GetKeyByExthId(EXTH_FIXED_LAYOUT)] = {"true"};
    metadata[CIntermediateBook::GetKeyByExthId(EXTH_ORIGINAL_RESOLUTION)] = {size};
}

// What a reader's shelf needs even when the source book never said it.
void ApplyMetadataDefaults(CIntermediateBook& book, const std::string& outputFile,
                           const std::string& outParam)
{
    MetaDataMap& metadata = book.m_MetaData;
    if (!HasValue(metadata, "title")) {
        std::string name = GetFileName(outputFile);
        book.SetValue("title", name.substr(0, name.rfind('.')));
    }
    // Every title record is shown by some reader, the last by most: a book has one.
    metadata["title"].resize(1);
    // A package names its dates by event ("date", "date_creation"): the earliest is the
    // publication date, as "g" reports it. An undated book stays undated: no reader needs the
    // record, and today's date would pass the conversion off as the book's publication.
    if (!HasValue(metadata, "date_publication")) book.KeepOnlyPublicationDate();
    if (!HasValue(metadata, "date_publication")) metadata.erase("date_publication");
    if (!HasValue(metadata, "cdetype")) book.SetValue("cdetype", "EBOK");
    std::string language;
    if (GetParamValue(outParam, "outparam_epubsetlanguage", language)) book.SetValue("language", language);
}

// The cover named by the book, relative to the TempDirectory, or empty.
std::string CoverPath(const CIntermediateBook& book, const std::string& tempDirectory)
{
    auto values = book.m_MetaData.find("coverimage");
    if (values == book.m_MetaData.end() || values->second.empty()) return std::string();
    const std::string& cover = values->second.front();
    std::string bookDirectory = book.BookDirectory(tempDirectory).substr(tempDirectory.size());
    std::string resolved;
    return ResolveHrefInBook(bookDirectory, cover, resolved) ? resolved : std::string();
}

} // namespace

ResultCode CEbookMobiFrame::MakeKf8Records(CMobiHeader& part, MobiPartKind kind, CMobiResources& resources,
                                           const std::string& tempDirectory, bool vertical,
                                           MobiPartRecords& records)
{
    MobiPartText text;
    ResultCode rc;
    {
        CKf8TextWriter writer(part.m_Book, tempDirectory, m_Log);
        rc = writer.Write(resources, vertical, text);
    }
    if (rc != RC_OK) return rc;
    std::vector<std::string> resourceRecords;
    if (kind != MobiPartKind::JointKf8) resourceRecords = resources.Records();
    return MakeRecord(kind, std::move(text), std::move(resourceRecords), resources.CoverIndex(),
                      part.m_Book.m_MetaData, m_Log, records);
}

ResultCode CEbookMobiFrame::MakeKf7Records(CMobiHeader& part, MobiPartKind kind, CMobiResources& resources,
                                           const std::string& tempDirectory, MobiPartRecords& records)
{
    MobiPartText text;
    ResultCode rc;
    {
        CMobi6TextWriter writer(part.m_Book, tempDirectory, m_Log);
        rc = writer.Write(resources, text);
    }
    if (rc != RC_OK) return rc;
    return MakeRecord(kind, std::move(text), resources.Records(), resources.CoverIndex(),
                      part.m_Book.m_MetaData, m_Log, records);
}

ResultCode CEbookMobiFrame::Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx)
{
    PrintProgress("Converting Output To MobiFrame");
    OUTPUT_LOG(m_Log, "CEbookMobiFrame::Convert_Output test...");
    CIntermediateBook book = ctx.m_Book;
    book.m_Log = m_Log;
    ApplyMetadataDefaults(book, outputFile, ctx.m_OutParam);
    AddKindleRecords(book, ctx.m_TempDirectory, m_Log);
    m_MobiHeader.m_Book = book;
    m_MobiHeaderKF8.m_Book = book;

    // The cover goes first so that it is resource record 0 and its thumbnail record 1.
    CMobiResources resources(ctx.m_TempDirectory, m_Log);
    std::string cover = CoverPath(book, ctx.m_TempDirectory);
    if (!cover.empty() && !resources.AddCover(cover))
        TARVO_LOG(m_Log, LOG_WARNING, "cover %s is no image; the book gets none", cover.c_str());
    std::string vertical;
    bool verticalMode = GetParamValue(ctx.m_OutParam, "outparam_bookverticalmode", vertical);

    std::vector<MobiPartRecords> parts(m_FormatId == FORMAT_MOBI ? 2 : 1);
    std::string spill;
    ResultCode rc = RC_OK;
    PrintProgress("Make Record");
    if (m_FormatId == FORMAT_MOBI) {
        OUTPUT_LOG(m_Log, "MakeRecord KF8 IN");
        rc = MakeKf8Records(m_MobiHeaderKF8, MobiPartKind::JointKf8, resources, ctx.m_TempDirectory,
                            verticalMode, parts[1]);
        OUTPUT_LOG(m_Log, "MakeRecord KF8 OUT");
        if (rc != RC_OK) return rc;
        // The KF8 text waits on disk while the MOBI 6 part is made: both parts' texts in memory at
        // once would hold the book twice over.
        // A file of the book by that name is never replaced.
        spill = ctx.m_TempDirectory + KF8_TEXT_SPILL;
        if (FileExists(spill) || !SpillTextRecords(parts[1].m_TextRecords, spill)) {
            TARVO_LOG(m_Log, LOG_WARNING, "%s not written; the KF8 text stays in memory", spill.c_str());
            spill.clear();
        }
        PrintProgress("Make Record KF7");
        OUTPUT_LOG(m_Log, "MakeRecord KF7 IN");
        rc = MakeKf7Records(m_MobiHeader, MobiPartKind::JointKf7, resources, ctx.m_TempDirectory, parts[0]);
        OUTPUT_LOG(m_Log, "MakeRecord KF7 OUT");
    } else {
        OUTPUT_LOG(m_Log, "MakeRecord IN");
        if (m_FormatId == FORMAT_AZW3)
            rc = MakeKf8Records(m_MobiHeaderKF8, MobiPartKind::Kf8Only, resources, ctx.m_TempDirectory,
                                verticalMode, parts[0]);
        else
            rc =
                MakeKf7Records(m_MobiHeader, MobiPartKind::Kf7Only, resources, ctx.m_TempDirectory, parts[0]);
        OUTPUT_LOG(m_Log, "MakeRecord OUT");
    }
    if (rc == RC_OK) {
        PrintProgress("Processed 95%");
        PrintProgress("Creating MobiFrame Output");
        const bool joint = m_FormatId == FORMAT_MOBI;
        OUTPUT_LOG(m_Log, joint ? "MakeFile MOBI IN" : "MakeFile IN");
        rc = MakeFile(outputFile, parts, m_Log);
        OUTPUT_LOG(m_Log, joint ? "MakeFile MOBI OUT" : "MakeFile OUT");
    }
    if (!spill.empty()) DeleteFile(spill);
    return rc;
}
