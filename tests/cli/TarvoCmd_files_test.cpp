// What `s` does to the file that holds the book, and that no name planted beside a run is written
// through: each case checks the printed code and that every file not meant to change is as it was.
#include "base/Files.h"
#include "base/Folders.h"
#include "base/Text.h"

#include "CatchErrors.h"
#include "TestSupport.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
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

std::string LogOf(const ScratchDir& scratch, const std::string& job)
{
    return ReadWholeFile(scratch / "marlek_log/" + job + ".txt") +
           ReadWholeFile(scratch / "marlek_log/OK/" + job + ".txt");
}

// The usage ends with the formats written.
const char* const USAGE_END = "(a name without extension is written as EPUB)\n";
const char* const REFUSED = "Not Support!\nreturn 16777216\n";
const char* const NOT_AN_INPUT = "Input file is not existed!\nreturn 16777220\n";
const char* const BUSY = "Get Directory failed!\nreturn 33554946\n";
const char* const NOT_JSON = "MetaData Get JSON failed!\nreturn 16777219\n";

struct GuardCase {
    const char* label;
    std::vector<std::string> args; // run in the scratch folder, TempDirectory "job"
    const char* resultEnd;         // how standard output ends
    int exitStatus;
    const char* errorsHave = nullptr; // in standard error
    const char* logHas = nullptr;     // in the run log
    bool writes = false;              // the run is meant to succeed and write the book or the output
    bool jobLocked = false;           // another run holds the TempDirectory
};

