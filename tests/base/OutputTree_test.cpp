#include "base/OutputTree.h"

#include "FileSizeLimit.h"
#include "TestSupport.h"
#include "base/Files.h"
#include "base/Folders.h"

#include <filesystem>
#include <functional>
#include <map>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;

// Every name under a folder, hidden ones too, with what it holds: a file's bytes, "<dir>", or
// "-> target" for a link.
std::map<std::string, std::string> Snapshot(const std::string& folder)
{
    std::map<std::string, std::string> names;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
        const std::string name = fs::relative(it->path(), folder).string();
        if (it->is_symlink())
            names[name] = "-> " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            names[name] = "<dir>";
        else
            names[name] = ReadWholeFile(it->path().string());
    }
    return names;
}

// The previous output the cases start from: a page, its folder with a page that the new output
// does not have, and a neighbour that belongs to no output.
void WritePreviousOutput(const ScratchDir& scratch)
{
    MakePath(scratch / "out/out_files/old/");
    WriteWholeFile(scratch / "out/out.html", "old page");
    WriteWholeFile(scratch / "out/out_files/old/gone.html", "old file");
    WriteWholeFile(scratch / "out/neighbour.txt", "neighbour");
}

using Steps = std::function<ResultCode(COutputTree&)>;

ResultCode AddTwoAndCommit(COutputTree& tree)
{
    ResultCode rc = tree.Add("text/a.html", "new a");
    if (rc == RC_OK) rc = tree.Add("b.css", "new b");
    if (rc == RC_OK) rc = tree.SetMain("new page");
    return rc == RC_OK ? tree.Commit() : rc;
}

TEST(OutputTree, CommitReplacesThePreviousOutputWhole)
{
    ScratchDir scratch;
    WritePreviousOutput(scratch);
    COutputTree tree;
    ASSERT_EQ(tree.Begin(scratch / "out/out.html", "out_files", {}, nullptr), RC_OK);
    ASSERT_EQ(AddTwoAndCommit(tree), RC_OK);
    const std::map<std::string, std::string> expected = {
        {"out.html", "new page"},           {"out_files", "<dir>"},       {"out_files/text", "<dir>"},
        {"out_files/text/a.html", "new a"}, {"out_files/b.css", "new b"}, {"neighbour.txt", "neighbour"}};
    EXPECT_EQ(Snapshot(scratch / "out"), expected) << "no staging folder and nothing old is left";
}

TEST(OutputTree, AnOutputWithoutFilesTakesItsOldFolderAway)
{
    ScratchDir scratch;
    WritePreviousOutput(scratch);
    COutputTree tree;
    ASSERT_EQ(tree.Begin(scratch / "out/out.html", "out_files", {}, nullptr), RC_OK);
    ASSERT_EQ(tree.SetMain("only page"), RC_OK);
    ASSERT_EQ(tree.Commit(), RC_OK);
    const std::map<std::string, std::string> expected = {{"out.html", "only page"},
                                                         {"neighbour.txt", "neighbour"}};
    EXPECT_EQ(Snapshot(scratch / "out"), expected);
}

// Whatever goes wrong before the commit, the previous output stays byte for byte and the staging
// folder goes.
struct FailureCase {
    const char* label;
    Steps steps;
    ResultCode expected;
};

TEST(OutputTree, AFailureLeavesThePreviousOutputAsItWas)
{
    const FailureCase cases[] = {
        {"dropped without commit",
         [](COutputTree& tree) {
             tree.Add("a.html", "x");
             return tree.SetMain("page");
         },
         RC_OK},
        {"commit without a main file",
         [](COutputTree& tree) {
             tree.Add("a.html", "x");
             return tree.Commit();
         },
         RC_FILE_WRITE_FAILED},
        {"hidden name refused, commit too",
         [](COutputTree& tree) {
             EXPECT_EQ(tree.Add(".ssh/authorized_keys", "key"), RC_FILE_OPEN_FAILED);
             tree.SetMain("page");
             return tree.Commit();
         },
         RC_FILE_WRITE_FAILED},
        {"a name used as file and folder",
         [](COutputTree& tree) {
             tree.Add("a", "file");
             tree.Add("a/b", "below a file");
             tree.SetMain("page");
             return tree.Commit();
         },
         RC_FILE_WRITE_FAILED},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        WritePreviousOutput(scratch);
        const auto before = Snapshot(scratch / "out");
        {
            COutputTree tree;
            ASSERT_EQ(tree.Begin(scratch / "out/out.html", "out_files", {}, nullptr), RC_OK);
            EXPECT_EQ(c.steps(tree), c.expected);
        }
        EXPECT_EQ(Snapshot(scratch / "out"), before);
    }
}

