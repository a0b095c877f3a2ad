#include "base/Href.h"

#include "base/Paths.h"
#include "base/Text.h"

#include <cctype>
#include <vector>

namespace
{

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Length of a leading URI scheme (letters, then letters, digits, "+", "-" or "."), up to its ":";
// 0 when the text starts with none.
size_t SchemeLength(const std::string& text)
{
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
    for (size_t i = 1; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ':') return i;
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return 0;
    }
    return 0;
}

bool HasDrivePrefix(const std::string& path)
{
    return path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
}

} // namespace

CHref CHref::Parse(const std::string& text)
{
    size_t first = 0, last = text.size();
    while (first < last && IsBlank(text[first]))
        ++first;
    while (last > first && IsBlank(text[last - 1]))
        --last;
    const std::string trimmed = text.substr(first, last - first);

    CHref href;
    href.m_External = SchemeLength(trimmed) >= 2 || StartsWith(trimmed, "//") || StartsWith(trimmed, "\\\\");
    size_t end = trimmed.find_first_of("?#");
    const size_t hash = trimmed.find('#');
    if (hash != std::string::npos) href.m_Fragment = trimmed.substr(hash + 1);
    if (end != std::string::npos && trimmed[end] == '?')
        href.m_Query =
            trimmed.substr(end + 1, hash == std::string::npos ? std::string::npos : hash - end - 1);
    href.m_Path = href.m_External ? trimmed.substr(0, end) : PercentDecode(trimmed.substr(0, end));
    return href;
}

bool ResolveInBook(const std::string& baseFolder, const std::string& relative, std::string& resolved)
{
    if (relative.empty() || IsSeparator(relative[0]) || HasDrivePrefix(relative)) return false;
    // A NUL would cut the name the system sees short of the name checked here.
    if (relative.find('\0') != std::string::npos || baseFolder.find('\0') != std::string::npos) return false;
    std::vector<std::string> parts;
    for (const std::string* piece : {&baseFolder, &relative}) {
        for (std::string& part : SplitPath(*piece)) {
            if (part == ".") continue;
            if (part != "..") {
                parts.push_back(std::move(part));
            } else {
                if (parts.empty()) return false;
                parts.pop_back();
            }
        }
    }
    if (parts.empty()) return false;
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out += '/';
        out += part;
    }
    resolved.swap(out);
    return true;
}

std::string ResolvedInBook(const std::string& baseFolder, const std::string& relative)
{
    std::string resolved;
    ResolveInBook(baseFolder, relative, resolved);
    return resolved;
}

bool LiesInBook(const std::string& relative)
{
    std::string resolved;
    return ResolveInBook("", relative, resolved);
}

bool ListedNameInBook(const std::string& baseFolder, const std::string& name)
{
    std::string resolved;
    return ResolveInBook(baseFolder, name, resolved) &&
           ResolveInBook(baseFolder, PercentDecode(name), resolved);
}

bool ResolveHrefInBook(const std::string& baseFolder, const std::string& href, std::string& resolved)
{
    const CHref parsed = CHref::Parse(href);
    return !parsed.m_External && ResolveInBook(baseFolder, parsed.m_Path, resolved);
}

bool IsSafeOutputName(const std::string& relative)
{
    if (relative.empty() || relative[0] == '/') return false;
    size_t start = 0;
    for (;;) {
        const size_t slash = relative.find('/', start);
        const size_t end = slash == std::string::npos ? relative.size() : slash;
        // An empty part is "//" or a trailing "/"; a leading "." covers ".", ".." and hidden names.
        if (end == start || relative[start] == '.') return false;
        for (size_t i = start; i < end; ++i)
            if (relative[i] == '\0' || relative[i] == '\\') return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}
