// Passes over Kindle text that take out attributes the reader drops on printing anyway. Each
// attribute the HTML library does not see is one it neither stores nor reports as invalid.
#include "mobi/DroppedAttributes.h"

#include "base/AsciiClass.h"
#include "base/Text.h"
#include "ebook/MarkupScanner.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

namespace
{

// Whether an attribute of an element, with its quoted value, goes.
using DropRule = bool (*)(const std::string& element, const std::string& name, const std::string& value);

// Markup read just strictly enough to find the attributes of start tags. At the first markup it
// does not fully understand the pass stops, and the rest of the text goes to the parser as it
// stands: a wrong guess about where a tag ends could otherwise cut bytes out of a value or text.
class CAttributeDropper
{
  public:
    CAttributeDropper(const std::string& text, DropRule drops)
        : m_Text(text), m_Scanner(text, RawTextNames()), m_Drops(drops)
    {
        m_Out.reserve(text.size());
    }

    std::string Run()
    {
        MarkupToken token;
        while (m_Scanner.Next(token) && Understood(token)) {
            if (token.m_Kind != MarkupKind::StartTag) continue;
            // A raw-text element's content must be plain text up to its own end tag.
            if (IsRawTextElement(m_Scanner.Text(token.m_Inner)) && !RawTextEndsCleanly()) break;
            DropAttributes(m_Scanner.Text(token.m_Inner), token.m_Attributes);
        }
        m_Out.append(m_Text, m_Copied, std::string::npos);
        return std::move(m_Out);
    }

  private:
    static constexpr size_t MAX_ATTRIBUTES = 64;
    static constexpr size_t MAX_DROPPED = 4;

    // Elements whose content the HTML library may take as plain text up to their end tag.
    static std::vector<std::string> RawTextNames()
    {
        return {"script",    "style",  "title",   "textarea", "xmp",
                "plaintext", "iframe", "noembed", "noframes", "noscript"};
    }

    static bool IsRawTextElement(const std::string& name)
    {
        for (const std::string& raw : RawTextNames())
            if (EqualsNoCase(name, raw)) return true;
        return false;
    }

    bool Understood(const MarkupToken& token) const
    {
        const MarkupSpan& span = token.m_Span;
        if (token.m_Unterminated) return false;
        switch (token.m_Kind) {
        case MarkupKind::Text:
            return LessThansAreText(span);
        case MarkupKind::StartTag:
            return StartTagUnderstood(token);
        case MarkupKind::EndTag:
            return !Holds(span.m_Begin + 2, span.m_End, "<\"'");
        case MarkupKind::Comment:
            // "<!-->" is a comment to some readers and the start of a longer one to others.
            return span.Size() >= 7;
        case MarkupKind::Doctype:
            return DeclarationUnderstood(token.m_Inner);
        case MarkupKind::ProcessingInstruction:
            return m_Text[span.m_End - 2] == '?' && !Holds(span.m_Begin + 1, span.m_End, "<");
        case MarkupKind::RawText: // what RawTextEndsCleanly read first
            return true;
        default: // CDATA, bogus markup
            return false;
        }
    }

    // "<" in text before a blank or digit is text to the parser; before anything else, or at the
    // end, it is not known what it is.
    bool LessThansAreText(const MarkupSpan& span) const
    {
        for (size_t at = m_Text.find('<', span.m_Begin); at < span.m_End; at = m_Text.find('<', at + 1)) {
            if (at + 1 >= m_Text.size()) return false;
            const char next = m_Text[at + 1];
            if (!IsHtmlSpace(next) && !IsAsciiDigit(next)) return false;
        }
        return true;
    }

    bool Holds(size_t from, size_t to, const char* characters) const
    {
        const size_t at = m_Text.find_first_of(characters, from);
        return at != std::string::npos && at < to;
    }

    bool AllNameChars(const MarkupSpan& span) const
    {
        for (size_t i = span.m_Begin; i < span.m_End; ++i)
            if (!IsMarkupNameChar(m_Text[i])) return false;
        return !span.Empty();
    }

    bool AllBlanks(size_t from, size_t to) const
    {
        for (size_t i = from; i < to; ++i)
            if (!IsHtmlSpace(m_Text[i])) return false;
        return true;
    }

