// Writing ZIP archives: whole archives from a list of entries (held in memory, in files, or still
// packed in the archive open for reading), and EPUB containers with their "mimetype" first.
#include "base/Zip.h"

#include "base/Clock.h"
#include "base/Paths.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "base/ZipFormat.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <unordered_set>

using namespace zipformat;

namespace
{

const char MIMETYPE_NAME[] = "mimetype";
const char EPUB_MIMETYPE[] = "application/epub+zip";

} // namespace

void CZip::AddFile(const std::string& name, const std::string& data)
{
    for (ZipEntry& entry : m_Entries) {
        if (EqualsNoCase(entry.m_Name, name)) {
            entry.m_Data = data;
            return;
        }
    }
    ZipEntry entry;
    entry.m_Method = 8;
    entry.m_Name = name;
    DosDateTime(entry.m_Date, entry.m_Time);
    entry.m_Data = data;
    m_Entries.push_back(std::move(entry));
}

namespace
{

// Every folder along an entry's name gets its own entry, placed before the first entry inside it.
std::vector<ZipEntry> WithDirectoryEntries(std::vector<ZipEntry>&& entries, uint16_t date, uint16_t time)
{
    std::vector<ZipEntry> out;
    out.reserve(entries.size() + entries.size() / 4 + 4);
    std::unordered_set<std::string> seen;
    for (ZipEntry& entry : entries) {
        const std::string& name = entry.m_Name;
        for (size_t i = 1; i < name.size(); ++i) {
            // An empty component ("a//b", "/abs") names no folder.
            if (!IsSeparator(name[i]) || IsSeparator(name[i - 1])) continue;
            std::string folder = name.substr(0, i) + "/";
            if (!seen.insert(folder).second) continue;
            ZipEntry dir;
            dir.m_Name = std::move(folder);
            dir.m_Date = date;
            dir.m_Time = time;
            out.push_back(std::move(dir));
        }
        out.push_back(std::move(entry));
    }
    return out;
}

// The fields a local header and its central record share.
struct RecordFields {
    uint16_t m_Version = 10;
    uint16_t m_Flags = 0;
    uint16_t m_Method = 0;
    uint32_t m_Crc = 0;
    uint32_t m_PackedSize = 0;
    uint32_t m_Size = 0;
};

enum class HeaderKind { Local, Central };

// A local header, or the central record that lists it (headerOffset is only written there): both
// carry the same fields in the same order, the central record with a few more around them.
void PutHeader(std::string& out, HeaderKind kind, const RecordFields& f, const ZipEntry& e,
               uint32_t headerOffset = 0)
{
    const bool central = kind == HeaderKind::Central;
    Put32(out, central ? SIG_CENTRAL : SIG_LOCAL);
    if (central) Put16(out, 20); // version made by
    Put16(out, f.m_Version);
    Put16(out, f.m_Flags);
    Put16(out, f.m_Method);
    Put16(out, e.m_Time);
    Put16(out, e.m_Date);
    Put32(out, f.m_Crc);
    Put32(out, f.m_PackedSize);
    Put32(out, f.m_Size);
    Put16(out, static_cast<uint16_t>(e.m_Name.size()));
    Put16(out, 0); // extra field
    if (central) {
        Put16(out, 0); // comment
        Put16(out, 0); // disk number
        Put16(out, 0); // internal attributes
        Put32(out, 0); // external attributes
        Put32(out, headerOffset);
    }
    out += e.m_Name;
}

using ZipPatch = std::function<ResultCode(uint64_t offset, const char* data, size_t size)>;

// The local header and bytes of an entry held in a file, written at offset through write: the
// header first with its CRC-32 and sizes left zero, then the bytes as they are read (deflated for
// method 8), then the header's fields put right through patch. A file that is missing or empty is
// left out (kept stays false), as it always was when such files were read whole.
ResultCode WriteFileEntry(const ZipEntry& e, uint64_t offset, const ZipSink& write, const ZipPatch& patch,
                          CRunLog* log, RecordFields& f, bool& kept)
{
    kept = false;
    CFile file;
    uint64_t size = 0;
    if (file.Open(e.m_SourcePath, false, false) != RC_OK || file.Size(size) != RC_OK || size == 0) {
        TARVO_LOG(log, LOG_WARNING, "\"%s\": \"%s\" is missing, unreadable or empty; left out",
                  e.m_Name.c_str(), e.m_SourcePath.c_str());
        return RC_OK;
    }
    const uint64_t dataOffset = offset + LOCAL_HEADER_SIZE + e.m_Name.size();
    if (size > UINT32_MAX || dataOffset > UINT32_MAX) {
        TARVO_LOG(log, LOG_ERROR, "archive passes 4 GiB at \"%s\"", e.m_Name.c_str());
        return RC_FILE_WRITE_FAILED;
    }
    f.m_Method = e.m_Method == 0 ? 0 : 8;
    f.m_Version = f.m_Method == 0 ? 10 : 20;
    std::string header;
    PutHeader(header, HeaderKind::Local, f, e);
    ResultCode rc = write(header.data(), header.size());
    if (rc != RC_OK) return rc;

    uLong crc = crc32(0, Z_NULL, 0);
    uint64_t read = 0, packed = 0;
    auto source = [&](char* buffer, size_t room, size_t& got) {
        got = static_cast<size_t>(std::min<uint64_t>(room, size - read));
        if (file.ReadAt(buffer, read, got) != RC_OK) return RC_FILE_READ_FAILED;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer), static_cast<uInt>(got));
        read += got;
        return RC_OK;
    };
    auto counted = [&](const char* data, size_t piece) {
        packed += piece;
        if (dataOffset + packed > UINT32_MAX) {
            TARVO_LOG(log, LOG_ERROR, "archive passes 4 GiB at \"%s\"", e.m_Name.c_str());
            return RC_FILE_WRITE_FAILED;
        }
        return write(data, piece);
    };
    if (f.m_Method == 8) {
        if (DeflateStream(size, source, counted) != Z_STREAM_END) rc = RC_FILE_WRITE_FAILED;
    } else {
        std::unique_ptr<char[]> piece(new char[STREAM_PIECE]);
        while (rc == RC_OK && read < size) {
            size_t got = 0;
            rc = source(piece.get(), STREAM_PIECE, got);
            if (rc == RC_OK && got == 0) rc = RC_FILE_READ_FAILED; // the file shrank as it was read
            if (rc == RC_OK) rc = counted(piece.get(), got);
        }
    }
    if (rc != RC_OK) {
        TARVO_LOG(log, LOG_ERROR, "\"%s\" could not be packed from \"%s\"", e.m_Name.c_str(),
                  e.m_SourcePath.c_str());
        return rc;
    }
    f.m_Crc = static_cast<uint32_t>(crc);
    f.m_Size = static_cast<uint32_t>(size);
    f.m_PackedSize = static_cast<uint32_t>(packed);
    header.clear();
    PutHeader(header, HeaderKind::Local, f, e);
    // The CRC-32 and both sizes, at byte 14 of the header.
    rc = patch(offset + 14, header.data() + 14, 12);
    kept = rc == RC_OK;
    return rc;
}

