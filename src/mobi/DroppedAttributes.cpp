// Passes over Kindle text that take out attributes the reader drops on printing anyway. Each
// attribute the HTML library does not see is one it neither stores nor reports as invalid.
#include "mobi/DroppedAttributes.h"

#include "base/AsciiClass.h"
#include "base/Platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

namespace
{

// Whether an attribute of an element, with its quoted value, goes.
using DropRule = bool (*)(const std::string& element, const std::string& name, const std::string& value);

// Elements whose content the HTML library may take as plain text up to their end tag.
bool IsRawTextElement(const std::string& name)
{
    for (const char* raw : {"script", "style", "title", "textarea", "xmp", "plaintext", "iframe", "noembed",
                            "noframes", "noscript"})
        if (EqualsNoCase(name, raw)) return true;
    return false;
}

// A lexer just strict enough to find the attributes of start tags. At the first markup it does not
// fully understand it stops, and the rest of the text goes to the parser as it stands: a wrong guess
// about where a tag ends could otherwise cut bytes out of an attribute value or text.
class CAttributeDropper
{
  public:
    CAttributeDropper(const std::string& text, size_t start, size_t end, DropRule drops)
        : m_Text(text), m_End(end), m_Copied(start), m_Drops(drops)
    {
        m_Out.reserve(end - start);
    }

    std::string Run()
    {
        size_t at = m_Copied;
        while (at < m_End) {
            size_t open = Find("<", at);
            if (open == STOP) break;
            at = Markup(open);
            if (at == std::string::npos) break;
        }
        m_Out.append(m_Text, m_Copied, m_End - m_Copied);
        return std::move(m_Out);
    }

  private:
    static constexpr size_t STOP = std::string::npos;
    static constexpr size_t MAX_ATTRIBUTES = 64;
    static constexpr size_t MAX_DROPPED = 4;

    struct Attribute {
        size_t m_From = 0; // the blanks before it
        size_t m_To = 0;   // just past it
        std::pair<size_t, size_t> m_Name;
        std::pair<size_t, size_t> m_Value; // inside the quotes
        bool m_Quoted = false;
        bool m_Dropped = false;
    };

    // Position after the markup that starts at open, or STOP.
    size_t Markup(size_t open)
    {
        if (open + 1 >= m_End) return STOP;
        char c = m_Text[open + 1];
        if (IsAsciiLetter(c)) return StartTag(open);
        if (c == '/') return EndTag(open);
        if (c == '!') return m_Text.compare(open, 4, "<!--") == 0 ? Comment(open) : Declaration(open);
        if (c == '?') return ProcessingInstruction(open);
        // "<" before a blank or digit is text to the parser.
        return IsHtmlSpace(c) || (c >= '0' && c <= '9') ? open + 1 : STOP;
    }

    // Position of the first word at or after from that ends by m_End, or STOP. The search never
    // looks past m_End, so a file without the word costs its own length only.
    size_t Find(const char* word, size_t from) const
    {
        if (from >= m_End) return STOP;
        auto begin = m_Text.begin();
        auto end = begin + static_cast<std::ptrdiff_t>(m_End);
        auto found =
            std::search(begin + static_cast<std::ptrdiff_t>(from), end, word, word + std::strlen(word));
        return found == end ? STOP : static_cast<size_t>(found - begin);
    }

    size_t Comment(size_t open)
    {
        size_t close = Find("-->", open + 4);
        return close == STOP ? STOP : close + 3;
    }

    size_t Declaration(size_t open)
    {
        char quote = 0;
        for (size_t i = open + 2; i < m_End; ++i) {
            char c = m_Text[i];
            if (quote != 0) {
                if (c == quote) quote = 0;
                if (c == '>' || c == '<') return STOP;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '<' || c == '[') {
                return STOP;
            } else if (c == '>') {
                return i + 1;
            }
        }
        return STOP;
    }

    size_t ProcessingInstruction(size_t open)
    {
        size_t close = Find(">", open + 2);
        if (close == STOP || m_Text[close - 1] != '?') return STOP;
        return Find("<", open + 1) < close ? STOP : close + 1;
    }

    size_t EndTag(size_t open)
    {
        if (open + 2 >= m_End || !IsAsciiLetter(m_Text[open + 2])) return STOP;
        for (size_t i = open + 3; i < m_End; ++i) {
            char c = m_Text[i];
            if (c == '>') return i + 1;
            if (c == '<' || c == '"' || c == '\'') return STOP;
        }
        return STOP;
    }

    size_t StartTag(size_t open)
    {
        size_t nameStart = open + 1, i = nameStart;
        while (i < m_End && IsMarkupNameChar(m_Text[i]))
            ++i;
        std::string name = m_Text.substr(nameStart, i - nameStart);
        std::vector<Attribute> attributes;
        for (;;) {
            size_t blank = i;
            while (i < m_End && IsHtmlSpace(m_Text[i]))
                ++i;
            if (i >= m_End) return STOP;
            if (m_Text[i] == '>') break;
            if (m_Text[i] == '/') {
                // A raw-text element closed in its start tag is left to the parser's judgement.
                if (i + 1 >= m_End || m_Text[i + 1] != '>' || IsRawTextElement(name)) return STOP;
                ++i;
                break;
            }
            // Real tags have a handful of attributes; a tag with hundreds is left to the parser
            // rather than compared name by name.
            if (i == blank || attributes.size() == MAX_ATTRIBUTES) return STOP;
            Attribute attribute;
            attribute.m_From = blank;
            i = ReadAttribute(i, attribute);
            if (i == STOP) return STOP;
            attributes.push_back(attribute);
        }
        size_t after = i + 1;
        if (IsRawTextElement(name)) {
            after = RawTextEnd(after, name);
            if (after == STOP) return STOP;
        }
        DropAttributes(name, attributes);
        return after;
    }

