// The files a CSS style sheet refers to, for every handler that moves, embeds or rewrites them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One url() value or @import string of a style sheet, where it is written.
struct StyleSheetReference {
    // A url()'s span runs from after "url(" to its closing bracket; an @import string's covers
    // the string with its quotes. Left open, it ends where the sheet (or its comment) does.
    size_t m_Offset = 0;
    size_t m_Length = 0;
    std::string m_Value; // quotes and surrounding blanks removed; may be empty
    char m_Quote = 0;    // the quote the value is written in, or 0
    bool m_Import = false;
    bool m_Closed = false; // the closing bracket (an @import's closing quote) was found
    bool m_InComment = false;
};

// Every reference in order, those inside comments too (marked): a comment ends every value
// that starts in it.
std::vector<StyleSheetReference> StyleSheetReferences(const std::string& css);

// The files a style sheet names, as written: every url() value and every @import string, in
// order, quotes and surrounding blanks removed; nothing inside comments.
std::vector<std::string> StyleSheetUrls(const std::string& css);
