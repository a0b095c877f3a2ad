// Detection feeds the whole text once; conversion streams through fixed buffers.
#include "base/Charset.h"

#include "base/Text.h"

#include <uchardet/uchardet.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iconv.h>

namespace
{

constexpr size_t PIECE_SIZE = 4096;
constexpr size_t OUTPUT_SIZE = 8192;

// How many bytes make one code unit, so that a bad unit is skipped whole.
size_t CodeUnitSize(const std::string& charset)
{
    std::string name = ToLowerCopy(charset);
    if (StartsWith(name, "utf-16") || StartsWith(name, "ucs-2")) return 2;
    if (StartsWith(name, "utf-32") || StartsWith(name, "ucs-4")) return 4;
    return 1;
}

bool IsUtf16(const std::string& charset)
{
    return StartsWith(ToLowerCopy(charset), "utf-16");
}

class CIconv
{
  public:
    CIconv(const std::string& from, const std::string& to) : m_Cd(iconv_open(to.c_str(), from.c_str())) {}
    ~CIconv()
    {
        if (IsOpen()) iconv_close(m_Cd);
    }
    CIconv(const CIconv&) = delete;
    CIconv& operator=(const CIconv&) = delete;
    bool IsOpen() const { return m_Cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return m_Cd; }

  private:
    iconv_t m_Cd;
};

} // namespace

ResultCode HandleUniversalDetector(const std::string& text, std::string& charset)
{
    uchardet_t detector = uchardet_new();
    if (detector == nullptr) return RC_CHARSET_DETECT;
    if (uchardet_handle_data(detector, text.data(), text.size()) != 0) {
        uchardet_delete(detector);
        return RC_CHARSET_DETECT;
    }
    uchardet_data_end(detector);
    const char* name = uchardet_get_charset(detector);
    charset = name != nullptr && *name != '\0' ? name : "ascii";
    uchardet_delete(detector);
    return RC_OK;
}

ResultCode CharsetConv::Convert(const std::string& from, const std::string& to, const std::string& input,
                                std::string& output)
{
    CIconv converter(from, to);
    if (!converter.IsOpen()) return RC_CHARSET_CONVERT;
    iconv(converter.Get(), nullptr, nullptr, nullptr, nullptr);

    const size_t unit = CodeUnitSize(from);
    std::string result;
    result.reserve(input.size() + input.size() / 2);
    char buffer[OUTPUT_SIZE];
    char* in = const_cast<char*>(input.data());
    size_t left = input.size();
    // Every pass consumes input, produces output or drops a unit, so the loop always ends.
    while (left > 0) {
        size_t piece = left < PIECE_SIZE ? left : PIECE_SIZE;
        size_t pieceLeft = piece;
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = iconv(converter.Get(), &in, &pieceLeft, &out, &outLeft);
        int error = rc == static_cast<size_t>(-1) ? errno : 0;
        result.append(buffer, static_cast<size_t>(out - buffer));
        size_t consumed = piece - pieceLeft;
        left -= consumed;
        bool stalled = error != 0 && consumed == 0 && out == buffer;
        if (error == EILSEQ || (error == EINVAL && pieceLeft == left) || (stalled && error != EINVAL)) {
            // An illegal sequence, or an incomplete one at the very end of the text: drop it.
            size_t skip = unit < left ? unit : left;
            in += skip;
            left -= skip;
        }
        // EINVAL inside the text means the piece ended mid-character, and E2BIG a full buffer:
        // both simply go round again from where iconv stopped.
    }
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    iconv(converter.Get(), nullptr, nullptr, &out, &outLeft);
    result.append(buffer, static_cast<size_t>(out - buffer));
    output.swap(result);
    return RC_OK;
}

ResultCode CharsetConv::ToUtf8(std::string& text)
{
    std::string charset;
    ResultCode rc = HandleUniversalDetector(text, charset);
    if (rc != RC_OK) return rc;
    if (!IsUtf16(charset)) {
        size_t zero = text.find('\0');
        if (zero != std::string::npos) text.resize(zero);
    }
    if (EqualsNoCase(charset, "utf-8")) return RC_OK;
    std::string converted;
    rc = Convert(charset, "utf-8", text, converted);
    if (rc == RC_OK) text.swap(converted);
    return rc;
}

namespace
{

void AppendUtf8(uint32_t codePoint, std::string& out)
{
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// The code point of "#39" or "#x27" (the text between "&" and ";"), or 0 when it names none.
uint32_t NumericReference(const std::string& name)
{
    if (name.size() < 2 || name[0] != '#') return 0;
    bool hex = name[1] == 'x' || name[1] == 'X';
    size_t start = hex ? 2 : 1;
    if (start >= name.size()) return 0;
    uint32_t value = 0;
    for (size_t i = start; i < name.size(); ++i) {
        int digit = -1;
        char c = name[i];
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0) return 0;
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
        if (value > 0x10FFFF) return 0;
    }
    if (value >= 0xD800 && value <= 0xDFFF) return 0;
    return value;
}

bool AppendReference(const std::string& name, std::string& out)
{
    static const char* const NAMED[][2] = {
        {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}};
    for (const auto& entity : NAMED) {
        if (name == entity[0]) {
            out += entity[1];
            return true;
        }
    }
    uint32_t codePoint = NumericReference(name);
    if (codePoint == 0) return false;
    AppendUtf8(codePoint, out);
    return true;
}

} // namespace

std::string DecodeCharacterReferences(const std::string& text)
{
    // Longer than any reference we decode ("&#x10FFFF;"), so a stray "&" costs a short look.
    constexpr size_t LONGEST_NAME = 8;
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        size_t amp = text.find('&', i);
        if (amp == std::string::npos) break;
        out.append(text, i, amp - i);
        size_t end = std::min(text.size(), amp + 2 + LONGEST_NAME);
        size_t semicolon =
            static_cast<size_t>(std::find(text.begin() + amp + 1, text.begin() + end, ';') - text.begin());
        if (semicolon < end && AppendReference(text.substr(amp + 1, semicolon - amp - 1), out)) {
            i = semicolon + 1;
        } else {
            out += '&';
            i = amp + 1;
        }
    }
    out.append(text, i, std::string::npos);
    return out;
}
