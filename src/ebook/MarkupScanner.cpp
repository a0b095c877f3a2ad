#include "ebook/MarkupScanner.h"

#include "base/AsciiClass.h"
#include "base/Text.h"

#include <cstring>

CMarkupScanner::CMarkupScanner(const std::string& text, std::vector<std::string> rawTextNames, TagNames names)
    : m_Text(text), m_RawTextNames(std::move(rawTextNames)), m_Names(names)
{
}

bool CMarkupScanner::Next(MarkupToken& token)
{
    if (m_Pos >= m_Text.size()) return false;
    token.m_Attributes.clear();
    token.m_SelfClosing = false;
    token.m_Unterminated = false;
    token.m_Span.m_Begin = m_Pos;
    token.m_Inner = {m_Pos, m_Pos};
    if (!m_RawTextOf.Empty() && ReadRawText(token)) {
        token.m_Span.m_End = m_Pos;
        return true;
    }
    if (m_Text[m_Pos] != '<' || m_Pos + 1 >= m_Text.size()) {
        ReadText(token);
    } else if (m_Text.compare(m_Pos, 4, "<!--") == 0) {
        // The "--" of the opening counts for the close, as a browser reads "<!-->".
        ReadDelimited(token, MarkupKind::Comment, m_Pos + 4, "-->");
    } else if (m_Text.compare(m_Pos, 9, "<![CDATA[") == 0) {
        ReadDelimited(token, MarkupKind::Cdata, m_Pos + 9, "]]>");
    } else {
        const char next = m_Text[m_Pos + 1];
        if (IsAsciiLetter(next))
            ReadStartTag(token);
        else if (next == '!')
            ReadDelimited(token, MarkupKind::Doctype, m_Pos + 2, ">");
        else if (next == '?')
            ReadDelimited(token, MarkupKind::ProcessingInstruction, m_Pos + 2, ">");
        else if (next == '/' && m_Pos + 2 < m_Text.size() && IsAsciiLetter(m_Text[m_Pos + 2]))
            ReadDelimited(token, MarkupKind::EndTag, m_Pos + 2, ">");
        else if (next == '/')
            ReadDelimited(token, MarkupKind::Bogus, m_Pos + 2, ">");
        else
            ReadText(token);
    }
    token.m_Span.m_End = m_Pos;
    return true;
}

// Text runs to the next "<" that starts markup; a "<" before anything else is text.
void CMarkupScanner::ReadText(MarkupToken& token)
{
    token.m_Kind = MarkupKind::Text;
    size_t at = m_Pos + 1;
    for (; (at = m_Text.find('<', at)) != std::string::npos; ++at) {
        if (at + 1 >= m_Text.size()) continue;
        const char next = m_Text[at + 1];
        if (IsAsciiLetter(next) || next == '/' || next == '!' || next == '?') break;
    }
    m_Pos = at == std::string::npos ? m_Text.size() : at;
    token.m_Inner = {token.m_Span.m_Begin, m_Pos};
}

void CMarkupScanner::ReadDelimited(MarkupToken& token, MarkupKind kind, size_t innerBegin, const char* close)
{
    token.m_Kind = kind;
    const size_t closeSize = std::strlen(close);
    // A comment's close may overlap its opening "<!--".
    const size_t searchFrom = kind == MarkupKind::Comment ? m_Pos + 2 : innerBegin;
    const size_t found = m_Text.find(close, searchFrom);
    if (found == std::string::npos) {
        token.m_Unterminated = true;
        token.m_Inner = {innerBegin, m_Text.size()};
        m_Pos = m_Text.size();
        return;
    }
    token.m_Inner = {innerBegin, std::max(found, innerBegin)};
    if (kind == MarkupKind::EndTag) {
        token.m_Inner.m_End = NameEnd(innerBegin);
    }
    m_Pos = found + closeSize;
}

