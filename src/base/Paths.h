// Paths as text. Paths are UTF-8 and may use "/" or "\" as separators; paths a book names are
// resolved by base/Href.h.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

inline bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}
// The form handed to the operating system: every "\" turned into "/".
std::string ToOsPath(const std::string& path);
// Index of the last "/" or "\", or npos.
size_t LastSeparator(const std::string& path);
// Up to and including the last separator; empty when there is none.
std::string GetDirectory(const std::string& path);
// The text after the last separator.
std::string GetFileName(const std::string& path);
// The extension after the last "." of the last component, in lower case; the path is left as it
// is, since on this file system the case of a name matters. False when that component has no ".",
// so "a.txt." gives true with an empty extension.
bool GetExtension(const std::string& path, std::string& extension);
std::vector<std::string> SplitPath(const std::string& path);
