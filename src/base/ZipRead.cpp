// Listing a ZIP archive (its central directory, or a walk over the local headers of a damaged
// one) and reading its entries: into memory within limits, a prefix only, or out to files.
#include "base/Zip.h"

#include "base/Folders.h"
#include "base/Href.h"
#include "base/Paths.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "base/ZipFormat.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_set>
#include <vector>

using namespace zipformat;

namespace
{

// The end record is looked for only in this many bytes at the end of the file.
constexpr size_t END_SEARCH_WINDOW = 0x10011;
constexpr size_t SEARCH_BLOCK = 32768;

// Writers of some archives put "?" where a name had an unmappable character, and relative prefixes
// that mean nothing inside an archive.
void CleanName(std::string& name)
{
    std::replace(name.begin(), name.end(), '?', '_');
    size_t skip = 0;
    for (;;) {
        if (name.compare(skip, 2, "./") == 0)
            skip += 2;
        else if (name.compare(skip, 3, "../") == 0)
            skip += 3;
        else
            break;
    }
    name.erase(0, skip);
}

} // namespace

ResultCode CZip::ReadDirectory()
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "ReadDirectory IN");
    uint64_t size = 0;
    if (Size(size) != RC_OK) return RC_FILE_OPEN_FAILED;
    if (size > UINT32_MAX) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "archive of %llu bytes is past the 4 GiB a ZIP offset can address",
                  static_cast<unsigned long long>(size));
        return RC_ZIP_MAGIC;
    }
    m_FileSize = static_cast<uint32_t>(size);
    unsigned char magic[2];
    if (ReadExact(0, magic, 2, RC_ZIP_MAGIC) != RC_OK || magic[0] != 'P' || magic[1] != 'K') {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "no \"PK\" at the start of the archive");
        return RC_ZIP_MAGIC;
    }
    unsigned char end[END_RECORD_SIZE];
    if (size < END_RECORD_SIZE ||
        ReadExact(size - END_RECORD_SIZE, end, END_RECORD_SIZE, RC_ZIP_MAGIC) != RC_OK)
        return RC_ZIP_MAGIC;
    m_Entries.clear();

    if (Get32(end) != SIG_END) {
        bool walk = false;
        const ResultCode rc = FindEndBehindComment(size, end, walk);
        if (rc != RC_OK || walk) return walk ? ScanLocalHeaders() : rc;
    }

    const uint32_t dirSize = Get32(end + 12);
    const uint32_t dirOffset = Get32(end + 16);
    if (dirOffset > size) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "central directory offset 0x%x is past the end 0x%x", dirOffset,
                  m_FileSize);
        return RC_FILE_SEEK_FAILED;
    }
    if (dirSize == 0) return RC_ZIP_MAGIC;
    if (dirSize > size - dirOffset) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "central directory of 0x%x bytes at 0x%x passes the end 0x%x", dirSize,
                  dirOffset, m_FileSize);
        return RC_FILE_READ_FAILED;
    }
    std::string dir(dirSize, '\0');
    if (ReadExact(dirOffset, &dir[0], dirSize, RC_FILE_READ_FAILED) != RC_OK) return RC_FILE_READ_FAILED;
    const auto* bytes = reinterpret_cast<const unsigned char*>(dir.data());

    ResultCode rc = RC_OK;
    std::unordered_set<uint32_t> headersSeen;
    for (size_t pos = 0; pos < dirSize && rc == RC_OK;) {
        const unsigned char* rec = bytes + pos;
        if (dirSize - pos < CENTRAL_RECORD_SIZE || Get32(rec) != SIG_CENTRAL) {
            TARVO_LOG(m_ZipLog, LOG_ERROR, "no central record at 0x%zx", dirOffset + pos);
            rc = RC_ZIP_DIR_RECORD;
            break;
        }
        const uint32_t headerOffset = Get32(rec + 42);
        const size_t recordSize = CENTRAL_RECORD_SIZE + Get16(rec + 28) + Get16(rec + 30) + Get16(rec + 32);
        // Records that share one local header make a small archive extract its data many times over.
        if (!headersSeen.insert(headerOffset).second) {
            TARVO_LOG(m_ZipLog, LOG_WARNING, "second record for the local header at 0x%x skipped",
                      headerOffset);
            pos += recordSize;
            continue;
        }
        ZipEntry entry;
        rc = ReadListedEntry(rec, headerOffset, size, entry);
        if (rc != RC_OK) break;
        m_Entries.push_back(std::move(entry));
        pos += recordSize;
    }
    // Also after a failure: the entries found so far are what FixEpub writes out.
    FixSizes(dirOffset);
    TARVO_LOG(m_ZipLog, LOG_INFO, "ReadDirectory OUT, %zu entries", m_Entries.size());
    return rc;
}

