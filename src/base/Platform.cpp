// The parts of the platform layer that need no operating system: text, paths, dates, CRC, images.
#include "base/Platform.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

void ReplaceAll(std::string& text, const std::string& from, const std::string& to)
{
    if (from.empty()) return;
    if (to.size() <= from.size()) {
        // The text only shrinks, so it is rewritten in place: a large text is never held twice.
        char* data = &text[0];
        size_t write = 0, read = 0;
        for (size_t hit; (hit = text.find(from, read)) != std::string::npos; read = hit + from.size()) {
            std::memmove(data + write, data + read, hit - read);
            write += hit - read;
            std::memcpy(data + write, to.data(), to.size());
            write += to.size();
        }
        if (read == 0) return;
        std::memmove(data + write, data + read, text.size() - read);
        text.resize(write + text.size() - read);
        return;
    }
    std::string out;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
        out.append(text, pos, hit - pos);
        out += to;
    }
    if (pos == 0) return;
    out.append(text, pos, std::string::npos);
    text.swap(out);
}

void ToLower(std::string& text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string ToLowerCopy(const std::string& text)
{
    std::string copy = text;
    ToLower(copy);
    return copy;
}

std::string Trimmed(const std::string& text)
{
    const char* const BLANKS = " \t\r\n\f";
    size_t start = text.find_first_not_of(BLANKS);
    if (start == std::string::npos) return "";
    return text.substr(start, text.find_last_not_of(BLANKS) - start + 1);
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static std::string DecodeEscapes(const std::string& text, bool plusIsBlank)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            int hi = HexDigitValue(text[i + 1]), lo = HexDigitValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += plusIsBlank && c == '+' ? ' ' : c;
    }
    return out;
}

std::string UrlDecode(const std::string& text)
{
    return DecodeEscapes(text, true);
}

std::string PercentDecode(const std::string& uri)
{
    return DecodeEscapes(uri, false);
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool EqualsNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

size_t FindNoCase(const std::string& text, const std::string& lowerNeedle, size_t from, size_t end)
{
    auto last = text.begin() + static_cast<std::ptrdiff_t>(std::min(end, text.size()));
    auto first = text.begin() + static_cast<std::ptrdiff_t>(std::min(from, text.size()));
    if (first > last) return std::string::npos;
    auto found = std::search(first, last, lowerNeedle.begin(), lowerNeedle.end(),
                             [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    return found == last && !lowerNeedle.empty() ? std::string::npos
                                                 : static_cast<size_t>(found - text.begin());
}

int LeadingNumber(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 0x7fffffff) value = 0x7fffffff; // saturate like strtol would clamp
    }
    return static_cast<int>(negative ? -value : value);
}

std::string ToOsPath(const std::string& path)
{
    std::string os = path;
    for (char& c : os)
        if (c == '\\') c = '/';
    return os;
}

size_t LastSeparator(const std::string& path)
{
    return path.find_last_of("/\\");
}

std::string GetDirectory(const std::string& path)
{
    size_t sep = LastSeparator(path);
    return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

std::string GetFileName(const std::string& path)
{
    size_t sep = LastSeparator(path);
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

bool GetExtension(const std::string& path, std::string& extension)
{
    size_t sep = LastSeparator(path);
    size_t nameStart = sep == std::string::npos ? 0 : sep + 1;
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) return false;
    extension = ToLowerCopy(path.substr(dot + 1));
    return true;
}

std::vector<std::string> SplitPath(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || IsSeparator(path[i])) {
            if (i > start) parts.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

static std::tm LocalNow()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

uint16_t DosDateOf(int year, int month, int day)
{
    return static_cast<uint16_t>(((year - 1980) & 0x7f) * 512 + month * 32 + day);
}

uint16_t DosTimeOf(int hour, int minute, int second)
{
    return static_cast<uint16_t>(hour * 2048 + minute * 32 + second / 2);
}

void DosDateTime(uint16_t& date, uint16_t& time)
{
    std::tm local = LocalNow();
    date = DosDateOf(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    time = DosTimeOf(local.tm_hour, local.tm_min, local.tm_sec);
}

static const std::array<uint32_t, 256>& CrcTable()
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

uint32_t Crc32(const void* data, size_t size, uint32_t crc)
{
    const auto& table = CrcTable();
    const auto* bytes = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ bytes[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

static bool IsJpeg(const std::string& bytes)
{
    if (bytes.compare(6, 4, "JFIF") == 0 || bytes.compare(6, 4, "Exif") == 0) return true;
    if (static_cast<unsigned char>(bytes[0]) != 0xFF || static_cast<unsigned char>(bytes[1]) != 0xD8)
        return false;
    size_t end = bytes.find_last_not_of('\0');
    return end != std::string::npos && end >= 1 && static_cast<unsigned char>(bytes[end - 1]) == 0xFF &&
           static_cast<unsigned char>(bytes[end]) == 0xD9;
}

static bool IsPng(const std::string& bytes)
{
    return bytes.compare(0, 8, "\x89PNG\r\n\x1a\n", 8) == 0;
}

static bool IsBmp(const std::string& bytes)
{
    return bytes.compare(0, 2, "BM") == 0;
}

static bool IsGif(const std::string& bytes)
{
    return bytes.compare(0, 6, "GIF87a") == 0 || bytes.compare(0, 6, "GIF89a") == 0;
}

struct ImageSignature {
    const char* type;
    bool (*matches)(const std::string& bytes);
};
// Tried in this order; ImageTypes lists the same names, so callers learn them from here only.
static const ImageSignature IMAGE_SIGNATURES[] = {
    {"jpg", IsJpeg}, {"png", IsPng}, {"bmp", IsBmp}, {"gif", IsGif}};

std::string ImageTypeOf(const std::string& bytes)
{
    if (bytes.size() < 20) return "";
    for (const ImageSignature& signature : IMAGE_SIGNATURES)
        if (signature.matches(bytes)) return signature.type;
    return "";
}

std::vector<std::string> ImageTypes()
{
    std::vector<std::string> types;
    for (const ImageSignature& signature : IMAGE_SIGNATURES)
        types.push_back(signature.type);
    return types;
}