// Reading systems find an EPUB by a stored "mimetype" entry at the very start of the file.
std::vector<ZipEntry> MimetypeFirst(const std::vector<ZipEntry>& entries)
{
    std::vector<ZipEntry> list(1);
    list[0].m_Name = MIMETYPE_NAME;
    list[0].m_Data = EPUB_MIMETYPE;
    DosDateTime(list[0].m_Date, list[0].m_Time);
    for (const ZipEntry& e : entries)
        if (!EqualsNoCase(e.m_Name, MIMETYPE_NAME)) list.push_back(e);
    return list;
}

std::string EndRecord(size_t written, size_t centralSize, uint64_t centralOffset)
{
    std::string end;
    Put32(end, SIG_END);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, static_cast<uint16_t>(written));
    Put16(end, static_cast<uint16_t>(written));
    Put32(end, static_cast<uint32_t>(centralSize));
    Put32(end, static_cast<uint32_t>(centralOffset));
    Put16(end, 0);
    return end;
}

// Where an archive goes. Via backup, it is made beside its path under an unpredictable name and
// moved over it only once complete: a failure leaves the path as it was, and its mode, owner and
// (behind a symbolic link) its real file are kept. Else it is written in place.
class CArchiveOutput
{
  public:
    CArchiveOutput(const std::string& path, bool viaBackup, CRunLog* log)
        : m_Path(path), m_ViaBackup(viaBackup), m_Log(log)
    {
    }