// A comment follows the end record: take the first end signature in the window that leaves room
// for a whole record. walk is set when there is none.
ResultCode CZip::FindEndBehindComment(uint64_t size, unsigned char* end, bool& walk)
{
    size_t window = static_cast<size_t>(std::min<uint64_t>(size, END_SEARCH_WINDOW));
    std::string tail(window, '\0');
    if (ReadExact(size - window, &tail[0], window, RC_ZIP_MAGIC) != RC_OK) return RC_ZIP_MAGIC;
    size_t at = tail.find(std::string("PK\x05\x06", 4));
    if (at == std::string::npos || at + END_RECORD_SIZE > window) {
        TARVO_LOG(m_ZipLog, LOG_WARNING, "no end record, walking the local headers");
        walk = true;
        return RC_OK;
    }
    std::memcpy(end, tail.data() + at, END_RECORD_SIZE);
    return RC_OK;
}

// The entry a central record lists, as its local header at headerOffset describes it.
ResultCode CZip::ReadListedEntry(const unsigned char* rec, uint32_t headerOffset, uint64_t size,
                                 ZipEntry& entry)
{
    ResultCode rc = RC_OK;
    unsigned char local[LOCAL_HEADER_SIZE];
    if (headerOffset > size) {
        rc = RC_FILE_SEEK_FAILED;
    } else if (ReadExact(headerOffset, local, LOCAL_HEADER_SIZE, RC_FILE_READ_FAILED) != RC_OK) {
        rc = RC_FILE_READ_FAILED;
    } else if (Get32(local) != SIG_LOCAL) {
        rc = RC_ZIP_MAGIC;
    }
    if (rc != RC_OK) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "no local header at 0x%x", headerOffset);
        return rc;
    }
    const uint16_t nameLength = Get16(local + 26);
    entry.m_Name.assign(nameLength, '\0');
    if (ReadExact(uint64_t(headerOffset) + LOCAL_HEADER_SIZE, &entry.m_Name[0], nameLength,
                  RC_FILE_READ_FAILED) != RC_OK)
        return RC_FILE_READ_FAILED;
    CleanName(entry.m_Name);
    entry.m_Method = Get16(local + 8);
    entry.m_Time = Get16(local + 10);
    entry.m_Date = Get16(local + 12);
    uint64_t dataOffset = uint64_t(headerOffset) + LOCAL_HEADER_SIZE + nameLength + Get16(local + 28);
    entry.m_DataOffset = static_cast<uint32_t>(std::min<uint64_t>(dataOffset, size));
    entry.m_CompressedSize = static_cast<int32_t>(Get32(rec + 20));
    entry.m_UncompressedSize = static_cast<int32_t>(Get32(rec + 24));
    entry.m_HeaderOffset = headerOffset;
    entry.m_Flags = Get16(rec + 8);
    entry.m_Crc = Get32(rec + 16);
    return RC_OK;
}

