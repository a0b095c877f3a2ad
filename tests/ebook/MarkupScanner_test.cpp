#include "ebook/MarkupScanner.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace
{

// The tokens in a short notation: T text, S start tag with {attributes} and "/" when it closes
// itself, E end tag, C comment, D CDATA, ! declaration, ? instruction, B bogus markup, R raw text;
// "~" marks a token the text ended in. Also checks that the tokens cover the text in order.
std::string Tokens(const std::string& text)
{
    static const char* const KINDS = "TSECD!?BR";
    CMarkupScanner scanner(text);
    MarkupToken token;
    std::string out;
    size_t covered = 0;
    while (scanner.Next(token)) {
        EXPECT_EQ(token.m_Span.m_Begin, covered) << text;
        EXPECT_GT(token.m_Span.m_End, token.m_Span.m_Begin) << text;
        covered = token.m_Span.m_End;
        if (!out.empty()) out += " ";
        out += KINDS[static_cast<int>(token.m_Kind)];
        out += "'" + scanner.Text(token.m_Inner) + "'";
        for (const MarkupAttribute& a : token.m_Attributes) {
            out += "{" + scanner.Text(a.m_Name);
            if (a.m_HasValue)
                out += "=" + std::string(a.m_Quote != 0 ? 1 : 0, a.m_Quote) + scanner.Text(a.m_Value);
            out += "}";
        }
        if (token.m_SelfClosing) out += "/";
        if (token.m_Unterminated) out += "~";
    }
    EXPECT_EQ(covered, text.size()) << text;
    return out;
}

TEST(MarkupScanner, TokenTable)
{
    const struct {
        std::string text, tokens;
    } cases[] = {
        {"a<b>c</b>d", "T'a' S'b' T'c' E'b' T'd'"},
        {"<p class=x id='y' title=\"z w\" hidden>", "S'p'{class=x}{id='y}{title=\"z w}{hidden}"},
        {"<img src = \"a.png\" />", "S'img'{src=\"a.png}/"},
        // "/" between attributes is a blank; only one right before ">" closes the tag.
        {"<a/b>", "S'a'{b}"},
        {"<br/>", "S'br'/"},
        {"<a href=x/>", "S'a'{href=x/}/"},
        // A quote counts only around a value: elsewhere it belongs to a name.
        {"<p a\"b>", "S'p'{a\"b}"},
        {"<p a=\">\">t", "S'p'{a=\">} T't'"},
        {"<p = =v>", "S'p'{==v}"},
        {"<!-- x -->", "C' x '"},
        {"<!-->x", "C'' T'x'"},
        {"<!--->x", "C'' T'x'"},
        {"<!-- a --!> b -->c", "C' a --!> b ' T'c'"},
        {"<!-- open", "C' open'~"},
        {"<![CDATA[a<b>]]>c", "D'a<b>' T'c'"},
        {"<![CDATA[x", "D'x'~"},
        {"<!DOCTYPE html>", "!'DOCTYPE html'"},
        {"<?xml version=\"1.0\"?>", "?'xml version=\"1.0\"?'"},
        {"</a junk>", "E'a'"},
        {"</ a>x", "B' a' T'x'"},
        {"</>", "B''"},
        // Raw text ends only at its own end tag, whatever looks like markup inside.
        {"<script>if (a</scr) s=\"</script>\";</script>x",
         "S'script' R'if (a</scr) s=\"' E'script' T'\";' E'script' T'x'"},
        {"<SCRIPT>a</scripts></Script >b", "S'SCRIPT' R'a</scripts>' E'Script' T'b'"},
        {"<style>p{}</style>", "S'style' R'p{}' E'style'"},
        {"<script></script>", "S'script' E'script'"},
        {"<script/><b>", "S'script'/ S'b'"},
        {"<style>open", "S'style' R'open'~"},
        {"<title><b></title>", "S'title' S'b' E'title'"},
        // A "<" that starts no markup is text, also at the very end.
        {"a < b <3 <", "T'a < b <3 <'"},
        {"<", "T'<'"},
        {"x<a", "T'x' S'a'~"},
        {"<a href=\"open", "S'a'{href}~"},
        {"<a href=", "S'a'{href}~"},
        {"<p$x=1 a<b>", "S'p'{$x=1}{a<b}"},
        {"<p=a=b>", "S'p'{=}{a=b}"},
        {std::string("a\0b<p \0>", 8), std::string("T'a\0b' S'p'{\0}", 14)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Tokens(c.text), c.tokens) << c.text;
}

TEST(MarkupScanner, RawTextNamesAreTheCallers)
{
    const std::string text = "<title><b></title><script><b>";
    CMarkupScanner scanner(text, {"title"});
    MarkupToken token;
    std::string kinds;
    while (scanner.Next(token))
        kinds += std::to_string(static_cast<int>(token.m_Kind));
    // title's content is raw text; script's is not.
    EXPECT_EQ(kinds, "18211");
}

TEST(MarkupScanner, NamesToTheBlank)
{
    const std::string text = "<nav<x a=1></nav< >";
    CMarkupScanner scanner(text, {}, CMarkupScanner::TagNames::ToBlank);
    MarkupToken token;
    ASSERT_TRUE(scanner.Next(token));
    EXPECT_EQ(scanner.Text(token.m_Inner), "nav<x");
    ASSERT_EQ(token.m_Attributes.size(), 1u);
    ASSERT_TRUE(scanner.Next(token));
    EXPECT_EQ(scanner.Text(token.m_Inner), "nav<");
}

TEST(MarkupScanner, CallerDecidesRawText)
{
    const std::string text = "<script><b></script><p><b></p>";
    CMarkupScanner scanner(text);
    MarkupToken token;
    ASSERT_TRUE(scanner.Next(token));
    scanner.SetRawTextNext(false);
    ASSERT_TRUE(scanner.Next(token));
    EXPECT_EQ(token.m_Kind, MarkupKind::StartTag);
    EXPECT_EQ(scanner.Text(token.m_Inner), "b");
    while (scanner.Next(token) && scanner.Text(token.m_Inner) != "p") {
    }
    scanner.SetRawTextNext(true);
    ASSERT_TRUE(scanner.Next(token));
    EXPECT_EQ(token.m_Kind, MarkupKind::RawText);
    EXPECT_EQ(scanner.Text(token.m_Inner), "<b>");
}

// One pass whatever the text holds: long runs of text, of "<" and of unclosed markup.
TEST(MarkupScanner, LongRunsTakeOnePass)
{
    const size_t size = 2u << 20;
    const std::string texts[] = {std::string(size, 'x'), std::string(size, '<'),
                                 "<p a=" + std::string(size, 'v'), "<script>" + std::string(size, '<') + "/"};
    for (const std::string& text : texts) {
        auto start = std::chrono::steady_clock::now();
        CMarkupScanner scanner(text);
        MarkupToken token;
        size_t count = 0;
        while (scanner.Next(token))
            ++count;
        EXPECT_LE(count, 2u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2) * TimeScale());
    }
}

} // namespace
