// Real books converted in one process and spread over several give the same book: a page lost
// by a worker, or printed differently there, shows as a difference.
#include "base/Files.h"
#include "base/Zip.h"

#include "TestSupport.h"

#include <map>

namespace
{

// An EPUB's entries by name; a text file as one entry.
std::map<std::string, std::string> Contents(const std::string& path, bool isEpub)
{
    std::map<std::string, std::string> contents;
    if (!isEpub) {
        contents[""] = ReadWholeFile(path);
        return contents;
    }
    CZip zip;
    if (zip.Open(path, false, false) != RC_OK || zip.ReadDirectory() != RC_OK) return contents;
    for (const ZipEntry& entry : zip.m_Entries) {
        std::string data;
        EXPECT_EQ(zip.GetFileBuffer(entry.m_Name, data), RC_OK) << entry.m_Name;
        contents[entry.m_Name] = data;
    }
    return contents;
}

TEST(TarvoCmdWorkers, OneProcessAndSeveralWriteTheSameBook)
{
    struct WorkersCase {
        const char* book;
        const char* extension;
    };
    const WorkersCase cases[] = {
        {"epub/policy.epub", "epub"},      {"epub/policy.epub", "txt"},
        {"mobi/lm-ja-kf8.azw3", "epub"},   {"mobi/qs-eng-joint.mobi", "epub"},
        {"mobi/lm-ja-mobi6.mobi", "epub"},
    };
    for (const WorkersCase& c : cases) {
        SCOPED_TRACE(std::string(c.book) + " -> " + c.extension);
        ScratchDir scratch;
        std::map<std::string, std::string> written[2];
        const char* workers[2] = {"1", "3"};
        for (int i = 0; i < 2; ++i) {
            const std::string output = scratch / (std::string("out") + workers[i] + "." + c.extension);
            CommandRun run =
                RunProgramCapture("/usr/bin/env",
                                  {std::string("TARVO_WORKERS=") + workers[i], TARVO_CMD_PATH, "c",
                                   DataPath(c.book), output, scratch / ("job" + std::to_string(i))},
                                  scratch.Path());
            ASSERT_EQ(run.exitStatus, 0) << run.out;
            written[i] = Contents(output, std::string(c.extension) == "epub");
        }
        EXPECT_GT(written[0].size(), 0u);
        EXPECT_TRUE(written[0] == written[1]) << "the book differs with the pages spread over processes";
    }
}

} // namespace
