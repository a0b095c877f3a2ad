// The format-neutral book every conversion passes through, and its metadata operations.
#pragma once

#include "base/ResultCode.h"

#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

class CRunLog;

// Key -> values in insertion order; keys sort byte-wise, so upper-case keys come first.
using MetaDataMap = std::map<std::string, std::vector<std::string>>;

struct NavPoint {
    std::string m_PlayOrder;
    int32_t m_EntryNumber = 0; // the NCX writer's "already written" mark
    std::string m_Label;
    std::string m_Src; // relative file, optionally "#fragment"
    int32_t m_Depth = 0;
    int32_t m_FirstChild = -1; // indexes into the NavPoint list
    int32_t m_LastChild = -1;
    int32_t m_Parent = -1;
    int32_t m_OwnIndex = 0;
    int32_t m_TextOffset = 0;
    int32_t m_FragmentNumber = 0;
    int32_t m_FragmentOffset = 0;
};

struct GuideItem {
    std::string m_Type;
    std::string m_Title;
    std::string m_Href;
    int32_t m_FragmentNumber = 0;
    int32_t m_FragmentOffset = 0;
};

class CIntermediateBook
{
  public:
    CIntermediateBook();

    // ---- metadata ----
    static std::string GetKeyByExthId(int32_t type);
    static int32_t GetExthIdByKey(const std::string& key);
    void AddValue(const std::string& key, const std::string& value);
    void AddValueByExthId(int32_t type, const std::string& bytes);
    // Key present: an empty value removes it, otherwise the value replaces all values.
    void SetValue(const std::string& key, const std::string& bytes);
    void SetValueByExthId(int32_t type, const std::string& text);
    // The values joined by " & "; RC_META_GET_ITEM (text untouched) when the key is absent.
    ResultCode GetValue(const std::string& key, std::string& text) const;
    // A 4-byte value read big-endian, else 0xFFFFFFFF.
    uint32_t GetUint32ByExthId(int32_t type) const;
    // A value ToJson cut to fit: its key and its lengths in bytes, joined, before and after.
    struct CutValue {
        std::string m_Key;
        size_t m_Length;
        size_t m_Kept;
    };
    // Removes "coverimage" from the map, as the metadata file never carries it. When the members
    // would not fit the metadata text together, the longest values are cut at a character
    // boundary, each to an equal share of the room the shorter ones leave; each cut is logged.
    std::vector<CutValue> ToJson(std::string& text);
    // False when ToJson would cut a value for want of room; firstLeftOut names its key.
    bool FitsMetadataText(std::string& firstLeftOut) const;
    ResultCode FromJson(const std::string& text);
    void ToText(std::string& text) const;
    void AssignMap(const MetaDataMap& map) { m_MetaData = map; }
    void Reset();
    void MergeDateTime();
    void RemoveDateKeys();
    // Every date key merged into one "date_publication", the only date key left.
    void KeepOnlyPublicationDate();
    void KeepFirstValues();
    // The metadata text holds a key's values joined by " & ": for the keys with one value per
    // person or identifier (creator, contributor..., identifier...) they are split back there.
    // Other keys keep their " & " (a title may have one).
    void SplitJoinedValues();
    void PrepareForOutput();

    // ---- location of the files ----
    // TempDirectory, or TempDirectory + content directory when both location flags are set.
    std::string BookDirectory(const std::string& tempDirectory) const;
    // Makes every listed name relative to the TempDirectory itself (clears location flag A).
    void RebaseOntoTempDirectory();

    int32_t m_CoverImageIndex = -1;
    int32_t m_ThumbImageIndex = -1;
    CRunLog* m_Log = nullptr;
    MetaDataMap m_MetaData;
    std::vector<std::string> m_HtmlFileList;
    std::vector<std::string> m_HtmlTitleList; // filled beside the HtmlFileList by some readers
    std::vector<std::string> m_ResourceList;
    std::vector<GuideItem> m_GuideItems;
    std::vector<NavPoint> m_NavPoints;
    // Documents of the HtmlFileList our cleaner printed in this run and nothing changed since:
    // printing them again gives the same bytes, so an output may take them as they are.
    std::unordered_set<std::string> m_PrintedDocuments;
    std::string m_ContentDirectory; // relative to the TempDirectory, ends with a separator
    std::string m_PackagePath;
    std::string m_NcxPath;
    bool m_MetaIsWindows1252 = false;
    std::string m_CoverImageName;
    std::string m_CoverPageName;
    std::string m_SpareText;
    // Where the book's lists name real files when the input is an unpacked book (a package or
    // a page on disk), "./" for the working folder; empty when they name copies only.
    std::string m_SourceFolder;
    bool m_RelativeToContentDirectory = true; // location flag A
    bool m_PackageInSubdirectory = false;     // location flag B

    // What a package says beyond the metadata map. The metadata text (the "g" file) has no member
    // for these, so they live beside the map and reach only the outputs that can hold them.
    // A person's name as the map lists it -> the form it sorts by ("Curry, Charles"). Keyed by the
    // name, so a name replaced on the way (by "s" or an option) loses a sort form that is no longer its.
    std::map<std::string, std::string> m_SortNames;
    std::string m_TitleSort;    // the form the title sorts by ("Adventures of ..., The")
    std::string m_Series;       // the series the book belongs to
    std::string m_SeriesIndex;  // its place in the series, as written ("3", "2.5")
    bool m_RightToLeft = false; // pages turn from right to left
    bool m_FixedLayout = false; // laid out page by page (pre-paginated) by its maker
};

// Numbers the entries from 1 in reading order (depth first, children after their parent); entries
// with the same target share a number, as a table of contents requires.
void AssignPlayOrder(std::vector<NavPoint>& points);

// The earlier of two dates; see the rules in the implementation.
std::string MergeDate(const std::string& a, const std::string& b);
// The value of key in the JSON text of an InParam or OutParam map; false when absent or empty.
bool GetParamValue(const std::string& paramText, const char* key, std::string& value);
// JSON string quoting that escapes only quote, backslash and control bytes; UTF-8 passes through.
std::string QuoteJsonString(const std::string& text);
