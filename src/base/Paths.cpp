#include "base/Paths.h"

#include "base/Text.h"

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
