// A lexical scan of start tags: pages are moved as their bytes, not reprinted, so only the link
// values change.
#include "html/PageLinks.h"

#include "base/Href.h"
#include "base/Platform.h"

#include <cctype>

namespace
{

const char* const LINK_ATTRIBUTES[] = {"href", "src", "xlink:href", "poster", "data"};

bool IsLinkAttribute(const std::string& name)
{
    for (const char* attribute : LINK_ATTRIBUTES)
        if (EqualsNoCase(name, attribute)) return true;
    return false;
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

bool IsNameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '_' || c == '-' || c == '.';
}

// Where the text resumes after the end tag of a raw-text element (script, style), or npos.
size_t SkipRawText(const std::string& page, size_t from, const std::string& name)
{
    const std::string close = "</" + name;
    for (size_t at = page.find("</", from); at != std::string::npos; at = page.find("</", at + 2)) {
        const size_t after = at + close.size();
        if (EqualsNoCase(page.substr(at, close.size()), close) &&
            (after >= page.size() || !IsNameChar(page[after])))
            return at;
    }
    return std::string::npos;
}

class CLinkScanner
{
  public:
    CLinkScanner(const std::string& page, const std::function<std::string(const std::string&)>& rewrite)
        : m_Page(page), m_Rewrite(rewrite)
    {
        m_Out.reserve(page.size());
    }

    std::string Run()
    {
        while (m_Pos < m_Page.size()) {
            size_t open = m_Page.find('<', m_Pos);
            if (open == std::string::npos) break;
            CopyUpTo(open);
            if (!ScanMarkup()) break;
        }
        CopyUpTo(m_Page.size());
        return std::move(m_Out);
    }

  private:
    void CopyUpTo(size_t end)
    {
        m_Out.append(m_Page, m_Pos, end - m_Pos);
        m_Pos = end;
    }

    // Copies everything through the first occurrence of terminator; false when there is none.
    bool CopyThrough(const char* terminator)
    {
        size_t end = m_Page.find(terminator, m_Pos);
        if (end == std::string::npos) return false;
        CopyUpTo(end + std::char_traits<char>::length(terminator));
        return true;
    }

    bool Next(const char* text) const
    {
        return m_Page.compare(m_Pos, std::char_traits<char>::length(text), text) == 0;
    }

    // At a "<": copies one piece of markup; false when the text ends inside it.
    bool ScanMarkup()
    {
        if (Next("<!--")) return CopyThrough("-->");
        if (Next("<![CDATA[")) return CopyThrough("]]>");
        if (Next("<!") || Next("<?") || Next("</")) return CopyThrough(">");
        size_t nameEnd = m_Pos + 1;
        while (nameEnd < m_Page.size() && IsNameChar(m_Page[nameEnd]))
            ++nameEnd;
        if (nameEnd == m_Pos + 1) { // a "<" in text
            CopyUpTo(m_Pos + 1);
            return true;
        }
        const std::string name = m_Page.substr(m_Pos + 1, nameEnd - m_Pos - 1);
        CopyUpTo(nameEnd);
        bool selfClosing = false;
        if (!ScanAttributes(selfClosing)) return false;
        if (!selfClosing && (EqualsNoCase(name, "script") || EqualsNoCase(name, "style"))) {
            size_t end = SkipRawText(m_Page, m_Pos, name);
            if (end == std::string::npos) return false;
            CopyUpTo(end);
        }
        return true;
    }

    // Copies the attributes and the closing ">", rewriting link values on the way.
    bool ScanAttributes(bool& selfClosing)
    {
        while (m_Pos < m_Page.size()) {
            char c = m_Page[m_Pos];
            if (c == '>') {
                selfClosing = m_Pos > 0 && m_Page[m_Pos - 1] == '/';
                CopyUpTo(m_Pos + 1);
                return true;
            }
            if (IsSpace(c) || c == '/') {
                CopyUpTo(m_Pos + 1);
                continue;
            }
            if (!ScanAttribute()) return false;
        }
        return false;
    }

    bool ScanAttribute()
    {
        size_t nameEnd = m_Pos;
        while (nameEnd < m_Page.size() && !IsSpace(m_Page[nameEnd]) && m_Page[nameEnd] != '=' &&
               m_Page[nameEnd] != '>' && m_Page[nameEnd] != '/')
            ++nameEnd;
        if (nameEnd == m_Pos) ++nameEnd; // a stray "=" stands alone
        const bool isLink = IsLinkAttribute(m_Page.substr(m_Pos, nameEnd - m_Pos));
        size_t at = nameEnd;
        while (at < m_Page.size() && IsSpace(m_Page[at]))
            ++at;
        if (at >= m_Page.size() || m_Page[at] != '=') {
            CopyUpTo(nameEnd);
            return true;
        }
        ++at;
        while (at < m_Page.size() && IsSpace(m_Page[at]))
            ++at;
        if (at >= m_Page.size()) return false;
        size_t valueStart = at, valueEnd;
        const char quote = m_Page[at];
        if (quote == '"' || quote == '\'') {
            valueEnd = m_Page.find(quote, ++valueStart);
            if (valueEnd == std::string::npos) return false;
        } else {
            valueEnd = valueStart;
            while (valueEnd < m_Page.size() && !IsSpace(m_Page[valueEnd]) && m_Page[valueEnd] != '>')
                ++valueEnd;
        }
        CopyUpTo(valueStart);
        if (isLink) {
            m_Out += m_Rewrite(m_Page.substr(valueStart, valueEnd - valueStart));
            m_Pos = valueEnd;
        } else {
            CopyUpTo(valueEnd);
        }
        if (valueEnd < m_Page.size() && (m_Page[valueEnd] == '"' || m_Page[valueEnd] == '\''))
            CopyUpTo(valueEnd + 1);
        return true;
    }

    const std::string& m_Page;
    const std::function<std::string(const std::string&)>& m_Rewrite;
    std::string m_Out;
    size_t m_Pos = 0;
};

} // namespace

std::string RewritePageLinks(const std::string& page,
                             const std::function<std::string(const std::string&)>& rewrite)
{
    return CLinkScanner(page, rewrite).Run();
}

LinkParts SplitLink(const std::string& value)
{
    size_t cut = value.find_first_of("?#");
    if (cut == std::string::npos) return {value, ""};
    return {value.substr(0, cut), value.substr(cut)};
}

std::string EscapeUrlSegment(const std::string& text)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~' || byte >= 0x80) {
            out += c;
        } else {
            out += '%';
            out += HEX[byte >> 4];
            out += HEX[byte & 15];
        }
    }
    return out;
}
