// The links of a page as written in its text, found without building a tree, so that a page can be
// moved with its references following it and every other byte kept.
#pragma once

#include <functional>
#include <string>

// The page with the value of every link attribute (href, src, xlink:href, poster, data) of every
// start tag replaced by what rewrite returns for it. Values are passed as written, entities and
// percent escapes included. Comments, CDATA sections, declarations and the content of script and
// style elements are copied untouched, and so is a "<" before no letter; a tag left open at the
// end of the text has its complete values rewritten.
std::string RewritePageLinks(const std::string& page,
                             const std::function<std::string(const std::string&)>& rewrite);

// A link value split into the path it names and what follows it ("?query", "#fragment").
struct LinkParts {
    std::string m_Path;
    std::string m_Suffix;
};
LinkParts SplitLink(const std::string& value);

// The text as one URL path segment: bytes other than ASCII letters, digits, "-", ".", "_", "~" and
// non-ASCII bytes are percent-escaped.
std::string EscapeUrlSegment(const std::string& text);