// Sizes in the central directory may be missing or wrong; the next local header in the file bounds
// each entry's data. That also cuts an entry whose data would take in the entries after it.
void CZip::FixSizes(uint32_t directoryOffset)
{
    std::vector<uint32_t> headers;
    headers.reserve(m_Entries.size());
    for (const ZipEntry& e : m_Entries)
        headers.push_back(e.m_HeaderOffset);
    std::sort(headers.begin(), headers.end());
    for (ZipEntry& e : m_Entries) {
        // Both sizes 0 is an empty file; the bytes up to the next header are its data descriptor.
        if (e.m_CompressedSize == 0 && e.m_UncompressedSize == 0) continue;
        auto next = std::upper_bound(headers.begin(), headers.end(), e.m_HeaderOffset);
        const uint32_t limit = std::min(next != headers.end() ? *next : directoryOffset, m_FileSize);
        if (limit < e.m_DataOffset) {
            e.m_CompressedSize = 0;
            continue;
        }
        const uint32_t room = limit - e.m_DataOffset;
        if (e.m_CompressedSize < 1 || static_cast<uint32_t>(e.m_CompressedSize) > room)
            e.m_CompressedSize = static_cast<int32_t>(room);
    }
    m_Entries.erase(std::remove_if(m_Entries.begin(), m_Entries.end(),
                                   [](const ZipEntry& e) { return !KeepsName(e.m_Name); }),
                    m_Entries.end());
}

ResultCode CZip::ScanLocalHeaders()
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "ScanLocalHeaders IN");
    m_Entries.clear();
    m_ScanPosition = 0;
    uint64_t size = 0;
    if (Size(size) != RC_OK || size > UINT32_MAX) return RC_FILE_SEEK_FAILED;
    m_FileSize = static_cast<uint32_t>(size);
    uint64_t position = 0;
    for (;;) {
        unsigned char sig[4];
        if (ReadExact(position, sig, 4, RC_FILE_READ_FAILED) != RC_OK) {
            TARVO_LOG(m_ZipLog, LOG_WARNING, "walk ended without an end record at 0x%llx, %zu entries",
                      static_cast<unsigned long long>(position), m_Entries.size());
            return RC_FILE_READ_FAILED;
        }
        position += 4;
        ResultCode rc = RC_OK;
        switch (Get32(sig)) {
        case SIG_END:
            m_ScanPosition = static_cast<uint32_t>(position);
            TARVO_LOG(m_ZipLog, LOG_INFO, "ScanLocalHeaders OUT, %zu entries", m_Entries.size());
            return RC_OK;
        case SIG_CENTRAL: {
            unsigned char rec[42];
            if (ReadExact(position, rec, sizeof rec, RC_ZIP_DIR_RECORD) != RC_OK) return RC_ZIP_DIR_RECORD;
            uint64_t next = position + sizeof rec + Get16(rec + 24) + Get16(rec + 26) + Get16(rec + 28);
            if (next > size) return RC_ZIP_DIR_RECORD;
            position = next;
            break;
        }
        case SIG_DESCRIPTOR:
            if (position + 12 > size) return RC_ZIP_DESCRIPTION_RECORD;
            position += 12;
            break;
        case SIG_LOCAL:
            rc = ScanEntry(position);
            break;
        default:
            TARVO_LOG(m_ZipLog, LOG_ERROR, "unknown signature 0x%08x at 0x%llx", Get32(sig),
                      static_cast<unsigned long long>(position - 4));
            rc = RC_ZIP_MAGIC;
        }
        m_ScanPosition = static_cast<uint32_t>(std::min<uint64_t>(position, size));
        if (rc != RC_OK) return rc;
    }
}

