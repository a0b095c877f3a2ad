#include "cli/CommandLine.h"

#include "TestSupport.h"
#include "base/Files.h"
#include "base/Folders.h"

#include <gtest/gtest.h>

namespace
{

using Args = std::vector<std::string>;

// What a scan reports besides the stored values.
struct Reported {
    Args ignoredOptions = {};
    Args ignoredWords = {};
    Args valueless = {};
    const char* usageError = ""; // found in the scan's usage error; "" for none at all
};

void ExpectReported(const OptionScan& scan, const Reported& expected)
{
    EXPECT_EQ(scan.ignoredOptions, expected.ignoredOptions);
    EXPECT_EQ(scan.ignoredWords, expected.ignoredWords);
    EXPECT_EQ(scan.valuelessOptions, expected.valueless);
    if (*expected.usageError == '\0')
        EXPECT_EQ(scan.usageError, "");
    else
        EXPECT_NE(scan.usageError.find(expected.usageError), std::string::npos) << scan.usageError;
}

struct SetCase {
    const char* label;
    Args args; // from argv[0]
    MetaDataMap map;
    Reported reported = {};
};

TEST(CommandLine, SetOptionsScanning)
{
    const SetCase cases[] = {
        {"trailing option without value is named, the rest still set",
         {"T", "s", "b", "tmp", "-a", "A", "-t"},
         {{"creator", {"A"}}},
         {{}, {}, {"-t"}}},
        {"repeated option keeps order",
         {"T", "s", "b", "tmp", "-a", "A", "-a", "B"},
         {{"creator", {"A", "B"}}}},
        {"unknown option and plain word skipped, both named",
         {"T", "s", "b", "tmp", "-x", "foo", "-t", "T"},
         {{"title", {"T"}}},
         {{"-x"}, {"foo"}}},
        {"empty value consumed, not stored",
         {"T", "s", "b", "tmp", "-t", "", "-p", "P"},
         {{"publisher", {"P"}}}},
        {"options are case-sensitive", {"T", "s", "b", "tmp", "-T", "x"}, {}, {{"-T"}, {"x"}}},
        {"misspelt option named, its value too",
         {"T", "s", "b", "tmp", "-title", "X", "-a", "A"},
         {{"creator", {"A"}}},
         {{"-title"}, {"X"}}},
        {"every key",
         {"T", "s", "b", "tmp", "-l", "fr", "-d", "2001", "-isbn", "9", "-asin", "B0", "-desc", "D", "-cover",
          "c.jpg"},
         {{"language", {"fr"}},
          {"date_publication", {"2001"}},
          {"identifier_ISBN", {"9"}},
          {"identifier_ASIN", {"B0"}},
          {"description", {"D"}},
          {"coverimage", {"c.jpg"}}}},
        {"value that looks like an option is still a value",
         {"T", "s", "b", "tmp", "-t", "-a", "x"},
         {{"title", {"-a"}}},
         {{}, {"x"}}},
        {"language that is no tag",
         {"T", "s", "b", "tmp", "-t", "T", "-l", "English"},
         {{"title", {"T"}}},
         {{}, {}, {}, "-l English: not a language tag"}},
        {"empty language stores nothing", {"T", "s", "b", "tmp", "-l", "", "-t", "T"}, {{"title", {"T"}}}},
        {"language with region", {"T", "s", "b", "tmp", "-l", "pt-BR"}, {{"language", {"pt-BR"}}}},
    };
    for (const SetCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook metadata;
        OptionScan scan;
        ScanSetOptions(c.args, 4, metadata, scan);
        EXPECT_EQ(metadata.m_MetaData, c.map);
        ExpectReported(scan, c.reported);
    }
}

struct ConvertCase {
    const char* label;
    Args args;
    MetaDataMap in;
    MetaDataMap out;
    Reported reported = {};
};

TEST(CommandLine, ConvertOptionsScanning)
{
    const char* const NO_TAG = "not a language tag (two or three letters";
    const ConvertCase cases[] = {
        {"vertical and language",
         {"T", "c", "in.epub", "out.mobi", "tmp", "-setv", "-setl", "en"},
         {},
         {{"outparam_bookverticalmode", {"1"}}, {"outparam_epubsetlanguage", {"en"}}}},
        {"language without value",
         {"T", "c", "in.epub", "out.mobi", "tmp", "-setl"},
         {},
         {},
         {{}, {}, {}, "-setl needs a value"}},
        {"empty language",
         {"T", "c", "a", "b", "tmp", "-setl", ""},
         {},
         {},
         {{}, {}, {}, "-setl \"\": not a"}},
        {"language as a word", {"T", "c", "a", "b", "tmp", "-setl", "english"}, {}, {}, {{}, {}, {}, NO_TAG}},
        {"underscore for hyphen",
         {"T", "c", "a", "b", "tmp", "-setl", "en_US"},
         {},
         {},
         {{}, {}, {}, NO_TAG}},
        {"next option taken as the language",
         {"T", "c", "a", "b", "tmp", "-setl", "-setv"},
         {},
         {},
         {{}, {}, {}, "-setl -setv: not"}},
        {"pdf options and notidy",
         {"T", "c", "a.pdf", "b.epub", "tmp", "-pdf2html", "-i -q", "-notidy", "-wk", "--dpi 300"},
         {{"inparam_notidy", {"1"}}, {"inparam_pdf2html", {"-i -q"}}},
         {{"outparam_wkhtmltopdf", {"--dpi 300"}}}},
        {"empty renderer options store nothing",
         {"T", "c", "a", "b", "tmp", "-wk", "", "-setv"},
         {},
         {{"outparam_bookverticalmode", {"1"}}}},
        {"renderer options cut short",
         {"T", "c", "a", "b", "tmp", "-setv", "-wk"},
         {},
         {{"outparam_bookverticalmode", {"1"}}},
         {{}, {}, {}, "-wk needs a value"}},
        {"unknown option consumes nothing",
         {"T", "c", "a", "b", "tmp", "-zz", "-setv"},
         {},
         {{"outparam_bookverticalmode", {"1"}}},
         {{"-zz"}}},
        {"setv consumes no value",
         {"T", "c", "a", "b", "tmp", "-setv", "-setl", "fr"},
         {},
         {{"outparam_bookverticalmode", {"1"}}, {"outparam_epubsetlanguage", {"fr"}}}},
        {"stray words named",
         {"T", "c", "a", "b", "tmp", "extra", "-setv", "more"},
         {},
         {{"outparam_bookverticalmode", {"1"}}},
         {{}, {"extra", "more"}}},
    };
    for (const ConvertCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook in, out;
        OptionScan scan;
        ScanConvertOptions(c.args, 5, in, out, scan);
        EXPECT_EQ(in.m_MetaData, c.in);
        EXPECT_EQ(out.m_MetaData, c.out);
        ExpectReported(scan, c.reported);
    }
}

TEST(CommandLine, LanguageTagShape)
{
    const std::pair<const char*, bool> cases[] = {
        {"en", true},         {"fra", true},           {"pt-BR", true},
        {"zh-Hant-TW", true}, {"de-CH-1996", true},    {"en-x-mine", true},
        {"es-419", true},     {"EN-gb", true},         {"", false},
        {"e", false},         {"engl", false},         {"english", false},
        {"en_US", false},     {"en-", false},          {"-en", false},
        {"en--US", false},    {"en-abcdefghi", false}, {"e1", false},
        {"en US", false},     {"fr\xC3\xA9", false},
    };
    for (const auto& [text, isTag] : cases)
        EXPECT_EQ(IsLanguageTag(text), isTag) << text;
}

// `s` with nothing it knows to set is a malformed command line, not a rewrite of the book that
// changes nothing and reports success.
TEST(CommandLine, SetWithNothingToSetIsAUsageErrorAndLeavesTheBook)
{
    const Args options[] = {
        {"-title", "X"}, {"-T", "x", "-foo"}, {"-t", ""}, {"-a"}, {"X", "Y"},
    };
    for (const Args& extra : options) {
        SCOPED_TRACE(extra.front());
        ScratchDir scratch;
        ASSERT_EQ(WriteWholeFile(scratch / "book.epub", "the book's bytes"), RC_OK);
        Args args = {"T", "s", scratch / "book.epub", scratch / "tmp"};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(RunCommandLine(args), RC_USAGE);
        EXPECT_EQ(ReadWholeFile(scratch / "book.epub"), "the book's bytes");
        EXPECT_FALSE(DirectoryExists(scratch / "tmp")) << "no run started";
    }
}

TEST(CommandLine, ExitStatusNeverReadsAsSuccessForAFailure)
{
    const std::pair<ResultCode, int> cases[] = {
        {RC_OK, 0},    {RC_INPUT_MISSING, 4}, {RC_NOT_SUPPORT, 255},
        {RC_USAGE, 1}, {RC_DRM_TOPAZ, 6},     {0x100, 255},
    };
    for (const auto& [rc, status] : cases)
        EXPECT_EQ(ExitStatusOf(rc), status) << std::hex << rc;
}

} // namespace
