// Resource records and flows for Kindle output, and the path rules that keep every read inside the
// TempDirectory.
#include "mobi/MobiResources.h"

#include "base/Files.h"
#include "base/Href.h"
#include "base/Images.h"
#include "base/Paths.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "mobi/ByteIO.h"

#include <zlib.h>

#include <vector>

namespace
{

// Smaller font files are left to the reader's own fonts.
constexpr size_t MIN_EMBEDDED_FONT = 1040;
constexpr uint32_t FONT_HEADER_SIZE = 24;
constexpr uint32_t FONT_FLAG_ZLIB = 1;
constexpr uint32_t MEDIA_HEADER_SIZE = 12;
constexpr uint32_t AUDIO_TYPE = 40;
constexpr uint32_t VIDEO_TYPE = 41;
// Four base-32 digits.
constexpr int32_t MAX_REFERENCE_NUMBER = 32 * 32 * 32 * 32 - 1;

bool IsFlow(ResourceKind kind)
{
    return kind == ResourceKind::StyleSheet || kind == ResourceKind::Svg;
}

bool CompressFont(const std::string& font, std::string& record)
{
    uLongf size = compressBound(static_cast<uLong>(font.size()));
    std::string packed(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(font.data()),
                  static_cast<uLong>(font.size()), 9) != Z_OK)
        return false;
    packed.resize(size);
    record.assign("FONT");
    AppendU32(record, static_cast<uint32_t>(font.size()));
    AppendU32(record, FONT_FLAG_ZLIB);
    AppendU32(record, FONT_HEADER_SIZE);
    AppendU32(record, 0);
    AppendU32(record, 0);
    record += packed;
    PadTo4(record);
    return true;
}

std::string MediaRecord(const char* magic, uint32_t type, const std::string& bytes)
{
    std::string record(magic, 4);
    AppendU32(record, MEDIA_HEADER_SIZE);
    AppendU32(record, type);
    record += bytes;
    return record;
}

} // namespace

CMobiResources::CMobiResources(const std::string& tempDirectory, CRunLog* log)
    : m_TempDirectory(tempDirectory), m_Log(log)
{
    if (!m_TempDirectory.empty() && !IsSeparator(m_TempDirectory.back())) m_TempDirectory += '/';
}

void CMobiResources::Refuse(const std::string& key, const char* reason)
{
    if (!m_Refused.insert(key).second) return;
    TARVO_LOG(m_Log, LOG_WARNING, "resource \"%s\" left out: %s", key.c_str(), reason);
    // The book is still whole without it, so the run succeeds; but its reader would miss a picture
    // or a font, which its user should hear of.
    TellUser("%s left out of the Kindle book: %s", key.c_str(), reason);
}

bool CMobiResources::AddEntry(const std::string& path, ResourceKind kind, std::string bytes,
                              const std::string& mediaType)
{
    MobiResource entry;
    entry.m_Path = path;
    entry.m_Kind = kind;
    entry.m_MediaType = mediaType;
    if (IsFlow(kind)) {
        if (m_FlowCount >= MAX_REFERENCE_NUMBER) return false;
        entry.m_Number = ++m_FlowCount;
        entry.m_Kf8Ref =
            "kindle:flow:" + WriteBase32(static_cast<uint64_t>(entry.m_Number), 4) + "?mime=" + mediaType;
    } else {
        if (m_RecordCount >= static_cast<size_t>(MAX_REFERENCE_NUMBER)) return false;
        entry.m_Number = static_cast<int32_t>(m_RecordCount++);
        char number[16];
        snprintf(number, sizeof number, "%05d", entry.m_Number + 1);
        entry.m_Mobi6Ref = number;
        entry.m_Kf8Ref = "kindle:embed:" + WriteBase32(static_cast<uint64_t>(entry.m_Number) + 1, 4);
        if (!mediaType.empty()) entry.m_Kf8Ref += "?mime=" + mediaType;
        if (kind == ResourceKind::Font) m_HasFonts = true;
    }
    entry.m_Bytes = std::move(bytes);
    m_ByPath[path] = m_Entries.size();
    m_Entries.push_back(std::move(entry));
    return true;
}

std::string CMobiResources::Reference(const std::string& directory, const std::string& ref, bool kf8)
{
    std::string path;
    if (!ResolveHrefInBook(directory, ref, path)) {
        Refuse(directory + ref, "not a file inside the book");
        return "";
    }
    return ReferenceOf(path, kf8);
}