    ResultCode Open() { return m_ViaBackup ? m_Replacement.Open(m_Path) : m_Direct.Open(m_Path, true, true); }
    ResultCode Write(const char* data, size_t size)
    {
        return Checked(m_ViaBackup ? m_Replacement.Write(data, size) : m_Direct.Write(data, size));
    }
    ResultCode Patch(uint64_t at, const char* data, size_t size)
    {
        return Checked(m_ViaBackup ? m_Replacement.WriteAt(data, size, at)
                                   : m_Direct.WriteAt(data, size, at));
    }
    // Leaves nothing behind; rc is handed back.
    ResultCode Fail(ResultCode rc)
    {
        if (!m_ViaBackup) {
            m_Direct.Close();
            DeleteFile(m_Path);
        }
        return rc; // an uncommitted replacement removes itself
    }
    ResultCode Finish()
    {
        m_Direct.Close();
        if (!m_ViaBackup) return RC_OK;
        ResultCode rc = m_Replacement.Commit();
        if (rc != RC_OK)
            TARVO_LOG(m_Log, LOG_ERROR, "cannot move the new archive over \"%s\"", m_Path.c_str());
        return rc;
    }

  private:
    ResultCode Checked(ResultCode rc)
    {
        if (rc != RC_OK) TARVO_LOG(m_Log, LOG_ERROR, "cannot write \"%s\"", m_Path.c_str());
        return rc == RC_OK ? RC_OK : RC_FILE_WRITE_FAILED;
    }

    const std::string& m_Path;
    const bool m_ViaBackup;
    CRunLog* m_Log;
    CFile m_Direct;
    CAtomicFile m_Replacement;
};

} // namespace

// What WriteEntries has written so far, and where its bytes go.
struct CZip::WriteState {
    ZipSink write;
    ZipPatch patch;
    std::string central;
    uint64_t offset = 0;
    size_t written = 0;
};

ResultCode CZip::WriteArchive(const std::string& outputPath, std::vector<ZipEntry> entries,
                              bool stopAtUnreadable, bool viaBackup)
{
    uint16_t date = 0, time = 0;
    DosDateTime(date, time);
    return WriteEntries(outputPath, WithDirectoryEntries(std::move(entries), date, time), stopAtUnreadable,
                        viaBackup);
}

ResultCode CZip::RewriteEpub(const std::string& path)
{
    return WriteEntries(path, MimetypeFirst(m_Entries), false, true);
}

ResultCode CZip::WriteEntries(const std::string& outputPath, std::vector<ZipEntry> list,
                              bool stopAtUnreadable, bool viaBackup)
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "WriteArchive IN");
    // Counts and name lengths are 16-bit fields: refuse what they cannot hold rather than write a
    // directory that lists something else.
    bool fits = list.size() <= 0xFFFF;
    for (const ZipEntry& e : list)
        fits = fits && e.m_Name.size() <= 0xFFFF;
    if (!fits) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "%zu entries or a name are too large for a ZIP directory",
                  list.size());
        return RC_FILE_WRITE_FAILED;
    }

    CArchiveOutput output(outputPath, viaBackup, m_ZipLog);
    if (output.Open() != RC_OK) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "cannot create \"%s\"", outputPath.c_str());
        return RC_FILE_OPEN_FAILED;
    }
    WriteState state;
    state.write = [&output](const char* data, size_t size) { return output.Write(data, size); };
    state.patch = [&output](uint64_t at, const char* data, size_t size) {
        return output.Patch(at, data, size);
    };
    for (ZipEntry& e : list) {
        bool stop = false;
        ResultCode rc = WriteEntry(e, state, stopAtUnreadable, stop);
        if (rc != RC_OK) return output.Fail(rc);
        if (stop) break;
    }
    std::string& central = state.central;
    central += EndRecord(state.written, central.size(), state.offset);
    if (state.offset + central.size() > UINT32_MAX || state.write(central.data(), central.size()) != RC_OK)
        return output.Fail(RC_FILE_WRITE_FAILED);
    CFile::Close();
    ResultCode rc = output.Finish();
    if (rc != RC_OK) return rc;
    TARVO_LOG(m_ZipLog, LOG_INFO, "WriteArchive OUT, %zu entries", state.written);
    return RC_OK;
}

