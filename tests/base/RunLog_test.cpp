#include "base/RunLog.h"

#include "base/Platform.h"

#include "TestSupport.h"

#include <regex>

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