size_t CMarkupScanner::NameEnd(size_t from) const
{
    if (m_Names == TagNames::ToBlank) {
        while (from < m_Text.size() && !IsHtmlSpace(m_Text[from]) && m_Text[from] != '/' &&
               m_Text[from] != '>')
            ++from;
        return from;
    }
    // Whatever follows the name that is no blank, "/" or ">" starts an attribute.
    while (from < m_Text.size() && IsMarkupNameChar(m_Text[from]))
        ++from;
    return from;
}

void CMarkupScanner::ReadStartTag(MarkupToken& token)
{
    token.m_Kind = MarkupKind::StartTag;
    token.m_Inner = {m_Pos + 1, NameEnd(m_Pos + 1)};
    m_Pos = token.m_Inner.m_End;
    while (m_Pos < m_Text.size()) {
        const char c = m_Text[m_Pos];
        if (c == '>') {
            token.m_SelfClosing = m_Text[m_Pos - 1] == '/';
            ++m_Pos;
            m_LastStartName = token.m_Inner;
            m_RawTextOf = !token.m_SelfClosing && IsRawTextName(token.m_Inner) ? token.m_Inner : MarkupSpan{};
            return;
        }
        if (IsHtmlSpace(c) || c == '/') {
            ++m_Pos;
            continue;
        }
        token.m_Attributes.emplace_back();
        if (!ReadAttribute(token.m_Attributes.back())) break;
    }
    token.m_Unterminated = true;
    m_Pos = m_Text.size();
    m_LastStartName = m_RawTextOf = {};
}

bool CMarkupScanner::ReadAttribute(MarkupAttribute& attribute)
{
    const std::string& t = m_Text;
    size_t at = m_Pos;
    attribute.m_Begin = at;
    while (attribute.m_Begin > 0 && IsHtmlSpace(t[attribute.m_Begin - 1]))
        --attribute.m_Begin;
    while (at < t.size() && !IsHtmlSpace(t[at]) && t[at] != '=' && t[at] != '>' && t[at] != '/')
        ++at;
    if (at == m_Pos) ++at; // a stray "=" stands alone
    attribute.m_Name = {m_Pos, at};
    attribute.m_Value = {at, at};
    attribute.m_End = m_Pos = at;
    while (at < t.size() && IsHtmlSpace(t[at]))
        ++at;
    if (at >= t.size() || t[at] != '=') return true;
    ++at;
    while (at < t.size() && IsHtmlSpace(t[at]))
        ++at;
    if (at >= t.size()) return false;
    const char quote = t[at];
    if (quote == '"' || quote == '\'') {
        const size_t close = t.find(quote, at + 1);
        if (close == std::string::npos) return false;
        attribute.m_HasValue = true;
        attribute.m_Quote = quote;
        attribute.m_Value = {at + 1, close};
        attribute.m_End = m_Pos = close + 1;
        return true;
    }
    size_t end = at;
    while (end < t.size() && !IsHtmlSpace(t[end]) && t[end] != '>')
        ++end;
    attribute.m_HasValue = true;
    attribute.m_Value = {at, end};
    attribute.m_End = m_Pos = end;
    return true;
}

bool CMarkupScanner::ReadRawText(MarkupToken& token)
{
    const std::string close = "</" + ToLowerCopy(Text(m_RawTextOf));
    m_RawTextOf = {};
    size_t at = m_Pos;
    for (; (at = FindNoCase(m_Text, close, at)) != std::string::npos; at += 2) {
        const size_t after = at + close.size();
        if (after >= m_Text.size() || !IsMarkupNameChar(m_Text[after])) break;
    }
    const size_t end = at == std::string::npos ? m_Text.size() : at;
    if (end == m_Pos) return false; // an empty element: its end tag follows
    token.m_Kind = MarkupKind::RawText;
    token.m_Unterminated = at == std::string::npos;
    m_Pos = end;
    token.m_Inner = {token.m_Span.m_Begin, m_Pos};
    return true;
}

bool CMarkupScanner::IsRawTextName(const MarkupSpan& name) const
{
    for (const std::string& raw : m_RawTextNames)
        if (raw.size() == name.Size() && FindNoCase(m_Text, raw, name.m_Begin, name.m_End) == name.m_Begin)
            return true;
    return false;
}