// One entry at state.offset, listed in state.central once written. An entry left out (a missing
// file) is not listed; an unreadable one fails the archive, or with stopAtUnreadable ends it there.
ResultCode CZip::WriteEntry(ZipEntry& e, WriteState& state, bool stopAtUnreadable, bool& stop)
{
    RecordFields f;
    f.m_Flags = e.m_Flags & FLAG_UTF8_NAME;
    const char* body = e.m_Data.data();
    const bool fromFile = !e.m_SourcePath.empty();
    const bool fromArchive = !fromFile && e.m_Data.empty() && KeepsName(e.m_Name) && e.m_CompressedSize > 0;
    if (fromFile) {
        bool kept = false;
        ResultCode rc = WriteFileEntry(e, state.offset, state.write, state.patch, m_ZipLog, f, kept);
        if (rc != RC_OK || !kept) return rc;
        PutHeader(state.central, HeaderKind::Central, f, e, static_cast<uint32_t>(state.offset));
        state.offset += LOCAL_HEADER_SIZE + e.m_Name.size() + f.m_PackedSize;
        ++state.written;
        return RC_OK;
    }
    if (fromArchive) {
        // Inflated once to check it (limits, CRC-32) and to learn its true sizes, then copied
        // as it is packed: nothing of it is held in memory, nothing is packed again.
        StreamedEntry streamed;
        ResultCode rc = StreamEntry(
            e, m_MaxEntrySize, [](const char*, size_t) { return RC_OK; }, streamed);
        if (rc != RC_OK) {
            TARVO_LOG(m_ZipLog, LOG_WARNING, "\"%s\" is unreadable", e.m_Name.c_str());
            stop = stopAtUnreadable;
            return stop ? RC_OK : rc;
        }
        if (streamed.m_Size > 0) {
            f.m_Method = e.m_Method == 0 ? 0 : 8;
            f.m_Version = e.m_Method == 0 ? 10 : 20;
            f.m_Crc = streamed.m_Crc;
            f.m_Size = static_cast<uint32_t>(streamed.m_Size);
            f.m_PackedSize = static_cast<uint32_t>(streamed.m_PackedSize);
        }
    } else {
        if (!e.m_Packed) PackEntry(e);
        body = e.m_Data.data();
        f.m_Method = e.m_Method;
        f.m_Version = e.m_Version;
        f.m_Crc = e.m_Crc;
        f.m_Size = static_cast<uint32_t>(e.m_UncompressedSize);
        f.m_PackedSize = static_cast<uint32_t>(e.m_Data.size());
    }
    if (state.offset + LOCAL_HEADER_SIZE + e.m_Name.size() + f.m_PackedSize > UINT32_MAX) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "archive passes 4 GiB at \"%s\"", e.m_Name.c_str());
        return RC_FILE_WRITE_FAILED;
    }
    std::string header;
    PutHeader(header, HeaderKind::Local, f, e);
    ResultCode rc = state.write(header.data(), header.size());
    if (rc == RC_OK)
        rc = fromArchive ? CopyArchiveBytes(e.m_DataOffset, f.m_PackedSize, state.write)
                         : state.write(body, f.m_PackedSize);
    if (rc != RC_OK) return rc;
    PutHeader(state.central, HeaderKind::Central, f, e, static_cast<uint32_t>(state.offset));
    state.offset += header.size() + f.m_PackedSize;
    ++state.written;
    std::string().swap(e.m_Data); // the list is our own copy: keep one entry in memory at a time
    return RC_OK;
}

ResultCode CZip::FixEpub(const std::string& path)
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "FixEpub IN");
    if (m_Entries.size() < 3) {
        TARVO_LOG(m_ZipLog, LOG_ERROR, "only %zu entries could be listed", m_Entries.size());
        return RC_EPUB_FIX;
    }
    if (WriteArchive(path, MimetypeFirst(m_Entries), true, true) != RC_OK) return RC_EPUB_FIX;
    if (Open(path, false, false) != RC_OK) return RC_FILE_OPEN_FAILED;
    ResultCode rc = ReadDirectory();
    TARVO_LOG(m_ZipLog, LOG_INFO, "FixEpub OUT");
    return rc;
}
