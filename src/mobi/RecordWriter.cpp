// Writing the container and the small fixed records of a Kindle file.
#include "mobi/RecordWriter.h"

#include "mobi/ByteIO.h"
#include "mobi/PalmDb.h"

#include <algorithm>

bool MakePalmDbFile(const std::string& name, const std::vector<std::string>& records, std::string& file)
{
    file.clear();
    if (records.empty() || records.size() > 0xFFFF) return false;
    uint64_t offset = PALMDB_HEADER_SIZE + 8 * uint64_t(records.size()) + 2;
    uint64_t total = offset;
    for (const std::string& r : records) total += r.size();
    if (total > 0xFFFFFFFFu) return false;
    file.reserve(static_cast<size_t>(total));
    file.assign(PALMDB_HEADER_SIZE, '\0');
    file.replace(0, std::min<size_t>(name.size(), 31), name, 0, 31);
    file.replace(60, 8, "BOOKMOBI");
    PutU16At(file, 76, static_cast<uint32_t>(records.size()));
    for (size_t i = 0; i < records.size(); ++i) {
        AppendU32(file, static_cast<uint32_t>(offset));
        AppendU32(file, static_cast<uint32_t>(2 * i));
        offset += records[i].size();
    }
    file.append(2, '\0');
    for (const std::string& r : records) file += r;
    return true;
}

std::string MakeExthBlock(const MetaDataMap& metadata, const std::set<std::string>& skip)
{
    std::string body;
    uint32_t count = 0;
    for (const auto& [key, values] : metadata) {
        if (skip.count(key) != 0) continue;
        int32_t type = CIntermediateBook::GetExthIdByKey(key);
        if (type <= 0) continue;
        for (const std::string& value : values) {
            AppendU32(body, static_cast<uint32_t>(type));
            AppendU32(body, static_cast<uint32_t>(value.size() + 8));
            body += value;
            ++count;
        }
    }
    std::string block = "EXTH";
    size_t length = 12 + body.size();
    size_t padded = (length + 5) & ~size_t(3);
    AppendU32(block, static_cast<uint32_t>(padded));
    AppendU32(block, count);
    block += body;
    block.append(padded - length, '\0');
    return block;
}

std::string MakeFlisRecord()
{
    std::string r = "FLIS";
    AppendU32(r, 8);
    AppendU16(r, 0x41);
    AppendU16(r, 0);
    AppendU32(r, 0);
    AppendU32(r, 0xFFFFFFFFu);
    AppendU16(r, 1);
    AppendU16(r, 3);
    AppendU32(r, 3);
    AppendU32(r, 1);
    AppendU32(r, 0xFFFFFFFFu);
    return r;
}

std::string MakeFcisRecord(uint32_t textLength)
{
    std::string r = "FCIS";
    for (uint32_t v : {20u, 16u, 1u, 0u, textLength, 0u, 32u, 8u}) AppendU32(r, v);
    AppendU16(r, 1);
    AppendU16(r, 1);
    AppendU32(r, 0);
    return r;
}

std::string MakeEofRecord() { return std::string(EOF_RECORD_MAGIC, 4); }