    // Cuts the attributes the rule names, each with the blanks before it. A name given twice is
    // left to the parser, which keeps one of the two; and an element left without attributes may
    // be pruned by the parser when empty, so its attributes then stay and are dropped on printing
    // as before. A real tag names no more than a few: one with more is left alone rather than
    // compared name by name.
    void DropAttributes(const std::string& element, std::vector<Attribute>& attributes)
    {
        size_t named = 0;
        for (Attribute& a : attributes) {
            a.m_Dropped = a.m_Quoted && m_Drops(element, Text(a.m_Name), Text(a.m_Value));
            if (a.m_Dropped) ++named;
        }
        if (named == 0 || named > MAX_DROPPED || named == attributes.size()) return;
        for (Attribute& a : attributes) {
            if (!a.m_Dropped) continue;
            a.m_Dropped = std::count_if(attributes.begin(), attributes.end(), [&](const Attribute& b) {
                              return SameName(a.m_Name, b.m_Name);
                          }) == 1;
            if (!a.m_Dropped) return; // the tag goes to the parser as it stands
        }
        for (const Attribute& a : attributes) {
            if (!a.m_Dropped) continue;
            m_Out.append(m_Text, m_Copied, a.m_From - m_Copied);
            m_Copied = a.m_To;
        }
    }

    bool SameName(const std::pair<size_t, size_t>& a, const std::pair<size_t, size_t>& b) const
    {
        if (a.second - a.first != b.second - b.first) return false;
        for (size_t i = 0; i < a.second - a.first; ++i)
            if (std::tolower(static_cast<unsigned char>(m_Text[a.first + i])) !=
                std::tolower(static_cast<unsigned char>(m_Text[b.first + i])))
                return false;
        return true;
    }

    std::string Text(const std::pair<size_t, size_t>& span) const
    {
        return m_Text.substr(span.first, span.second - span.first);
    }

    // Position after one attribute at i, or STOP; the attribute learns its name, its value and
    // whether that was quoted.
    size_t ReadAttribute(size_t i, Attribute& attribute)
    {
        size_t nameStart = i;
        while (i < m_End && IsMarkupNameChar(m_Text[i]))
            ++i;
        if (i == nameStart) return STOP;
        attribute.m_Name = {nameStart, i};
        attribute.m_To = i;
        size_t j = i;
        while (j < m_End && IsHtmlSpace(m_Text[j]))
            ++j;
        if (j >= m_End || m_Text[j] != '=') return i;
        ++j;
        while (j < m_End && IsHtmlSpace(m_Text[j]))
            ++j;
        if (j >= m_End) return STOP;
        char quote = m_Text[j];
        if (quote == '"' || quote == '\'') {
            for (size_t k = j + 1; k < m_End; ++k) {
                char c = m_Text[k];
                if (c == quote) {
                    attribute.m_Quoted = true;
                    attribute.m_Value = {j + 1, k};
                    attribute.m_To = k + 1;
                    return k + 1;
                }
                if (c == '<' || c == '>' || c == '\n' || c == '\r') return STOP;
            }
            return STOP;
        }
        for (; j < m_End && !IsHtmlSpace(m_Text[j]) && m_Text[j] != '>'; ++j) {
            char c = m_Text[j];
            if (c == '"' || c == '\'' || c == '<' || c == '=' || c == '`') return STOP;
        }
        attribute.m_To = j;
        return j;
    }

    // Position of the end tag that closes raw text starting at from, or STOP when anything else
    // comes first.
    size_t RawTextEnd(size_t from, const std::string& name)
    {
        size_t close = Find("<", from);
        if (close == STOP || close + 2 + name.size() >= m_End || m_Text[close + 1] != '/' ||
            !EqualsNoCase(m_Text.substr(close + 2, name.size()), name))
            return STOP;
        size_t after = close + 2 + name.size();
        return m_Text[after] == '>' || IsHtmlSpace(m_Text[after]) ? close : STOP;
    }

    const std::string& m_Text;
    size_t m_End;
    size_t m_Copied; // m_Text before this is in m_Out or cut
    DropRule m_Drops;
    std::string m_Out;
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
    return CAttributeDropper(text, std::min(start, end), end, aid).Run();
}

std::string WithoutZeroLengths(const std::string& text, size_t start, size_t end)
{
    end = std::min(end, text.size());
    auto zero = [](const std::string& element, const std::string& name, const std::string& value) {
        return !EqualsNoCase(element, "img") &&
               (EqualsNoCase(name, "width") || EqualsNoCase(name, "height")) && IsZeroLength(value);
    };
    return CAttributeDropper(text, std::min(start, end), end, zero).Run();
}