std::string CMobiResources::ReferenceOf(const std::string& path, bool kf8)
{
    auto found = m_ByPath.find(path);
    if (found != m_ByPath.end()) {
        const MobiResource& entry = m_Entries[found->second];
        return kf8 ? entry.m_Kf8Ref : entry.m_Mobi6Ref;
    }
    if (m_Refused.count(path) != 0) return "";
    std::string bytes;
    if (!ReadFileBytes(m_TempDirectory + path, bytes) || bytes.empty()) {
        Refuse(path, "missing, unreadable or empty");
        return "";
    }
    std::string extension;
    GetExtension(path, extension);
    std::string image = ImageTypeOf(bytes);
    ResourceKind kind;
    std::string mediaType, record;
    if (!image.empty()) {
        kind = ResourceKind::Image;
        mediaType = "image/" + image;
        record = std::move(bytes);
    } else if (extension == "css" || extension == "svg") {
        // A MOBI 6 text has no flows; a KF8 text of the same book may still want the file.
        if (!kf8) return "";
        kind = extension == "css" ? ResourceKind::StyleSheet : ResourceKind::Svg;
        mediaType = extension == "css" ? "text/css" : "image/svg+xml";
        record = std::move(bytes);
    } else if (extension == "mp3" || extension == "wav") {
        kind = ResourceKind::Audio;
        mediaType = "audio/mpeg";
        record = MediaRecord("AUDI", AUDIO_TYPE, bytes);
    } else if (extension == "mp4") {
        kind = ResourceKind::Video;
        mediaType = "video/mp4";
        record = MediaRecord("VIDE", VIDEO_TYPE, bytes);
    } else if (extension == "ttf" || extension == "ttc" || extension == "otf") {
        // OpenType with PostScript outlines ("otf") is embedded as Kindle readers take it.
        kind = ResourceKind::Font;
        if (bytes.size() < MIN_EMBEDDED_FONT) {
            Refuse(path, "font too small to embed");
            return "";
        }
        if (bytes.size() > UINT32_MAX || !CompressFont(bytes, record)) {
            Refuse(path, "font does not compress");
            return "";
        }
    } else {
        Refuse(path, "no image, style sheet, font, audio or video");
        return "";
    }
    if (!AddEntry(path, kind, std::move(record), mediaType)) {
        Refuse(path, "too many resources");
        return "";
    }
    const MobiResource& entry = m_Entries.back();
    return kf8 ? entry.m_Kf8Ref : entry.m_Mobi6Ref;
}

bool CMobiResources::AddCover(const std::string& path)
{
    std::string resolved;
    if (!ResolveInBook("", path, resolved)) {
        Refuse(path, "cover is not a file inside the book");
        return false;
    }
    if (ReferenceOf(resolved, false).empty()) return false;
    const MobiResource& cover = m_Entries[m_ByPath[resolved]];
    if (cover.m_Kind != ResourceKind::Image) {
        Refuse(resolved, "cover is no image");
        return false;
    }
    int32_t coverNumber = cover.m_Number;
    std::string thumbPath = resolved + ".thumb";
    auto thumb = m_ByPath.find(thumbPath);
    if (thumb == m_ByPath.end()) {
        // Copy before adding: the new entry may move the cover's.
        std::string bytes = cover.m_Bytes, mediaType = cover.m_MediaType;
        if (!AddEntry(thumbPath, ResourceKind::Image, std::move(bytes), mediaType)) return false;
        m_ThumbIndex = m_Entries.back().m_Number;
    } else {
        m_ThumbIndex = m_Entries[thumb->second].m_Number;
    }
    m_CoverIndex = coverNumber;
    return true;
}

std::string CMobiResources::AddFlow(const std::string& name, const std::string& text, ResourceKind kind)
{
    if (!IsFlow(kind)) return "";
    MobiResource entry;
    if (m_FlowCount >= MAX_REFERENCE_NUMBER) return "";
    entry.m_Path = name;
    entry.m_Kind = kind;
    entry.m_MediaType = kind == ResourceKind::StyleSheet ? "text/css" : "image/svg+xml";
    entry.m_Number = ++m_FlowCount;
    entry.m_Kf8Ref =
        "kindle:flow:" + WriteBase32(static_cast<uint64_t>(entry.m_Number), 4) + "?mime=" + entry.m_MediaType;
    entry.m_Bytes = text;
    m_Entries.push_back(std::move(entry));
    return m_Entries.back().m_Kf8Ref;
}

std::vector<std::string> CMobiResources::Records() const
{
    std::vector<std::string> records;
    records.reserve(m_RecordCount);
    for (const MobiResource& entry : m_Entries)
        if (!IsFlow(entry.m_Kind)) records.push_back(entry.m_Bytes);
    return records;
}

std::vector<MobiResource*> CMobiResources::Flows()
{
    std::vector<MobiResource*> flows;
    for (MobiResource& entry : m_Entries)
        if (IsFlow(entry.m_Kind)) flows.push_back(&entry);
    return flows;
}