// Arguments that must be refused before anything is written: each row checks the code, the exit
// status, what standard error says, and that the books, the text and a previous output are as
// they were.
TEST(TarvoCmdFiles, RefusedArgumentsLeaveEveryFileAsItWas)
{
    const std::string longTitle(65522, 'x');
    const GuardCase cases[] = {
        {"output is the input",
         {"c", "in.txt", "in.txt", "job"},
         REFUSED,
         255,
         "is the input file",
         "is the input file"},
        {"output through ./", {"c", "in.txt", "./in.txt", "job"}, REFUSED, 255, "is the input file"},
        {"output through ../", {"c", "in.txt", "sub/../in.txt", "job"}, REFUSED, 255, "is the input file"},
        {"output is a symbolic link to the input", {"c", "in.txt", "soft.txt", "job"}, REFUSED, 255, nullptr},
        {"output is a hard link to the input", {"c", "in.txt", "hard.txt", "job"}, REFUSED, 255, nullptr},
        {"metadata file of g is the book",
         {"g", "book.epub", "job", "book.epub", ""},
         REFUSED,
         255,
         "is the input file"},
        {"cover of g is the book",
         {"g", "book.azw3", "job", "meta.json", "book.azw3"},
         REFUSED,
         255,
         nullptr},
        {"device as input", {"c", "/dev/zero", "out.txt", "job"}, NOT_AN_INPUT, 4, nullptr},
        {"FIFO as input", {"c", "fifo.txt", "out.txt", "job"}, NOT_AN_INPUT, 4, nullptr},
        {"FIFO as book of s", {"s", "fifo.epub", "job", "-t", "T"}, NOT_AN_INPUT, 4, nullptr},
        {"device as book of g",
         {"g", "/dev/zero", "job", "meta.json", "cover.jpg"},
         NOT_AN_INPUT,
         4,
         nullptr},
        {"device as cover",
         {"s", "book.epub", "job", "-cover", "/dev/zero"},
         NOT_AN_INPUT,
         4,
         "cover /dev/zero is missing",
         "cover /dev/zero"},
        {"FIFO as cover", {"s", "book.azw3", "job", "-cover", "fifo.txt"}, NOT_AN_INPUT, 4, "cover fifo.txt"},
        {"folder as cover",
         {"s", "book.epub", "job", "-cover", "folder.txt"},
         NOT_AN_INPUT,
         4,
         "cover folder.txt"},
        {"missing cover", {"s", "book.azw3", "job", "-cover", "none.jpg"}, NOT_AN_INPUT, 4, "cover none.jpg"},
        {"cover that is no image",
         {"s", "book.epub", "job", "-cover", "text.jpg"},
         REFUSED,
         255,
         "not a JPEG",
         "not a JPEG"},
        {"cover that is no image, Kindle book",
         {"s", "book.azw3", "job", "-cover", "text.jpg"},
         REFUSED,
         255,
         nullptr},
        {"an image cover is taken",
         {"s", "book.epub", "job", "-cover", "cover.jpg"},
         SUCCEED,
         0,
         nullptr,
         nullptr,
         true},
        {"device as metadata file",
         {"s", "book.epub", "job", "/dev/zero"},
         USAGE_END,
         1,
         "metadata file /dev/zero"},
        {"FIFO as metadata file", {"s", "book.epub", "job", "fifo.txt"}, USAGE_END, 1, "not a plain file"},
        {"metadata file that is not JSON",
         {"s", "book.epub", "job", "bad.json"},
         NOT_JSON,
         3,
         "not JSON",
         "not JSON"},
        {"metadata file that is not JSON, Kindle book",
         {"s", "book.azw3", "job", "bad.json"},
         NOT_JSON,
         3,
         nullptr},
        {"value too long to read back",
         {"s", "book.epub", "job", "-t", longTitle},
         NOT_JSON,
         3,
         "value of title (65522 bytes)",
         "value of title"},
        {"value too long, Kindle book",
         {"s", "book.azw3", "job", "-a", longTitle},
         NOT_JSON,
         3,
         "value of creator"},
        {"unknown option of s",
         {"s", "book.epub", "job", "-title", "X", "-a", "A"},
         SUCCEED,
         0,
         "unknown option -title ignored",
         "unknown option -title ignored",
         true},
        {"unknown option of c",
         {"c", "in.txt", "out.txt", "job", "-zz"},
         SUCCEED,
         0,
         "unknown option -zz ignored",
         "unknown option -zz ignored",
         true},
        {"output folder cannot be made",
         {"c", "in.txt", "in.txt/x/out.txt", "job"},
         "Make Directory failed!\nreturn 33554945\n",
         1,
         "folder of output in.txt/x/out.txt",
         "folder of output in.txt/x/out.txt"},
        {"output cannot be placed",
         {"c", "in.txt", "folder.txt", "job"},
         "Open/Create file failed!\nreturn 33554433\n",
         1,
         "output folder.txt not written",
         "output folder.txt not written"},
        {"TempDirectory busy for c",
         {"c", "in.txt", "out.txt", "job"},
         BUSY,
         2,
         "job/ is in use by another run",
         nullptr,
         false,
         true},
        {"TempDirectory busy for s",
         {"s", "book.epub", "job", "-t", "T"},
         BUSY,
         2,
         "in use",
         nullptr,
         false,
         true},
        {"TempDirectory busy for g, through a link",
         {"g", "book.azw3", "job-link", "meta.json", "cover.jpg"},
         BUSY,
         2,
         "in use",
         nullptr,
         false,
         true},
    };
    const std::string epub = ReadWholeFile(DataPath("epub/qs-eng.epub"));
    const std::string azw3 = ReadWholeFile(DataPath("mobi/qs-eng-kf8.azw3"));
    const std::string text = ReadWholeFile(DataPath("text/en-utf8.txt"));
    const std::string previous = "the previous output\n";
    for (const GuardCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(WriteWholeFile(scratch / "book.epub", epub), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "book.azw3", azw3), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "in.txt", text), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "out.txt", previous), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "cover.jpg", ReadWholeFile(DataPath("mobi/qs-eng-cover.jpg"))),
                  RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "text.jpg", "plain words, no picture at all\n"), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "bad.json", "{\"title\": \"unclosed"), RC_OK);
        ASSERT_EQ(MakePath(scratch / "sub/"), RC_OK);
        ASSERT_EQ(MakePath(scratch / "folder.txt/"), RC_OK);
        ASSERT_EQ(MakePath(scratch / "job/"), RC_OK);
        ASSERT_EQ(::symlink("in.txt", (scratch / "soft.txt").c_str()), 0);
        ASSERT_EQ(::symlink("job", (scratch / "job-link").c_str()), 0);
        ASSERT_EQ(::link((scratch / "in.txt").c_str(), (scratch / "hard.txt").c_str()), 0);
        ASSERT_EQ(::mkfifo((scratch / "fifo.txt").c_str(), 0600), 0);
        ASSERT_EQ(::mkfifo((scratch / "fifo.epub").c_str(), 0600), 0);
        CDirectoryLock otherRun;
        if (c.jobLocked) {
            ASSERT_EQ(otherRun.Acquire(scratch / "job"), LockOutcome::Held);
        }

        std::string errors;
        CommandRun run = RunCatchingErrors(c.args, scratch, errors);
        EXPECT_TRUE(EndsWith(run.out, c.resultEnd)) << run.out.substr(0, 2000);
        EXPECT_EQ(run.exitStatus, c.exitStatus);
        // An empty text is found anywhere.
        EXPECT_NE(errors.find(c.errorsHave ? c.errorsHave : ""), std::string::npos) << errors;
        EXPECT_NE(LogOf(scratch, "job").find(c.logHas ? c.logHas : ""), std::string::npos);
        EXPECT_TRUE(ReadWholeFile(scratch / "in.txt") == text);
        EXPECT_TRUE(IsLink(scratch / "soft.txt"));
        if (!c.writes) {
            EXPECT_TRUE(ReadWholeFile(scratch / "out.txt") == previous);
            EXPECT_TRUE(ReadWholeFile(scratch / "book.epub") == epub);
            EXPECT_TRUE(ReadWholeFile(scratch / "book.azw3") == azw3);
        }
        if (c.jobLocked) {
            EXPECT_EQ(LogOf(scratch, "job"), "") << "the running job's log is not touched";
            EXPECT_TRUE(std::filesystem::is_empty(scratch / "job"));
        }
    }
}

} // namespace
