#include "cli/CommandLine.h"

#include "TestSupport.h"
#include "base/Platform.h"

#include <gtest/gtest.h>

namespace
{

using Args = std::vector<std::string>;

struct SetCase {
    const char* label;
    Args args; // from argv[0]
    MetaDataMap map;
    Args ignored = {};
};

TEST(CommandLine, SetOptionsScanning)
{
    const SetCase cases[] = {
        {"trailing option without value", {"T", "s", "b", "tmp", "-a", "A", "-t"}, {{"creator", {"A"}}}},
        {"repeated option keeps order",
         {"T", "s", "b", "tmp", "-a", "A", "-a", "B"},
         {{"creator", {"A", "B"}}}},
        {"unknown option and plain word skipped",
         {"T", "s", "b", "tmp", "-x", "foo", "-t", "T"},
         {{"title", {"T"}}},
         {"-x"}},
        {"empty value consumed, not stored",
         {"T", "s", "b", "tmp", "-t", "", "-p", "P"},
         {{"publisher", {"P"}}}},
        {"options are case-sensitive", {"T", "s", "b", "tmp", "-T", "x"}, {}, {"-T"}},
        {"misspelt option named, its value skipped",
         {"T", "s", "b", "tmp", "-title", "X", "-a", "A"},
         {{"creator", {"A"}}},
         {"-title"}},
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
         {{"title", {"-a"}}}},
    };
    for (const SetCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook metadata;
        Args ignored;
        ScanSetOptions(c.args, 4, metadata, ignored);
        EXPECT_EQ(metadata.m_MetaData, c.map);
        EXPECT_EQ(ignored, c.ignored);
    }
}

struct ConvertCase {
    const char* label;
    Args args;
    MetaDataMap in;
    MetaDataMap out;
    Args ignored = {};
};

TEST(CommandLine, ConvertOptionsScanning)
{
    const ConvertCase cases[] = {
        {"vertical and language",
         {"T", "c", "in.epub", "out.mobi", "tmp", "-setv", "-setl", "en"},
         {},
         {{"outparam_bookverticalmode", {"1"}}, {"outparam_epubsetlanguage", {"en"}}}},
        {"language without value", {"T", "c", "in.epub", "out.mobi", "tmp", "-setl"}, {}, {}},
        {"pdf options and notidy",
         {"T", "c", "a.pdf", "b.epub", "tmp", "-pdf2html", "-i -q", "-notidy", "-wk", "--dpi 300"},
         {{"inparam_notidy", {"1"}}, {"inparam_pdf2html", {"-i -q"}}},
         {{"outparam_wkhtmltopdf", {"--dpi 300"}}}},
        {"unknown option consumes nothing",
         {"T", "c", "a", "b", "tmp", "-zz", "-setv"},
         {},
         {{"outparam_bookverticalmode", {"1"}}},
         {"-zz"}},
        {"setv consumes no value",
         {"T", "c", "a", "b", "tmp", "-setv", "-setl", "fr"},
         {},
         {{"outparam_bookverticalmode", {"1"}}, {"outparam_epubsetlanguage", {"fr"}}}},
    };
    for (const ConvertCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook in, out;
        Args ignored;
        ScanConvertOptions(c.args, 5, in, out, ignored);
        EXPECT_EQ(in.m_MetaData, c.in);
        EXPECT_EQ(out.m_MetaData, c.out);
        EXPECT_EQ(ignored, c.ignored);
    }
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
