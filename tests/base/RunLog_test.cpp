#include "base/RunLog.h"

#include "base/Files.h"
#include "base/Folders.h"
#include "base/Text.h"

#include "TestSupport.h"

#include <regex>
#include <unistd.h>

namespace
{

TEST(RunLog, FileLiesBesideTheTempDirectory)
{
    const char* forms[] = {"job17/", "job17\\", "job17"};
    for (const char* form : forms) {
        SCOPED_TRACE(form);
        ScratchDir scratch;
        CRunLog log;
        ASSERT_EQ(log.Init(scratch.Path() + form, "in.epub"), RC_OK);
        EXPECT_EQ(log.FilePath(), scratch / "marlek_log/job17.txt");
        EXPECT_TRUE(DirectoryExists(scratch / "marlek_log/OK"));
    }
}

// A bare name ("job17/") is a folder of the working directory; the command-line tests run that form.
TEST(RunLog, AFolderOfTheRootHasNoPlaceBesideIt)
{
    CRunLog log;
    EXPECT_EQ(log.Init("/job17/", "in.epub"), RC_LOG_INIT_FAILED);
    EXPECT_EQ(log.Write(LOG_INFO, "x"), RC_LOG_WRITE_FAILED) << "writing to a closed log fails quietly";
}

TEST(RunLog, HeaderLinesAndClosingLine)
{
    ScratchDir scratch;
    std::string path;
    {
        CRunLog log;
        ASSERT_EQ(log.Init(scratch / "job", "/books/in put.epub"), RC_OK);
        path = log.FilePath();
        TARVO_LOG(&log, LOG_INFO, "step %d", 1);
        TARVO_LOG(&log, LOG_WARNING, "%s", "Have Kindle DRM!");
        TARVO_LOG(&log, LOG_ERROR, "bad");
        log.Write(7, "odd\r\n");
        log.WriteElapsed();
    }
    std::string text = ReadWholeFile(path);
    const std::regex expected(
        "Tarvo      Version: 0\\.8\\.3   BuildNo: 563\r\n"
        "/books/in put\\.epub\r\n"
        "INFO:[ 0-9]{10}\\[tests/base/RunLog_test\\.cpp:\\d+\\]\\[\\S*TestBody\\] step 1\r\n"
        "Warning:[ 0-9]{10}\\[\\S+\\]\\[\\S+\\] Have Kindle DRM!\r\n"
        "ERROR:[ 0-9]{10}\\[\\S+\\]\\[\\S+\\] bad\r\n"
        "Unknown:[ 0-9]{10}odd\r\n"
        "Use time\\(ms\\): [ 0-9]{10}\r\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(RunLog, FileAsSuccessMovesIntoOk)
{
    ScratchDir scratch;
    CRunLog log;
    ASSERT_EQ(log.Init(scratch / "job", "in"), RC_OK);
    WriteWholeFile(scratch / "marlek_log/OK/job.txt", "an older run");
    ASSERT_EQ(log.FileAsSuccess(), RC_OK);
    EXPECT_FALSE(FileExists(scratch / "marlek_log/job.txt"));
    EXPECT_TRUE(StartsWith(ReadWholeFile(scratch / "marlek_log/OK/job.txt"), "Tarvo "));
}

struct StaleLogCase {
    const char* label;
    bool symbolic; // else a hard link, or, with no victim, a plain older log
    bool victim;
    ResultCode expected;
};

// What an earlier run, or someone else, left at the log's name is never written through.
TEST(RunLog, NameLeftAtTheLogIsNeverWrittenThrough)
{
    const StaleLogCase cases[] = {
        {"older log of the same job", false, false, RC_OK},
        {"hard link to another file", false, true, RC_OK},
        {"symbolic link to another file", true, true, RC_LOG_INIT_FAILED},
    };
    for (const StaleLogCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(MakePath(scratch / "marlek_log/"), RC_OK);
        const std::string victim = scratch / "victim.txt";
        const std::string at = scratch / "marlek_log/job.txt";
        ASSERT_EQ(WriteWholeFile(c.victim ? victim : at, "older bytes"), RC_OK);
        if (c.victim) {
            ASSERT_EQ((c.symbolic ? ::symlink : ::link)(victim.c_str(), at.c_str()), 0);
        }
        CRunLog log;
        EXPECT_EQ(log.Init(scratch / "job", "in"), c.expected);
        EXPECT_EQ(ReadWholeFile(c.victim ? victim : at).substr(0, 5), c.victim ? "older" : "Tarvo")
            << "another file keeps its bytes; an older log starts afresh";
        EXPECT_EQ(ReadWholeFile(at).substr(0, 5), c.expected == RC_OK ? "Tarvo" : "older");
    }
}

TEST(RunLog, FilingReplacesALinkInOkWithoutWritingThroughIt)
{
    ScratchDir scratch;
    CRunLog log;
    ASSERT_EQ(log.Init(scratch / "job", "in"), RC_OK);
    ASSERT_EQ(WriteWholeFile(scratch / "victim.txt", "victim"), RC_OK);
    ASSERT_EQ(::symlink((scratch / "victim.txt").c_str(), (scratch / "marlek_log/OK/job.txt").c_str()), 0);
    ASSERT_EQ(log.FileAsSuccess(), RC_OK);
    EXPECT_EQ(ReadWholeFile(scratch / "victim.txt"), "victim");
    EXPECT_TRUE(StartsWith(ReadWholeFile(scratch / "marlek_log/OK/job.txt"), "Tarvo "));
}

// Someone else may have made the log folders first: a link at marlek_log or marlek_log/OK would
// carry the log (and the removal of an older one) into any folder, so it is refused and left alone.
TEST(RunLog, LinksAtTheLogFoldersAreRefused)
{
    struct FolderLinkCase {
        const char* label;
        const char* link;   // below the scratch folder, to the folder "target"
        bool linkAfterInit; // the folder is swapped for the link between Init and filing
    };
    const FolderLinkCase cases[] = {
        {"marlek_log is a link", "marlek_log", false},
        {"marlek_log/OK is a link", "marlek_log/OK", false},
        {"OK swapped for a link after Init", "marlek_log/OK", true},
    };
    for (const FolderLinkCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(MakePath(scratch / "target/"), RC_OK);
        ASSERT_EQ(MakePath(scratch / "marlek_log/"), RC_OK);
        ASSERT_EQ(WriteWholeFile(scratch / "target/job.txt", "precious"), RC_OK);
        const std::string link = scratch / c.link;
        CRunLog log;
        if (c.linkAfterInit) {
            ASSERT_EQ(log.Init(scratch / "job", "in"), RC_OK);
            ASSERT_EQ(::rename(link.c_str(), (link + ".old").c_str()), 0);
        } else if (std::string(c.link) == "marlek_log") {
            ASSERT_EQ(::rmdir(link.c_str()), 0);
        }
        ASSERT_EQ(::symlink((scratch / "target").c_str(), link.c_str()), 0);
        if (c.linkAfterInit) {
            EXPECT_EQ(log.FileAsSuccess(), RC_OK);
            EXPECT_TRUE(FileExists(link + ".old/job.txt")) << "filed where OK was when the run began";
        } else {
            EXPECT_EQ(log.Init(scratch / "job", "in"), RC_LOG_INIT_FAILED);
        }
        EXPECT_EQ(ReadWholeFile(scratch / "target/job.txt"), "precious");
        EXPECT_TRUE(DirectoryExists(link)) << "the link stays";
    }
}

TEST(RunLog, LongNamesAreCutToTheLimit)
{
    ScratchDir scratch;
    CRunLog log;
    std::string parent = scratch / "p/";
    MakePath(parent);
    std::string logDirectory = parent + "marlek_log/";
    MakePath(logDirectory);
    ASSERT_EQ(log.Init(parent + std::string(240, 'n'), "in"), RC_OK);
    EXPECT_EQ(log.FilePath().size(), 250u);
    EXPECT_TRUE(EndsWith(log.FilePath(), ".txt"));
    EXPECT_TRUE(FileExists(log.FilePath()));

    CRunLog deep;
    std::string deepParent = parent + std::string(120, 'd') + "/" + std::string(120, 'e') + "/";
    MakePath(deepParent);
    EXPECT_EQ(deep.Init(deepParent + "job", "in"), RC_LOG_INIT_FAILED) << "a log folder of 246+ characters";
}

TEST(RunLog, FunctionNamesKeepTheirClass)
{
    EXPECT_EQ(LogFunctionName("ResultCode CHtmlParse::Init(const string&, bool, bool)"), "CHtmlParse::Init");
    EXPECT_EQ(LogFunctionName("ResultCode convertOrg(std::string)"), "convertOrg");
    EXPECT_EQ(LogFunctionName("const char* Foo::Bar() const"), "Foo::Bar");
    EXPECT_EQ(LogFunctionName("convertOrg"), "convertOrg");
}

} // namespace