// One local header at position (just after its signature); position ends after the entry's data.
ResultCode CZip::ScanEntry(uint64_t& position)
{
    const uint64_t size = m_FileSize;
    unsigned char h[26]; // the local header without its signature
    if (ReadExact(position, h, sizeof h, RC_FILE_READ_FAILED) != RC_OK) return RC_FILE_READ_FAILED;
    position += sizeof h;
    const uint16_t nameLength = Get16(h + 22);
    const uint16_t extraLength = Get16(h + 24);
    ZipEntry entry;
    entry.m_Name.assign(nameLength, '\0');
    if (ReadExact(position, &entry.m_Name[0], nameLength, RC_FILE_READ_FAILED) != RC_OK)
        return RC_FILE_READ_FAILED;
    CleanName(entry.m_Name);
    if (position + nameLength + extraLength > size) return RC_FILE_SEEK_FAILED;
    position += nameLength + extraLength;
    entry.m_Flags = Get16(h + 2);
    entry.m_Method = Get16(h + 4);
    entry.m_Time = Get16(h + 6);
    entry.m_Date = Get16(h + 8);
    // With a data descriptor the header's CRC-32 is a placeholder; the descriptor has the real one.
    if ((entry.m_Flags & FLAG_DESCRIPTOR) == 0) entry.m_Crc = Get32(h + 10);

    const uint64_t dataStart = position;
    const uint64_t remaining = size - dataStart;
    uint32_t compressed = Get32(h + 14);
    uint32_t uncompressed = Get32(h + 18);
    if (compressed != UNKNOWN_SIZE && compressed > remaining) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "entry at 0x%llx claims 0x%x bytes, 0x%llx remain",
                  static_cast<unsigned long long>(dataStart), compressed,
                  static_cast<unsigned long long>(remaining));
        return RC_ZIP_MAGIC;
    }
    auto add = [&](uint32_t packed, uint32_t unpacked) {
        if (!KeepsName(entry.m_Name)) return;
        entry.m_DataOffset = static_cast<uint32_t>(dataStart);
        entry.m_CompressedSize = static_cast<int32_t>(packed);
        entry.m_UncompressedSize = static_cast<int32_t>(unpacked);
        m_Entries.push_back(std::move(entry));
    };
    // A streamed writer may know the length of the input but not of its compressed form.
    if (uncompressed != 0 && uncompressed != UNKNOWN_SIZE && compressed != 0 && compressed != UNKNOWN_SIZE) {
        add(compressed, uncompressed);
        position += compressed;
        return RC_OK;
    }
    if (compressed != 0 && compressed != UNKNOWN_SIZE) {
        position += compressed;
        return RC_OK;
    }
    const ResultCode rc = SizesAfterData(dataStart, entry.m_Crc, compressed, uncompressed, position);
    if (rc != RC_OK) return rc;
    add(compressed, uncompressed);
    return RC_OK;
}

// Sizes follow the data (streamed writers): find where the data ends by the next signature, and
// take the sizes from the data descriptor there, if any. position ends after the descriptor.
ResultCode CZip::SizesAfterData(uint64_t dataStart, uint32_t& crc, uint32_t& compressed,
                                uint32_t& uncompressed, uint64_t& position)
{
    const uint64_t remaining = m_FileSize - dataStart;
    const bool allUnknown = compressed == UNKNOWN_SIZE && uncompressed == UNKNOWN_SIZE;
    uint64_t match = 0;
    const DataEnd outcome = FindDataEnd(dataStart, allUnknown, match);
    if (allUnknown) {
        if (outcome != DataEnd::NextHeader) return RC_ZIP_DESCRIPTION_CONTENT;
        compressed = static_cast<uint32_t>(match - dataStart);
        uncompressed = 0;
        crc = 0;
        position = match;
    } else if (outcome == DataEnd::Nothing) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "no data descriptor after the entry at 0x%llx",
                  static_cast<unsigned long long>(dataStart));
        return RC_ZIP_DESCRIPTION_CONTENT;
    } else if (outcome == DataEnd::NextHeader) {
        compressed = uncompressed = 0;
        crc = 0;
        position = match;
    } else {
        const uint64_t at = outcome == DataEnd::DescriptorSigned ? match + 4 : match - 12;
        unsigned char d[12]; // CRC-32, compressed size, uncompressed size
        if (ReadExact(at, d, sizeof d, RC_ZIP_DESCRIPTION_RECORD) != RC_OK) return RC_ZIP_DESCRIPTION_RECORD;
        crc = Get32(d);
        compressed = Get32(d + 4);
        uncompressed = Get32(d + 8);
        position = at + sizeof d;
    }
    if (compressed > remaining) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "descriptor at 0x%llx claims 0x%x bytes, 0x%llx remain",
                  static_cast<unsigned long long>(match), compressed,
                  static_cast<unsigned long long>(remaining));
        return RC_ZIP_MAGIC;
    }
    return RC_OK;
}