    // Names of name characters, each attribute after a blank, quoted values on one line without
    // "<" or ">", unquoted ones without quotes, "<", "=" or "`", and only blanks and one "/"
    // right before the ">".
    bool StartTagUnderstood(const MarkupToken& token) const
    {
        if (!AllNameChars(token.m_Inner) || token.m_Attributes.size() > MAX_ATTRIBUTES) return false;
        size_t end = token.m_Inner.m_End;
        for (const MarkupAttribute& a : token.m_Attributes) {
            if (a.m_Name.m_Begin == end || !AllBlanks(end, a.m_Name.m_Begin) || !AllNameChars(a.m_Name))
                return false;
            const char* refused = a.m_Quote != 0 ? "<>\n\r" : "\"'<=`";
            if (a.m_HasValue && Holds(a.m_Value.m_Begin, a.m_Value.m_End, refused)) return false;
            end = a.m_End;
        }
        size_t close = token.m_Span.m_End - 1;
        if (token.m_SelfClosing) {
            // A raw-text element closed in its start tag is left to the parser's judgement.
            if (IsRawTextElement(m_Scanner.Text(token.m_Inner))) return false;
            --close;
        }
        return AllBlanks(end, close);
    }

    // Quoted parts hold no "<" or ">", and outside them stand no "<" and no internal subset.
    bool DeclarationUnderstood(const MarkupSpan& inner) const
    {
        char quote = 0;
        for (size_t i = inner.m_Begin; i < inner.m_End; ++i) {
            const char c = m_Text[i];
            if (quote != 0) {
                if (c == quote) quote = 0;
                if (c == '<') return false;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '<' || c == '[') {
                return false;
            }
        }
        return quote == 0;
    }

    // Whether the raw text after the start tag just read holds no "<" and ends at its end tag,
    // whose name a blank or ">" follows.
    bool RawTextEndsCleanly() const
    {
        CMarkupScanner ahead = m_Scanner;
        MarkupToken token;
        if (!ahead.Next(token) || token.m_Unterminated) return false;
        if (token.m_Kind == MarkupKind::RawText) {
            if (Holds(token.m_Span.m_Begin, token.m_Span.m_End, "<")) return false;
            if (!ahead.Next(token)) return false;
        }
        if (token.m_Kind != MarkupKind::EndTag) return false;
        const size_t after = token.m_Inner.m_End;
        return m_Text[after] == '>' || IsHtmlSpace(m_Text[after]);
    }

    // Cuts the attributes the rule names, each with the blanks before it. A name given twice is
    // left to the parser, which keeps one of the two; and an element left without attributes may
    // be pruned by the parser when empty, so its attributes then stay and are dropped on printing
    // as before. A real tag names no more than a few: one with more is left alone rather than
    // compared name by name.
    void DropAttributes(const std::string& element, const std::vector<MarkupAttribute>& attributes)
    {
        m_Dropped.assign(attributes.size(), false);
        size_t named = 0;
        for (size_t i = 0; i < attributes.size(); ++i) {
            const MarkupAttribute& a = attributes[i];
            m_Dropped[i] =
                a.m_Quote != 0 && m_Drops(element, m_Scanner.Text(a.m_Name), m_Scanner.Text(a.m_Value));
            if (m_Dropped[i]) ++named;
        }
        if (named == 0 || named > MAX_DROPPED || named == attributes.size()) return;
        for (size_t i = 0; i < attributes.size(); ++i) {
            if (!m_Dropped[i]) continue;
            const std::string name = m_Scanner.Text(attributes[i].m_Name);
            if (std::count_if(attributes.begin(), attributes.end(), [&](const MarkupAttribute& b) {
                    return EqualsNoCase(m_Scanner.Text(b.m_Name), name);
                }) != 1)
                return; // the tag goes to the parser as it stands
        }
        for (size_t i = 0; i < attributes.size(); ++i) {
            if (!m_Dropped[i]) continue;
            m_Out.append(m_Text, m_Copied, attributes[i].m_Begin - m_Copied);
            m_Copied = attributes[i].m_End;
        }
    }

    const std::string& m_Text;
    CMarkupScanner m_Scanner;
    DropRule m_Drops;
    std::string m_Out;
    size_t m_Copied = 0; // m_Text before this is in m_Out or cut
    std::vector<bool> m_Dropped;
};

} // namespace

bool IsZeroLength(const std::string& value)
{
    size_t unit = value.find_first_not_of("+-0.");
    return unit == std::string::npos || std::isalpha(static_cast<unsigned char>(value[unit]));
}

std::string WithoutAidAttributes(const std::string& text, size_t start, size_t end)
{
    end = std::min(end, text.size());
    auto aid = [](const std::string&, const std::string& name, const std::string&) { return name == "aid"; };
    const std::string range = text.substr(std::min(start, end), end - std::min(start, end));
    return CAttributeDropper(range, aid).Run();
}

std::string WithoutZeroLengths(const std::string& text, size_t start, size_t end)
{
    end = std::min(end, text.size());
    auto zero = [](const std::string& element, const std::string& name, const std::string& value) {
        return !EqualsNoCase(element, "img") &&
               (EqualsNoCase(name, "width") || EqualsNoCase(name, "height")) && IsZeroLength(value);
    };
    const std::string range = text.substr(std::min(start, end), end - std::min(start, end));
    return CAttributeDropper(range, zero).Run();
}
