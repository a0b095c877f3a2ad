// Character classes of the ASCII range, independent of the locale: markup, language tags and
// file formats define their letters and blanks by byte value, not by what the C library says.
#pragma once

inline bool IsAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool IsAsciiDigit(char c)
{
    return c >= '0' && c <= '9';
}

inline bool IsAsciiAlnum(char c)
{
    return IsAsciiLetter(c) || IsAsciiDigit(c);
}

inline char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The blanks HTML separates names and attributes with.
inline bool IsHtmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// XML's blanks: a form feed is no character of XML at all.
inline bool IsXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A character of a tag or attribute name as our lexers read one; ":" makes prefixed names one name.
inline bool IsMarkupNameChar(char c)
{
    return IsAsciiAlnum(c) || c == '-' || c == '_' || c == ':' || c == '.';
}
