// The files a book's HTML refers to, turned into resource records (images, fonts, audio, video) and
// KF8 flows (style sheets, SVG), with the references the MOBI 6 and KF8 texts put in their place.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CRunLog;

enum class ResourceKind { Image, StyleSheet, Svg, Audio, Video, Font };

struct MobiResource {
    std::string m_Path;     // relative to the TempDirectory, lexically normal, "/" separators
    std::string m_Mobi6Ref; // "%05d" of the record number + 1; empty for flows
    std::string m_Kf8Ref;   // "kindle:embed:..." or "kindle:flow:..."
    std::string m_Bytes;    // the record as written, or the flow's text
    std::string m_MediaType;
    ResourceKind m_Kind = ResourceKind::Image;
    int32_t m_Number = -1; // record number among the resources, or flow number (from 1)
};

class CMobiResources
{
  public:
    CMobiResources(const std::string& tempDirectory, CRunLog* log);

    // The reference that replaces ref in a file of directory (relative to the TempDirectory), or
    // empty when the file cannot be used: the caller then leaves the attribute as it was. A MOBI 6
    // text gets no reference for style sheets and SVG.
    std::string Reference(const std::string& directory, const std::string& ref, bool kf8);
    // The cover and, right after it, its thumbnail; path relative to the TempDirectory and taken
    // literally (already URL-decoded). False when the file is no image.
    bool AddCover(const std::string& path);
    // A flow made from text the printer took out of a document; returns its KF8 reference.
    std::string AddFlow(const std::string& name, const std::string& text, ResourceKind kind);

    int32_t CoverIndex() const { return m_CoverIndex; }
    // The thumbnail's record number; it follows the cover's unless the text referred to the cover
    // before AddCover ran.
    int32_t ThumbIndex() const { return m_ThumbIndex; }
    bool HasFonts() const { return m_HasFonts; }
    // Records in the order made (images, fonts, audio, video; the thumbnail after the cover).
    std::vector<std::string> Records() const;
    size_t RecordCount() const { return m_RecordCount; }
    // Flows in flow-number order (flow 1 first); their texts may be rewritten before writing.
    std::vector<MobiResource*> Flows();

  private:
    // A new entry for a file of kind, numbered as the next record or flow; false when the numbers
    // are used up.
    bool AddEntry(const std::string& path, ResourceKind kind, std::string bytes,
                  const std::string& mediaType);
    // The reference of a resolved path relative to the TempDirectory; the entry is made on first use.
    std::string ReferenceOf(const std::string& path, bool kf8);
    // Logs the reason the first time a path or reference is refused.
    void Refuse(const std::string& key, const char* reason);

    std::string m_TempDirectory; // ends with a separator
    CRunLog* m_Log;
    std::vector<MobiResource> m_Entries; // in order of first reference
    std::unordered_map<std::string, size_t> m_ByPath;
    std::unordered_set<std::string> m_Refused; // paths and references already logged
    int32_t m_CoverIndex = -1;
    int32_t m_ThumbIndex = -1;
    size_t m_RecordCount = 0;
    int32_t m_FlowCount = 0;
    bool m_HasFonts = false;
};
