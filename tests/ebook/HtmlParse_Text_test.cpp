#include "ebook/HtmlParse.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <regex>
#include <string>

namespace
{

struct AmpCase {
    const char* label;
    const char* text;
    const char* repaired; // nullptr: left unchanged
};

const AmpCase kAmpCases[] = {
    {"named", "a &amp; b", nullptr},
    {"named upper case", "&AMP;", nullptr},
    {"decimal", "&#160;", nullptr},
    {"hex", "&#x2F;", nullptr},
    {"hex upper X", "&#X41;", nullptr},
    {"tab", "&#09;", nullptr},
    {"line feed and return", "&#10;&#13;", nullptr},
    {"two digits from 33", "&#33;&#99;", nullptr},
    {"letters then one digit", "&sup2;", nullptr},
    {"accented", "&eacute;", nullptr},
    {"fifty letters", "&aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa;", nullptr},
    {"lone between words", "salt & pepper", "salt &#38; pepper"},
    {"backspace", "&#8;", "&#38;#8;"},
    {"zero", "&#0;", "&#38;#0;"},
    {"two digits below 33", "&#32;", "&#38;#32;"},
    {"no semicolon", "&amp b", "&#38;amp b"},
    {"fifty-one letters", "&aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa;",
     "&#38;aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa;"},
    {"two digits after letters", "&ab12;", "&#38;ab12;"},
    {"empty hex", "&#x;", "&#38;#x;"},
    {"at the end", "a&", "a&#38;"},
    {"several", "&&amp;&", "&#38;&amp;&#38;"},
};

const std::regex& ReferenceRegex()
{
    static const std::regex re("&(?!(?:#(09|10|13|3[3-9]|[4-9][0-9]|\\d{3,}|x[a-f0-9]+)|[a-z]{1,50}\\d?);)",
                               std::regex::ECMAScript | std::regex::icase);
    return re;
}

// The repair as the regular expression describes it, for comparison on short texts.
bool RegexRepair(std::string& text)
{
    std::vector<size_t> positions;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), ReferenceRegex());
         it != std::sregex_iterator(); ++it)
        positions.push_back(static_cast<size_t>(it->position(0)));
    for (auto it = positions.rbegin(); it != positions.rend(); ++it)
        text.insert(*it + 1, "#38;");
    return !positions.empty();
}

} // namespace

TEST(HtmlParseText, NakedAmpersandTable)
{
    for (const AmpCase& c : kAmpCases) {
        SCOPED_TRACE(c.label);
        std::string text = c.text;
        bool changed = HandleNakedAmpersand(text);
        EXPECT_EQ(changed, c.repaired != nullptr);
        EXPECT_EQ(text, c.repaired != nullptr ? c.repaired : c.text);
    }
}

TEST(HtmlParseText, NakedAmpersandMatchesTheRegularExpression)
{
    static const char ALPHABET[] = "&#;xX0123456789aAfFgz ";
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        size_t length = random() % 16;
        for (size_t i = 0; i < length; ++i)
            text += ALPHABET[random() % (sizeof ALPHABET - 1)];
        std::string byScanner = text, byRegex = text;
        bool a = HandleNakedAmpersand(byScanner);
        bool b = RegexRepair(byRegex);
        ASSERT_EQ(byScanner, byRegex) << "input: " << text;
        ASSERT_EQ(a, b) << "input: " << text;
    }
}

TEST(HtmlParseText, NakedAmpersandOnTenMegabytes)
{
    std::string text;
    text.reserve(11u << 20);
    while (text.size() < (10u << 20))
        text += "<p>Fish &amp; chips & peas &#160; &#8; &eacute;</p>\r\n";
    size_t ampersands = 0;
    for (char c : text)
        ampersands += c == '&';
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(HandleNakedAmpersand(text));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 1000 * TimeScale());
    EXPECT_EQ(text.find("chips & peas"), std::string::npos);
    EXPECT_NE(text.find("chips &#38; peas &#160; &#38;#8; &eacute;"), std::string::npos);
    size_t after = 0;
    for (char c : text)
        after += c == '&';
    EXPECT_EQ(after, ampersands);
}

TEST(HtmlParseText, DecodeEntities)
{
    struct Case {
        const char* text;
        const char* decoded;
    };
    const Case cases[] = {
        {"a&#160;b", "a b"},
        {"&amp;lt;", "<"},
        {"&gt;&lt;", "><"},
        {"x&nbsp;y", "xy"},
        {"&quot;q&quot;", "\"q\""},
        {"&amp;amp;", "&amp;"},
        {"&eacute; stays", "&eacute; stays"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecodeEntities(c.text), c.decoded) << c.text;
}

TEST(HtmlParseText, CoverPage)
{
    EXPECT_EQ(
        MakeCoverPage("images/a&b.jpg"),
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" "
        "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\"><html xmlns=\"http://www.w3.org/1999/xhtml\">"
        "<head><title>Cover</title></head><body><div style=\"text-align:center\">"
        "<img src=\"images/a&amp;b.jpg\" alt=\"Cover\" /></div></body></html>");
}
