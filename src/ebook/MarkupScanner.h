// A lexer of HTML and XML text that gives each piece of markup with the byte spans of its parts,
// so that a pass can change some bytes of a page and copy every other byte as it stands.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class MarkupKind {
    Text,
    StartTag,
    EndTag,
    Comment,               // "<!--" to "-->"
    Cdata,                 // "<![CDATA[" to "]]>"
    Doctype,               // any other "<!" to the first ">"
    ProcessingInstruction, // "<?" to the first ">"
    Bogus,                 // "</" before no letter, to the first ">"
    RawText,               // the content of a raw-text element, up to its end tag
};

// [m_Begin, m_End) of the scanned text.
struct MarkupSpan {
    size_t m_Begin = 0, m_End = 0;
    size_t Size() const { return m_End - m_Begin; }
    bool Empty() const { return m_End == m_Begin; }
};

struct MarkupAttribute {
    size_t m_Begin = 0; // the blanks before its name
    MarkupSpan m_Name;
    MarkupSpan m_Value; // inside the quotes; empty at the name's end when there is no value
    char m_Quote = 0;   // '"' or '\'', 0 for an unquoted value or none
    bool m_HasValue = false;
    size_t m_End = 0; // past the value and its closing quote
};

struct MarkupToken {
    MarkupKind m_Kind = MarkupKind::Text;
    MarkupSpan m_Span; // the whole token
    // A tag's name; the content of a comment, CDATA section, declaration or instruction (without
    // its delimiters); the raw text itself.
    MarkupSpan m_Inner;
    std::vector<MarkupAttribute> m_Attributes; // of a start tag
    bool m_SelfClosing = false;                // a start tag whose ">" follows a "/"
    // The text ended inside the token: a tag, quote, comment or raw text that is never closed.
    bool m_Unterminated = false;
};

// Splits text into tokens, left to right. Every byte belongs to exactly one token, so the spans
// laid end to end give the text back. A "<" starts markup only before a letter, "/", "!" or "?";
// otherwise it is text. A tag's name is a run of IsMarkupNameChar, as the HTML library reads
// it, or runs to a blank, "/" or ">" (TagNames::ToBlank), as a browser does. Quotes count in a start tag
// only around a value after "="; a start tag ends at the first ">" outside them. A comment ends
// at the first "-->" after "<!" (so "<!-->" is an empty one), never at "--!>". After the start
// tag of a raw-text element (not closed by "/>") its content, up to "</name" before no name
// character or up to the end, is one RawText token. Nothing is read past the text; the scan keeps
// no stack and costs one pass.
class CMarkupScanner
{
  public:
    enum class TagNames { NameChars, ToBlank };

    // The text must outlive the scanner; rawTextNames are lower case.
    explicit CMarkupScanner(const std::string& text,
                            std::vector<std::string> rawTextNames = {"script", "style"},
                            TagNames names = TagNames::NameChars);
    // The text is kept by reference: a temporary would be gone before the first token.
    CMarkupScanner(std::string&&, std::vector<std::string> = {}, TagNames = TagNames::NameChars) = delete;

    // False once the text is used up.
    bool Next(MarkupToken& token);
    // A caller that treats the start tag just returned otherwise than by name decides here
    // whether its content is raw text.
    void SetRawTextNext(bool raw) { m_RawTextOf = raw ? m_LastStartName : MarkupSpan{}; }
    size_t Position() const { return m_Pos; }
    std::string Text(const MarkupSpan& span) const { return m_Text.substr(span.m_Begin, span.Size()); }

  private:
    void ReadText(MarkupToken& token);
    void ReadDelimited(MarkupToken& token, MarkupKind kind, size_t innerBegin, const char* close);
    size_t NameEnd(size_t from) const;
    void ReadStartTag(MarkupToken& token);
    // One attribute at m_Pos; false when the text ends inside its value.
    bool ReadAttribute(MarkupAttribute& attribute);
    // False, reading nothing, when the raw text is empty.
    bool ReadRawText(MarkupToken& token);
    bool IsRawTextName(const MarkupSpan& name) const;

    const std::string& m_Text;
    std::vector<std::string> m_RawTextNames;
    TagNames m_Names;
    size_t m_Pos = 0;
    MarkupSpan m_LastStartName; // of the last start tag, for its raw text
    MarkupSpan m_RawTextOf;     // the name whose raw text comes next, empty for none
};
