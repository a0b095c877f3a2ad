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

TEST(TarvoCmdFacts, OneObjectWithNothingWrittenAnywhere)
{
    ScratchDir scratch;
    CommandRun run = RunTarvoCmd({"--facts"}, scratch.Path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_TRUE(std::filesystem::is_empty(scratch.Path())) << "no TempDirectory, no log";
    const Json::Value facts = Facts();
    EXPECT_EQ(facts["version"].asString(), PRODUCT_VERSION);
    for (const char* key : {"reads", "writes", "companion_folder", "refused", "cover_types"}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(facts[key].isArray());
        EXPECT_FALSE(facts[key].empty());
    }
    for (const char* key : {"reads", "writes", "companion_folder", "refused"}) {
        const std::vector<std::string> list = Strings(facts[key]);
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end())) << key;
    }
    for (const char* key : {"notices", "drm", "companion_folder_name"})
        EXPECT_TRUE(facts[key].isObject()) << key;
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

// Every DRM code is a notice (the run counts as done), and the books of tests/data that carry a
// protection end with a code the facts name.
TEST(TarvoCmdFacts, DrmCodesAreNoticesAndNameWhatBooksCarry)
{
    const Json::Value facts = Facts();
    const Json::Value& notices = facts["notices"];
    for (const std::string& code : notices.getMemberNames()) {
        SCOPED_TRACE(code);
        EXPECT_FALSE(IsError(static_cast<ResultCode>(std::stoul(code))));
        EXPECT_FALSE(notices[code].asString().empty());
    }
    for (const std::string& code : facts["drm"].getMemberNames())
        EXPECT_TRUE(notices.isMember(code)) << code;
    EXPECT_TRUE(notices.isMember(std::to_string(RC_AZW4_UNPACKED)));
    EXPECT_FALSE(facts["drm"].isMember(std::to_string(RC_AZW4_UNPACKED)));

    struct Case {
        const char* book;
        const char* scheme;
    };
    const Case cases[] = {{"mobi/bad-encryption2.mobi", "Kindle"}, {"mobi/bad-topaz.azw1", "Topaz"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.book);
        ScratchDir scratch;
        CommandRun run =
            RunTarvoCmd({"g", DataPath(c.book), scratch / "job", scratch / "m.json", scratch / "c.jpg"});
        const size_t at = run.out.rfind("return ");
        ASSERT_NE(at, std::string::npos) << run.out;
        const std::string code = run.out.substr(at + 7, run.out.size() - at - 8);
        EXPECT_EQ(facts["drm"][code].asString(), c.scheme) << run.out;
        EXPECT_NE(run.out.find(notices[code].asString() + "\nreturn " + code + "\n"), std::string::npos)
            << run.out;
    }
}

// What `g` gives as "coverimageext" for the covers of real books is among the cover types.
TEST(TarvoCmdFacts, CoverTypesHoldWhatGetGives)
{
    const std::vector<std::string> types = Strings(Facts()["cover_types"]);
    struct Case {
        const char* book;
        const char* type;
    };
    const Case cases[] = {
        {"epub/qs-eng.epub", "jpg"},       {"epub3/childrens-literature.epub", "png"},
        {"mobi/qs-eng-kf8.azw3", "jpg"},   {"mobi/qs-eng-mobi6.mobi", "jpg"},
        {"pdf/qs-eng-calibre.pdf", "jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.book);
        ScratchDir scratch;
        CommandRun run =
            RunTarvoCmd({"g", DataPath(c.book), scratch / "job", scratch / "m.json", scratch / "cover"});
        ASSERT_NE(run.out.find("succeed"), std::string::npos) << run.out;
        Json::Value metadata;
        std::istringstream(ReadWholeFile(scratch / "m.json")) >> metadata;
        const Json::Value& type = metadata["coverimageext"];
        EXPECT_EQ(type.isArray() ? type[0].asString() : type.asString(), c.type);
        EXPECT_TRUE(FileExists(scratch / "cover"));
        EXPECT_TRUE(Has(types, c.type));
    }
}

namespace
{

uint32_t BigEndianAt(const std::string& bytes, size_t at)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void PutBigEndian(std::string& bytes, size_t at, uint32_t value, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * (size - 1 - i)));
}

// A print replica made of a real MOBI: its text becomes one uncompressed record holding the PDF.
std::string PrintReplicaOf(const std::string& mobi, const std::string& pdf)
{
    const size_t count = static_cast<size_t>(BigEndianAt(mobi, 74) & 0xFFFF);
    std::vector<std::string> records;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t start = BigEndianAt(mobi, 78 + 8 * i);
        const uint32_t end = i + 1 < count ? BigEndianAt(mobi, 78 + 8 * (i + 1)) : mobi.size();
        records.push_back(mobi.substr(start, end - start));
    }
    PutBigEndian(records[0], 0, 1, 2); // no compression
    PutBigEndian(records[0], 4, static_cast<uint32_t>(20 + pdf.size()), 4);
    PutBigEndian(records[0], 8, 1, 2);    // one text record
    PutBigEndian(records[0], 0xF2, 0, 2); // no trailing entries
    std::string text = "%MOP" + std::string(16, '\0') + pdf;
    PutBigEndian(text, 4, 1, 4);
    PutBigEndian(text, 12, 20, 4);
    PutBigEndian(text, 16, static_cast<uint32_t>(pdf.size()), 4);
    records[1] = text;
    std::string file = mobi.substr(0, 78 + 8 * count + 2);
    size_t at = file.size();
    for (size_t i = 0; i < count; ++i) {
        PutBigEndian(file, 78 + 8 * i, static_cast<uint32_t>(at), 4);
        at += records[i].size();
    }
    for (const std::string& record : records)
        file += record;
    return file;
}

} // namespace

// An AZW4 ends with a notice that is no DRM: the PDF it holds is left in the TempDirectory as
// content.pdf, and no output is written, whatever its format.
TEST(TarvoCmdFacts, PrintReplicaEndsWithItsNoticeAndThePdfInTheTempDirectory)
{
    const Json::Value facts = Facts();
    const std::string code = std::to_string(RC_AZW4_UNPACKED);
    ASSERT_TRUE(facts["notices"].isMember(code));
    ASSERT_FALSE(facts["drm"].isMember(code));
    const std::string pdf = ReadWholeFile(DataPath("pdf/qs-eng-calibre.pdf"));
    ScratchDir scratch;
    WriteWholeFile(scratch / "book.azw4",
                   PrintReplicaOf(ReadWholeFile(DataPath("mobi/qs-eng-mobi6.mobi")), pdf));
    for (const char* output : {"out.pdf", "out.epub"}) {
        SCOPED_TRACE(output);
        const std::string job = scratch / (std::string("job-") + output);
        CommandRun run = RunTarvoCmd({"c", "book.azw4", output, job}, scratch.Path());
        EXPECT_NE(run.out.find(facts["notices"][code].asString() + "\nreturn " + code + "\n"),
                  std::string::npos)
            << run.out;
        EXPECT_EQ(ReadWholeFile(job + "/content.pdf"), pdf);
        EXPECT_FALSE(FileExists(scratch / output));
    }
}