// The first signature after dataStart that may end an entry's data; match is where it starts.
CZip::DataEnd CZip::FindDataEnd(uint64_t dataStart, bool allUnknown, uint64_t& match)
{
    DataEnd outcome = DataEnd::Nothing;
    std::vector<unsigned char> block(SEARCH_BLOCK);
    for (uint64_t from = dataStart; outcome == DataEnd::Nothing;) {
        size_t got = block.size();
        if (ReadAt(block.data(), from, got) != RC_OK || got < 4) break;
        for (size_t i = 0; i + 4 <= got; ++i) {
            if (block[i] != 'P' || block[i + 1] != 'K') continue;
            const unsigned char a = block[i + 2], b = block[i + 3];
            const bool descriptor = a == 7 && b == 8;
            if (!descriptor && !(a == 3 && b == 4) && !(a == 1 && b == 2)) continue;
            match = from + i;
            if (descriptor)
                outcome = DataEnd::DescriptorSigned;
            else if (!allUnknown && match > dataStart)
                outcome = DataEnd::DescriptorBare;
            else
                outcome = DataEnd::NextHeader;
            break;
        }
        // The last three bytes are searched again so a signature across two blocks is still seen.
        from += got - 3;
    }

    return outcome;
}

ResultCode CZip::LoadEntry(const ZipEntry& entry, std::string& data)
{
    data.clear();
    if (!entry.m_Data.empty() || !KeepsName(entry.m_Name)) {
        data = entry.m_Data;
        return RC_OK;
    }
    StreamedEntry streamed;
    ResultCode rc = StreamEntry(
        entry, std::min(m_MaxEntrySize, m_MaxBufferedSize),
        [&data](const char* bytes, size_t piece) {
            data.append(bytes, piece);
            return RC_OK;
        },
        streamed);
    if (rc != RC_OK) data.clear();
    return rc;
}

ResultCode CZip::GetFileBuffer(const std::string& name, std::string& data)
{
    for (const ZipEntry& entry : m_Entries)
        if (EqualsNoCase(entry.m_Name, name)) return LoadEntry(entry, data);
    TARVO_LOG(m_ZipLog, LOG_ERROR, "no entry \"%s\"", name.c_str());
    return RC_ZIP_FILE_CONTENT;
}

ResultCode CZip::GetFilePrefix(const std::string& name, size_t size, std::string& data)
{
    data.clear();
    const ZipEntry* entry = nullptr;
    for (const ZipEntry& e : m_Entries)
        if (entry == nullptr && EqualsNoCase(e.m_Name, name)) entry = &e;
    if (entry == nullptr) return RC_ZIP_FILE_CONTENT;
    if (!entry->m_Data.empty() || !KeepsName(entry->m_Name)) {
        data = entry->m_Data.substr(0, size);
        return RC_OK;
    }
    if (entry->m_CompressedSize <= 0) return RC_OK;
    uint64_t fileSize = 0;
    uint64_t left = static_cast<uint32_t>(entry->m_CompressedSize);
    if (Size(fileSize) != RC_OK || entry->m_DataOffset > fileSize || left > fileSize - entry->m_DataOffset)
        return RC_ZIP_FILE_CONTENT;
    if (entry->m_Method == 0) {
        data.resize(static_cast<size_t>(std::min<uint64_t>(size, left)));
        return ReadExact(entry->m_DataOffset, &data[0], data.size(), RC_ZIP_FILE_CONTENT);
    }
    if (size == 0) return RC_OK;
    auto sink = [&data](const char* bytes, size_t piece) {
        data.append(bytes, piece);
        return RC_OK;
    };
    uint64_t produced = 0, consumed = 0;
    // A stream cut off before the prefix is complete is damaged, as any other.
    if (InflateStream(ArchiveSource(entry->m_DataOffset, left), sink, UINT64_MAX, 0, produced, consumed,
                      size) != InflateEnd::Complete) {
        data.clear();
        return RC_ZIP_FILE_CONTENT;
    }
    return RC_OK;
}

