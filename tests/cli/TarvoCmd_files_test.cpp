// What `s` does to the file that holds the book, and that no name planted beside a run is written
// through: each case checks the printed code and that every file not meant to change is as it was.
#include "base/Platform.h"

#include "TestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char* const SUCCEED = "succeed\nreturn 0\n";
const char* const VICTIM_TEXT = "the victim's own bytes\n";

struct BookKind {
    const char* fixture;
    const char* name;
};
const BookKind kBooks[] = {{"epub/qs-eng.epub", "book.epub"}, {"mobi/qs-eng-kf8.azw3", "book.azw3"}};

mode_t ModeOf(const std::string& path)
{
    struct stat st {
    };
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool IsLink(const std::string& path)
{
    struct stat st {
    };
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string TitleOf(const ScratchDir& scratch, const std::string& book)
{
    RunTarvoCmd({"g", book, scratch / "read", "read.json", ""}, scratch.Path());
    std::string meta = ReadWholeFile(scratch / "read.json");
    size_t at = meta.find("\"title\":\"");
    if (at == std::string::npos) return "";
    at += 9;
    return meta.substr(at, meta.find('"', at) - at);
}

TEST(TarvoCmdFiles, SetKeepsTheModeAndEditsWhatALinkNames)
{
    for (const BookKind& book : kBooks) {
        SCOPED_TRACE(book.name);
        ScratchDir scratch;
        ASSERT_EQ(MakePath(scratch / "shelf/"), RC_OK);
        const std::string real = scratch / "shelf/" + book.name;
        ASSERT_EQ(WriteWholeFile(real, ReadWholeFile(DataPath(book.fixture))), RC_OK);
        ASSERT_EQ(::chmod(real.c_str(), 0600), 0);

        CommandRun direct = RunTarvoCmd({"s", real, scratch / "w1", "-t", "Direct"}, scratch.Path());
        EXPECT_EQ(direct.out, SUCCEED);
        EXPECT_EQ(ModeOf(real), 0600u) << "a private book stays private";
        EXPECT_EQ(TitleOf(scratch, real), "Direct");

        const std::string link = scratch / std::string("link-") + book.name;
        ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
        CommandRun linked = RunTarvoCmd({"s", link, scratch / "w2", "-t", "Through"}, scratch.Path());
        EXPECT_EQ(linked.out, SUCCEED);
        EXPECT_TRUE(IsLink(link)) << "the link stays a link";
        EXPECT_EQ(ModeOf(real), 0600u);
        EXPECT_EQ(TitleOf(scratch, real), "Through") << "the file the link names is the one edited";
    }
}

TEST(TarvoCmdFiles, BookItsUserMayNotWriteIsRefused)
{
    // Root may write any file, so as root the run is made as "nobody"; the folder lets anyone
    // write, so only the book's own permission can stop the rename.
    const bool root = ::geteuid() == 0;
    const char* const SETPRIV = "/usr/bin/setpriv";
    if (root && ::access(SETPRIV, X_OK) != 0) GTEST_SKIP() << "running as root without setpriv";
    // The writable row shows that the same run gets through when only the book's mode differs.
    const struct {
        mode_t mode;
        const char* expected;
    } modes[] = {{0444, "Open/Create file failed!\nreturn 33554433\n"}, {0666, SUCCEED}};
    for (const BookKind& book : kBooks) {
        for (const auto& m : modes) {
            SCOPED_TRACE(std::string(book.name) + (m.mode == 0444 ? ", read-only" : ", writable"));
            ScratchDir scratch;
            ASSERT_EQ(::chmod(scratch.Path().c_str(), 0777), 0);
            const std::string path = scratch / book.name;
            const std::string before = ReadWholeFile(DataPath(book.fixture));
            ASSERT_EQ(WriteWholeFile(path, before), RC_OK);
            ASSERT_EQ(::chmod(path.c_str(), m.mode), 0);

            std::vector<std::string> args = {"s", path, scratch / "w", "-t", "Never"};
            CommandRun run;
            if (root) {
                std::vector<std::string> dropped = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                    TARVO_CMD_PATH};
                dropped.insert(dropped.end(), args.begin(), args.end());
                run = RunProgramCapture(SETPRIV, dropped, scratch.Path());
            } else {
                run = RunTarvoCmd(args, scratch.Path());
            }
            EXPECT_EQ(run.out, m.expected);
            EXPECT_EQ(ModeOf(path), m.mode);
            if (m.mode == 0444) {
                EXPECT_EQ(run.exitStatus, 1);
                EXPECT_EQ(ReadWholeFile(path), before);
            }
        }
    }
}

struct PlantCase {
    const char* label;
    const char* plantedAt; // relative to the scratch folder; "%s" stands for the book's name
    const char* expected;  // the printed result
    bool linkStays;        // false where our own file takes the link's name
};

TEST(TarvoCmdFiles, PlantedLinksAreNeverWrittenThrough)
{
    const PlantCase cases[] = {
        // A link where the log goes is refused, not removed: someone put it there.
        {"run log", "marlek_log/job.txt", "Logger init failed!\nreturn 33619969\n", true},
        {"filed log", "marlek_log/OK/job.txt", SUCCEED, false},
        {"old backup name", "job/%s.bak", SUCCEED, true},
    };
    for (const BookKind& book : kBooks) {
        for (const PlantCase& c : cases) {
            SCOPED_TRACE(std::string(book.name) + ", " + c.label);
            ScratchDir scratch;
            ASSERT_EQ(WriteWholeFile(scratch / book.name, ReadWholeFile(DataPath(book.fixture))), RC_OK);
            const std::string victim = scratch / "victim.txt";
            ASSERT_EQ(WriteWholeFile(victim, VICTIM_TEXT), RC_OK);
            std::string planted = c.plantedAt;
            ReplaceAll(planted, "%s", book.name);
            planted = scratch / planted;
            ASSERT_EQ(MakePath(planted), RC_OK);
            ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);

            CommandRun run = RunTarvoCmd({"s", book.name, scratch / "job", "-t", "Planted"}, scratch.Path());
            EXPECT_EQ(run.out, c.expected);
            EXPECT_EQ(ReadWholeFile(victim), VICTIM_TEXT);
            EXPECT_EQ(IsLink(planted), c.linkStays);
        }
    }
}

} // namespace
