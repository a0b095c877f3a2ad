// Resource records and flows for Kindle output, and the path rules that keep every read inside the
// TempDirectory.
#include "mobi/MobiResources.h"

#include "base/Platform.h"

#include <vector>

bool ResolveInsideTemp(const std::string& directory, const std::string& ref, std::string& resolved)
{
    std::string target = UrlDecode(ref.substr(0, ref.find_first_of("#?")));
    if (target.empty() || IsSeparator(target[0])) return false;
    // A scheme ("http:", "data:") names nothing in the book.
    size_t colon = target.find(':');
    if (colon != std::string::npos && target.find_first_of("/\\") > colon) return false;
    std::vector<std::string> parts;
    for (const std::string& part : SplitPath(directory + "/" + target)) {
        if (part.empty() || part == ".") continue;
        if (part != "..") {
            parts.push_back(part);
        } else {
            if (parts.empty()) return false;
            parts.pop_back();
        }
    }
    if (parts.empty()) return false;
    resolved.clear();
    for (const std::string& part : parts) {
        if (!resolved.empty()) resolved += '/';
        resolved += part;
    }
    return true;
}
