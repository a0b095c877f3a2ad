// Detection feeds the whole text once; conversion streams through fixed buffers.
#include "base/Charset.h"

#include "base/Platform.h"

#include <uchardet/uchardet.h>

#include <cerrno>
#include <iconv.h>

namespace {

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

bool IsUtf16(const std::string& charset) { return StartsWith(ToLowerCopy(charset), "utf-16"); }

class CIconv {
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
