#include "base/Charset.h"

#include "base/Files.h"
#include "base/Text.h"

#include "TestSupport.h"

namespace
{

std::string Euros(size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += '\x80'; // the euro sign in Windows-1252
    return text;
}

std::string Converted(const char* from, const char* to, const std::string& input)
{
    std::string output = "stale";
    EXPECT_EQ(CharsetConv::Convert(from, to, input, output), RC_OK);
    return output;
}

TEST(Charset, ConvertGrowsPastTheOutputBuffer)
{
    // 6000 euro signs become 18000 UTF-8 bytes, more than one output buffer per input piece.
    std::string out = Converted("windows-1252", "utf-8", Euros(6000));
    ASSERT_EQ(out.size(), 18000u);
    EXPECT_EQ(out.substr(0, 3), "\xE2\x82\xAC");
    EXPECT_EQ(Converted("utf-8", "windows-1252", out), Euros(6000));
}

struct DropCase {
    const char* label;
    const char* from;
    std::string input;
    std::string output;
};

TEST(Charset, ConvertDropsOnlyUndecodableBytes)
{
    std::string longTail = std::string(5000, 'a') + "\xE2\x82";
    const DropCase cases[] = {
        {"truncated utf-8 at the end", "utf-8", "ab\xC3\xA9\xE2\x82", "ab\xC3\xA9"},
        {"bad byte in the middle", "utf-8",
         "a\xFF"
         "b",
         "ab"},
        {"truncated after a piece boundary", "utf-8", longTail, std::string(5000, 'a')},
        {"multibyte across a piece boundary", "utf-8", std::string(4095, 'a') + "\xC3\xA9" + "z",
         std::string(4095, 'a') + "\xC3\xA9" + "z"},
        {"only garbage", "utf-8", "\xFF\xFE\xFD", ""},
        {"empty", "windows-1252", "", ""},
    };
    for (const DropCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Converted(c.from, "utf-8", c.input), c.output);
    }
}

TEST(Charset, ConvertRefusesUnknownCharsets)
{
    std::string output = "kept";
    EXPECT_EQ(CharsetConv::Convert("no-such-charset", "utf-8", "x", output), RC_CHARSET_CONVERT);
    EXPECT_EQ(output, "kept");
}

TEST(Charset, DetectNamesAsciiWhenTheDetectorNamesNothing)
{
    std::string charset;
    ASSERT_EQ(HandleUniversalDetector("", charset), RC_OK);
    EXPECT_EQ(charset, "ascii");
}

struct ToUtf8Case {
    const char* label;
    std::string input;
    std::string output;
};

TEST(Charset, ToUtf8OnSmallTexts)
{
    const ToUtf8Case cases[] = {
        {"ascii unchanged", "Plain old text.\r\n", "Plain old text.\r\n"},
        {"utf-8 unchanged",
         "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
         "e, na\xC3\xAFve.",
         "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
         "e, na\xC3\xAFve."},
        {"cut at the first zero byte", std::string("before\0after", 12), "before"},
        {"utf-16le with mark", std::string("\xFF\xFEh\0i\0 \0t\0h\0e\0r\0e\0", 18), "hi there"},
        {"utf-16be with mark", std::string("\xFE\xFF\0h\0i\0 \0t\0h\0e\0r\0e", 18), "hi there"},
    };
    for (const ToUtf8Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string text = c.input;
        ASSERT_EQ(CharsetConv::ToUtf8(text), RC_OK);
        EXPECT_EQ(text, c.output);
    }
}

std::string WithoutCarriageReturns(std::string text)
{
    ReplaceAll(text, "\r", "");
    return text;
}

TEST(Charset, ToUtf8OnRealTextsMatchesTheirKnownEncoding)
{
    std::string utf16 = ReadWholeFile(DataPath("text/fr-utf16le-bom.txt"));
    std::string cp1252 = ReadWholeFile(DataPath("text/fr-cp1252-crlf.txt"));
    ASSERT_FALSE(utf16.empty());
    ASSERT_EQ(CharsetConv::ToUtf8(utf16), RC_OK);
    ASSERT_EQ(CharsetConv::ToUtf8(cp1252), RC_OK);
    EXPECT_GT(utf16.size(), 10000u) << "a UTF-16 text must not end at its first zero byte";
    EXPECT_EQ(WithoutCarriageReturns(cp1252), utf16) << "both files hold the same French text";

    const std::pair<const char*, const char*> cjk[] = {{"text/ja-sjis.txt", "SHIFT_JIS"},
                                                       {"text/zh-gbk.txt", "GB18030"}};
    for (const auto& [file, charset] : cjk) {
        SCOPED_TRACE(file);
        std::string raw = ReadWholeFile(DataPath(file)), detected = raw;
        ASSERT_EQ(CharsetConv::ToUtf8(detected), RC_OK);
        EXPECT_EQ(detected, Converted(charset, "utf-8", raw));
        EXPECT_GT(detected.size(), raw.size());
    }
}

} // namespace

struct ReferenceCase {
    const char* written;
    const char* shown;
};

TEST(Charset, DecodeCharacterReferencesShowsTheCharacterOrKeepsTheText)
{
    const ReferenceCase cases[] = {
        {"Developer&#x27;s Reference Team", "Developer's Reference Team"},
        {"caf&#233; &#X2603;", "caf\xC3\xA9 \xE2\x98\x83"},
        {"&#x1F600;", "\xF0\x9F\x98\x80"},
        {"A &amp; B &lt;c&gt; &quot;d&quot; &apos;e&apos;", "A & B <c> \"d\" 'e'"},
        {"&amp;lt;", "&lt;"}, // one pass: escaped twice stays escaped once
        {"Simon & Schuster", "Simon & Schuster"},
        {"&#0; &#xD800; &#x110000; &#; &#x; &#12a; &nbsp; &copy;",
         "&#0; &#xD800; &#x110000; &#; &#x; &#12a; &nbsp; &copy;"},
        {"&#39", "&#39"},
        {"&#0000000039;", "&#0000000039;"}, // longer than any reference, left alone
        {"trailing &", "trailing &"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeCharacterReferences(c.written), c.shown) << c.written;
}

TEST(Charset, DecodeCharacterReferencesIsLinearInStrayAmpersands)
{
    std::string text(1 << 20, '&');
    EXPECT_EQ(DecodeCharacterReferences(text), text);
}
