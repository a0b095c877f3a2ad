// The EXTH block: metadata keys to EXTH records, with the text readers show decoded once.
#include "mobi/ExthBlock.h"

#include "base/Charset.h"
#include "mobi/ByteIO.h"

std::string ExthNumber(uint32_t value)
{
    std::string bytes;
    AppendU32(bytes, value);
    return bytes;
}

std::string ExthOutputText(int32_t type, const std::string& value, bool cp1252)
{
    // Names, titles, descriptions and the like; numbers and flags never hold a reference.
    static const std::set<int32_t> SHOWN_TEXT = {100, 101, 102, 103, 105, 107, 108, 109, 112, 503, 508, 517};
    if (SHOWN_TEXT.count(type) == 0 || value.find('&') == std::string::npos) return value;
    if (!cp1252) return DecodeCharacterReferences(value);
    // The character comes out as UTF-8: the part's own encoding must have it (the conversion drops
    // what it cannot write, so the way back tells), or the value stays as it was.
    std::string utf8, decoded, back;
    if (CharsetConv::Convert("windows-1252", "utf-8", value, utf8) != RC_OK) return value;
    const std::string characters = DecodeCharacterReferences(utf8);
    if (CharsetConv::Convert("utf-8", "windows-1252", characters, decoded) != RC_OK ||
        CharsetConv::Convert("windows-1252", "utf-8", decoded, back) != RC_OK || back != characters)
        return value;
    return decoded;
}

std::string MakeExthBlock(const MetaDataMap& metadata, const std::set<std::string>& skip, bool cp1252)
{
    std::string body;
    uint32_t count = 0;
    for (const auto& [key, values] : metadata) {
        if (skip.count(key) != 0) continue;
        int32_t type = CIntermediateBook::GetExthIdByKey(key);
        if (type <= 0) continue;
        for (const std::string& value : values) {
            const std::string text = ExthOutputText(type, value, cp1252);
            AppendU32(body, static_cast<uint32_t>(type));
            AppendU32(body, static_cast<uint32_t>(text.size() + 8));
            body += text;
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

std::string MakeRecord0ExthBlock(const MetaDataMap& metadata, bool cp1252)
{
    return MakeExthBlock(metadata, {"coverimage", "thumbimage", "languageid"}, cp1252);
}
