#include "base/Text.h"

#include <algorithm>
#include <cctype>
#include <cstring>

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