ResultCode CZip::UnCompress()
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "UnCompress IN");
    // Many small entries each under the ratio check must not add up to a bomb either.
    const uint64_t budget =
        m_MaxRatio > 0 ? std::max<uint64_t>(ZIP_RATIO_FROM, uint64_t(m_MaxRatio) * m_FileSize) : UINT64_MAX;
    uint64_t total = 0;
    ResultCode rc = RC_OK;
    std::unordered_set<std::string> madeDirectories;
    size_t kept = 0;
    size_t next = 0;
    for (; next < m_Entries.size(); ++next) {
        ZipEntry& entry = m_Entries[next];
        // Written under its resolved name, so no "a/../" ever passes through a folder on the disk.
        std::string inside;
        if (!ResolveInBook("", entry.m_Name, inside)) {
            TARVO_LOG(m_ZipLog, LOG_WARNING, "\"%s\" would leave the working directory, not extracted",
                      entry.m_Name.c_str());
        } else {
            const std::string path = m_WorkingDirectory + inside;
            CFile file;
            // The file is made with the first bytes, so an entry that turns out empty leaves none.
            auto write = [&](const char* data, size_t size) {
                const std::string folder = GetDirectory(inside);
                if (!file.IsOpen() && !folder.empty() && madeDirectories.insert(folder).second &&
                    MakePath(path, m_WorkingDirectory.size()) != RC_OK) {
                    TARVO_LOG(m_ZipLog, LOG_ERROR, "cannot make the folders of \"%s\"", path.c_str());
                    return RC_DIR_MAKE_FAILED;
                }
                if ((!file.IsOpen() && file.Open(path, true, true) != RC_OK) ||
                    file.Write(data, size) != RC_OK) {
                    TARVO_LOG(m_ZipLog, LOG_ERROR, "cannot write \"%s\"", path.c_str());
                    return RC_FILE_WRITE_FAILED;
                }
                return RC_OK;
            };
            StreamedEntry streamed;
            if (!entry.m_Data.empty())
                rc = write(entry.m_Data.data(), entry.m_Data.size());
            else if (KeepsName(entry.m_Name))
                rc = StreamEntry(entry, m_MaxEntrySize, write, streamed);
            total += streamed.m_Size;
            if (rc == RC_OK && total > budget) {
                TARVO_LOG(m_ZipLog, LOG_ERROR, "archive of 0x%x bytes inflates to more than 0x%llx",
                          m_FileSize, static_cast<unsigned long long>(budget));
                rc = RC_ZIP_DESCRIPTION_CONTENT;
            }
            const bool written = file.IsOpen();
            file.Close();
            if (rc != RC_OK) {
                if (written) DeleteFile(path);
                break;
            }
            if (!written) continue; // folders and empty files are dropped from the list
        }
        if (kept != next) m_Entries[kept] = std::move(entry);
        ++kept;
    }
    // Close the gap left by dropped entries, also when the run stopped early.
    for (; next < m_Entries.size(); ++next, ++kept)
        if (kept != next) m_Entries[kept] = std::move(m_Entries[next]);
    m_Entries.resize(kept);
    TARVO_LOG(m_ZipLog, LOG_INFO, "UnCompress OUT");
    return rc;
}