TEST(OutputTree, AFullDiskMidWayLeavesThePreviousOutputAsItWas)
{
    ScratchDir scratch;
    WritePreviousOutput(scratch);
    const auto before = Snapshot(scratch / "out");
    const std::string big(64 * 1024, 'x');
    ResultCode rc = RunWithFileSizeLimit(16 * 1024, [&] {
        COutputTree tree;
        ResultCode result = tree.Begin(scratch / "out/out.html", "out_files", {}, nullptr);
        if (result == RC_OK) result = tree.Add("a.html", "small");
        if (result == RC_OK) result = tree.Add("big.html", big);
        // A failure fails every later call, the commit too.
        if (result != RC_OK && tree.SetMain("page") == RC_OK) result = RC_OK;
        return result != RC_OK ? result : tree.Commit();
    });
    EXPECT_EQ(rc, RC_FILE_WRITE_FAILED);
    EXPECT_EQ(Snapshot(scratch / "out"), before);
}

// Nothing in the way of the output is followed or destroyed: a link at the target is replaced, not
// written through; a folder at the target, or a file or link at the files folder, stops the run.
struct InTheWayCase {
    const char* label;
    std::function<void(const ScratchDir&)> setup;
    ResultCode expected;
};

TEST(OutputTree, WhatLiesInTheWayIsNeverFollowed)
{
    const InTheWayCase cases[] = {
        {"link at the target",
         [](const ScratchDir& s) {
             ASSERT_EQ(::symlink("../elsewhere/file", (s / "out/out.html").c_str()), 0);
         },
         RC_OK},
        {"folder at the target", [](const ScratchDir& s) { MakePath(s / "out/out.html/"); },
         RC_FILE_OPEN_FAILED},
        {"link at the files folder",
         [](const ScratchDir& s) { ASSERT_EQ(::symlink("../elsewhere", (s / "out/out_files").c_str()), 0); },
         RC_FILE_OPEN_FAILED},
        {"file at the files folder", [](const ScratchDir& s) { WriteWholeFile(s / "out/out_files", "mine"); },
         RC_FILE_OPEN_FAILED},
    };
    for (const InTheWayCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        MakePath(scratch / "out/");
        MakePath(scratch / "elsewhere/");
        WriteWholeFile(scratch / "elsewhere/file", "precious");
        c.setup(scratch);
        const auto before = Snapshot(scratch.Path());
        COutputTree tree;
        ResultCode rc = tree.Begin(scratch / "out/out.html", "out_files", {}, nullptr);
        if (rc == RC_OK) rc = AddTwoAndCommit(tree);
        EXPECT_EQ(rc, c.expected);
        EXPECT_EQ(ReadWholeFile(scratch / "elsewhere/file"), "precious");
        if (rc != RC_OK) {
            EXPECT_EQ(Snapshot(scratch.Path()), before);
        } else {
            EXPECT_FALSE(fs::is_symlink(scratch / "out/out.html"));
            EXPECT_EQ(ReadWholeFile(scratch / "out/out.html"), "new page");
        }
    }
}

// The input book is never replaced, by whatever name it is reached.
struct KeepCase {
    const char* label;
    const char* kept; // relative to the scratch folder
    ResultCode expected;
};

TEST(OutputTree, FilesOfTheInputAreNeverReplaced)
{
    const KeepCase cases[] = {
        {"the target itself", "out/out.html", RC_NOT_SUPPORT},
        {"the target through another name", "out/../out/./out.html", RC_NOT_SUPPORT},
        {"a file in the old files folder", "out/out_files/old/gone.html", RC_NOT_SUPPORT},
        {"a hard link in the old files folder", "book/chapter.html", RC_NOT_SUPPORT},
        {"a folder in the old files folder", "out/out_files/old", RC_NOT_SUPPORT},
        {"a file beside the output", "out/neighbour.txt", RC_OK},
        {"a missing file", "out/none.html", RC_OK},
    };
    for (const KeepCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        WritePreviousOutput(scratch);
        MakePath(scratch / "book/");
        WriteWholeFile(scratch / "book/chapter.html", "chapter");
        ASSERT_EQ(
            ::link((scratch / "book/chapter.html").c_str(), (scratch / "out/out_files/chapter.html").c_str()),
            0);
        const auto before = Snapshot(scratch.Path());
        COutputTree tree;
        ResultCode rc = tree.Begin(scratch / "out/out.html", "out_files", {scratch / c.kept}, nullptr);
        if (rc == RC_OK) rc = AddTwoAndCommit(tree);
        EXPECT_EQ(rc, c.expected);
        if (rc != RC_OK) {
            EXPECT_EQ(Snapshot(scratch.Path()), before);
        }
        EXPECT_EQ(ReadWholeFile(scratch / "book/chapter.html"), "chapter");
    }
}

TEST(OutputTree, TheFilesFolderIsNamedAfterTheOutput)
{
    const std::pair<const char*, const char*> cases[] = {
        {"out.html", "out_files"},      {"out.HTM", "out_files"}, {"my book.opf", "my book_opf_files"},
        {"a.b.JSON", "a.b_JSON_files"}, {"noext", "noext_files"}, {".hidden", ".hidden_files"},
    };
    for (const auto& [name, folder] : cases)
        EXPECT_EQ(FilesFolderName(name), folder) << name;
}

} // namespace
