// Where the HTML library's parse of a page may be flattened or cut into pieces, decided by a
// lexical model of the nesting it will build.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Where a page may be cut into pieces that the library parses one at a time (FindPageCuts).
struct PageCuts {
    // An element around most of the body; the pieces after the first open with its start tag.
    struct Wrapper {
        size_t m_From, m_To; // its start tag
        std::string m_Name;
    };
    size_t m_BodyStart = std::string::npos; // just after the body's start tag
    std::vector<Wrapper> m_Wrappers;        // outermost first; the cuts lie inside the last
    std::vector<size_t> m_Cuts;             // start of each piece after the first, ascending
};

// The elements of running text the nesting model knows (a, b, span, ...).
bool IsInlineElementName(const std::string& name);

// Drops start tags whose estimated nesting passes limit (their text stays). True when any was dropped.
bool CapNesting(const std::string& text, size_t limit, std::string& out);

// Places to cut a page, each at least pieceBytes after the last: before the start tag of a block
// that opens right in the body, where the nesting model (which errs deep) has nothing open but
// html, head and body. When most of the body lies in one div, main, section or article (and so on
// inward), the cuts lie in the innermost such wrapper instead, with nothing else open. A page whose
// first tag is none of html, head, body or a head element is all body (m_BodyStart 0). None when
// the page has a NUL, no body start tag and another first tag, a second body or frameset, or a
// head element (style, link, meta, title, base) inside the body.
PageCuts FindPageCuts(const std::string& text, size_t pieceBytes);
