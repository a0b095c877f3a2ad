// `--facts` is what programs driving TarvoCmd code against: each list is checked against what the
// built program does with it, not against the tables it is made from.
#include "base/Platform.h"
#include "base/ResultCode.h"

#include "CatchErrors.h"
#include "TestSupport.h"

#include <filesystem>
#include <json/json.h>
#include <set>
#include <sstream>

namespace
{

Json::Value Facts()
{
    CommandRun run = RunTarvoCmd({"--facts"});
    EXPECT_EQ(run.exitStatus, 0);
    Json::Value facts;
    std::string errors;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(run.out.data(), run.out.data() + run.out.size(), &facts, &errors)) << errors;
    EXPECT_TRUE(facts.isObject()) << run.out;
    return facts;
}

std::vector<std::string> Strings(const Json::Value& list)
{
    std::vector<std::string> items;
    for (const Json::Value& item : list)
        items.push_back(item.asString());
    return items;
}

bool Has(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// Whether `c` refuses the pair for an extension it does not take, before any file is looked at;
// the input named is missing, so a pair it takes ends in "Input file is not existed!".
bool Refused(const std::string& input, const std::string& output, const char* done)
{
    ScratchDir scratch;
    std::string errors;
    CommandRun run = RunCatchingErrors({"c", input, output, scratch / "job"}, scratch, errors);
    const bool refused = errors.find(std::string("files cannot be ") + done) != std::string::npos;
    EXPECT_NE(run.out.find(refused ? "return 16777216\n" : "return 16777220\n"), std::string::npos)
        << run.out;
    return refused;
}

} // namespace

TEST(TarvoCmdFacts, OneLineAndNothingWrittenAnywhere)
{
    ScratchDir scratch;
    CommandRun run = RunTarvoCmd({"--facts"}, scratch.Path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_TRUE(std::filesystem::is_empty(scratch.Path())) << "no TempDirectory, no log";
    EXPECT_EQ(Facts()["version"].asString(), PRODUCT_VERSION);
}

// Every extension listed is taken on its side, and those the lists leave out are refused there.
TEST(TarvoCmdFacts, ExtensionListsAreWhatTheCommandLineTakes)
{
    const Json::Value facts = Facts();
    const std::vector<std::string> reads = Strings(facts["reads"]), writes = Strings(facts["writes"]);
    struct Case {
        std::string extension;
        bool read;
        bool written;
    };
    std::vector<Case> cases = {
        {"webp", false, false},
        {"docx", false, false},
        {"zip", false, false},
        {"EPUB", true, true}, // extensions are compared without case
    };
    for (const std::string& extension : reads)
        cases.push_back({extension, true, Has(writes, extension)});
    for (const std::string& extension : writes)
        cases.push_back({extension, Has(reads, extension), true});
    for (const std::string& extension : Strings(facts["refused"]))
        cases.push_back({extension, false, false});
    EXPECT_TRUE(std::is_sorted(reads.begin(), reads.end()) && std::is_sorted(writes.begin(), writes.end()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extension);
        EXPECT_EQ(Refused("missing." + c.extension, "out.epub", "read"), !c.read);
        EXPECT_EQ(Refused("missing.epub", "out." + c.extension, "written"), !c.written);
    }
    for (const char* unlisted : {"webp", "kobo", "tpz"})
        EXPECT_FALSE(Has(reads, unlisted) || Has(writes, unlisted)) << unlisted;
}

// The folder named for each output appears beside it, and no output not listed gets one.
TEST(TarvoCmdFacts, CompanionFolderIsWhereTheWritersPutTheBooksFiles)
{
    const Json::Value facts = Facts();
    const std::vector<std::string> withFolder = Strings(facts["companion_folder"]);
    for (const std::string& extension : Strings(facts["writes"])) {
        if (extension == "pdf") continue; // the renderer takes seconds; its output is one file
        SCOPED_TRACE(extension);
        ScratchDir scratch;
        CommandRun run = RunTarvoCmd(
            {"c", DataPath("epub/qs-eng.epub"), "out/book." + extension, scratch / "job"}, scratch.Path());
        ASSERT_NE(run.out.find("succeed\nreturn 0\n"), std::string::npos) << run.out;
        std::set<std::string> beside;
        for (const auto& entry : std::filesystem::directory_iterator(scratch / "out"))
            beside.insert(entry.path().filename().string());
        std::set<std::string> expected = {"book." + extension};
        if (Has(withFolder, extension)) {
            std::string folder = facts["companion_folder_name"][extension].asString();
            const size_t name = folder.find("{name}");
            ASSERT_NE(name, std::string::npos) << folder;
            expected.insert(folder.replace(name, 6, "book"));
        }
        EXPECT_EQ(beside, expected);
    }
}

// `g` on real books: a protected one ends with a code "drm" names and "notices" counts as done
// (as every notice is no error), and a cover's "coverimageext" is among "cover_types".
TEST(TarvoCmdFacts, WhatGetGivesOnRealBooksIsNamed)
{
    const Json::Value facts = Facts();
    for (const std::string& code : facts["notices"].getMemberNames())
        EXPECT_FALSE(IsError(static_cast<ResultCode>(std::stoul(code)))) << code;
    const std::vector<std::string> types = Strings(facts["cover_types"]);
    struct Case {
        const char* book;
        const char* scheme; // empty: none, the book succeeds
        const char* cover;
    };
    const Case cases[] = {
        {"mobi/bad-encryption2.mobi", "Kindle", ""},
        {"mobi/bad-topaz.azw1", "Topaz", ""},
        {"epub/qs-eng.epub", "", "jpg"},
        {"epub3/childrens-literature.epub", "", "png"},
        {"mobi/qs-eng-kf8.azw3", "", "jpg"},
        {"pdf/qs-eng-calibre.pdf", "", "jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.book);
        ScratchDir scratch;
        CommandRun run =
            RunTarvoCmd({"g", DataPath(c.book), scratch / "job", scratch / "m.json", scratch / "cover"});
        const size_t at = run.out.rfind("return ");
        ASSERT_NE(at, std::string::npos) << run.out;
        const std::string code = run.out.substr(at + 7, run.out.size() - at - 8);
        if (*c.scheme != '\0') {
            EXPECT_EQ(facts["drm"][code].asString(), c.scheme) << run.out;
            EXPECT_TRUE(StartsWith(run.out, facts["notices"][code].asString() + "\n")) << run.out;
            continue;
        }
        ASSERT_EQ(code, "0") << run.out;
        Json::Value metadata;
        std::istringstream(ReadWholeFile(scratch / "m.json")) >> metadata;
        const Json::Value& type = metadata["coverimageext"];
        EXPECT_EQ(type.isArray() ? type[0].asString() : type.asString(), c.cover);
        EXPECT_TRUE(FileExists(scratch / "cover") && Has(types, c.cover));
    }
}
