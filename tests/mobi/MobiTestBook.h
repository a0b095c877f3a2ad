// Builders for small Kindle files and records used by the MOBI tests.
#pragma once

#include "base/Files.h"
#include "mobi/ByteIO.h"
#include "mobi/MOBIHeader.h"
#include "mobi/PalmDb.h"
#include "mobi/RecordWriter.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace mobitest
{

inline std::string DataPath(const std::string& name)
{
    return std::string(TARVO_TEST_DATA) + "/mobi/" + name;
}

inline std::string ReadData(const std::string& name)
{
    std::string bytes;
    ReadFileBytes(DataPath(name), bytes);
    return bytes;
}

// A fresh folder ending in "/", removed with everything in it when the test program ends.
inline std::string ScratchDirectory()
{
    struct Registry {
        std::vector<std::string> folders;
        ~Registry()
        {
            std::error_code ec;
            for (const std::string& f : folders)
                std::filesystem::remove_all(f, ec);
        }
    };
    static Registry registry;
    char pattern[] = "/tmp/tarvo_mobi_XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    registry.folders.push_back(made);
    return std::string(made) + "/";
}

inline std::string Be32(uint32_t v)
{
    std::string s;
    AppendU32(s, v);
    return s;
}

inline std::string EndOfFileRecord()
{
    return std::string(EOF_RECORD_MAGIC, 4);
}

// PalmDB file of the given records, type BOOK, creator MOBI.
inline std::string BuildPalmDb(const std::vector<std::string>& records, const std::string& name = "Test_Book")
{
    std::vector<uint64_t> sizes;
    for (const std::string& r : records)
        sizes.push_back(r.size());
    std::string file;
    if (MakePalmDbHead(MakePalmDbHeader(name), sizes, nullptr, file) != RC_OK) return "";
    for (const std::string& r : records)
        file += r;
    return file;
}

struct Record0 {
    uint16_t compression = COMPRESSION_NONE;
    uint16_t textRecords = 1;
    uint32_t textLength = 0;
    uint16_t encryption = 0;
    uint32_t headerLength = 0x108;
    uint32_t encoding = 65001;
    uint32_t version = 6;
    uint32_t locale = 9;
    uint32_t minVersion = 6;
    uint32_t firstResource = NO_RECORD;
    uint32_t huffRecord = 0;
    uint32_t huffCount = 0;
    uint16_t extraFlags = 0;
    uint32_t ncx = NO_RECORD;
    uint32_t chunk = NO_RECORD;
    uint32_t skel = NO_RECORD;
    uint32_t guide = NO_RECORD;
    bool exth = true;
    std::vector<std::pair<uint32_t, std::string>> exthRecords;
    std::string exthBlock; // used as it stands instead of exthRecords when not empty
    std::string fullName = "Full Name";

    std::string Build() const
    {
        std::string r(16 + headerLength, '\0');
        PutU16At(r, 0, compression);
        PutU32At(r, 4, textLength);
        PutU16At(r, 8, textRecords);
        PutU16At(r, 10, 4096);
        PutU16At(r, 12, encryption);
        r.replace(16, 4, "MOBI");
        PutU32At(r, 0x14, headerLength);
        PutU32At(r, 0x18, 2);
        PutU32At(r, 0x1C, encoding);
        PutU32At(r, 0x24, version);
        PutU32At(r, 0x5C, locale);
        PutU32At(r, 0x68, minVersion);
        PutU32At(r, 0x6C, firstResource);
        PutU32At(r, 0x70, huffRecord);
        PutU32At(r, 0x74, huffCount);
        PutU32At(r, 0x80, exth ? 0x50u : 0x10u);
        PutU32At(r, 0xC0, NO_RECORD);
        PutU16At(r, 0xF2, extraFlags);
        PutU32At(r, 0xF4, ncx);
        PutU32At(r, 0xF8, chunk);
        PutU32At(r, 0xFC, skel);
        PutU32At(r, 0x104, guide);
        if (exth && !exthBlock.empty()) {
            r += exthBlock;
        } else if (exth) {
            std::string body;
            for (const auto& [type, data] : exthRecords) {
                AppendU32(body, type);
                AppendU32(body, static_cast<uint32_t>(data.size() + 8));
                body += data;
            }
            r += "EXTH";
            AppendU32(r, static_cast<uint32_t>(12 + body.size()));
            AppendU32(r, static_cast<uint32_t>(exthRecords.size()));
            r += body;
            PadTo4(r);
        }
        PutU32At(r, 0x54, static_cast<uint32_t>(r.size()));
        PutU32At(r, 0x58, static_cast<uint32_t>(fullName.size()));
        r += fullName;
        r += std::string(4, '\0');
        return r;
    }
};

// A minimal JPEG head that the image sniffer recognises, padded past its 20-byte minimum.
inline std::string JpegBytes(const std::string& tail = "")
{
    std::string jpg("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
    return jpg + std::string(12, 'x') + tail;
}

} // namespace mobitest
