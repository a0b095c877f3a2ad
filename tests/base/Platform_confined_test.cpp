#include "base/Files.h"
#include "base/Folders.h"
#include "base/ForkPool.h"
#include "base/Platform_confined.h"

#include "TestSupport.h"

#include <algorithm>
#include <dirent.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::vector<std::string> FolderNames(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names.push_back(entry->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Every test runs with openat2 and again with the walk that stands in for it on older kernels.
class ConfinedFolder : public ::testing::TestWithParam<bool>
{
  protected:
    void SetUp() override { UseConfinedWalkOnly(GetParam()); }
    void TearDown() override { UseConfinedWalkOnly(false); }
};

INSTANTIATE_TEST_SUITE_P(Resolution, ConfinedFolder, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "Walk" : "Openat2";
                         });

// A scratch folder holding "root" (to be confined, with a real folder "text" in it) and "outside"
// (with the file "victim" that a link below the root may point at).
struct Layout {
    ScratchDir scratch;
    std::string root = scratch / "root/";
    std::string outside = scratch / "outside/";
    Layout()
    {
        MakePath(root + "text/");
        MakePath(outside);
        WriteWholeFile(outside + "victim", "victim");
    }
};

struct Placement {
    const char* label;
    const char* link;   // made below the root; null for none
    const char* target; // what it names in the outside folder ("" for the folder itself)
    const char* path;   // what the run reaches below the root
};

const Placement kPlacements[] = {
    {"file link as the last component", "content.opf", "victim", "content.opf"},
    {"link to nothing as the last component", "cover.jpg", "new.jpg", "cover.jpg"},
    {"folder link in the middle", "images", "", "images/victim"},
    {"folder link deeper down", "text/images", "", "text/images/victim"},
    {"relative link that climbs out", "text/up", "", "text/up/victim"},
    {"\"..\" that climbs out", nullptr, nullptr, "text/../../outside/victim"},
};

struct Operation {
    const char* label;
    std::function<bool(const std::string& path, const std::string& elsewhere)> succeeds;
};

const Operation kOperations[] = {
    {"WriteWholeFile",
     [](const std::string& p, const std::string&) { return WriteWholeFile(p, "new") == RC_OK; }},
    {"CFile for writing",
     [](const std::string& p, const std::string&) {
         CFile file;
         return file.Open(p, true, true) == RC_OK && file.Write("new", 3) == RC_OK;
     }},
    {"CFile for reading",
     [](const std::string& p, const std::string&) {
         CFile file;
         return file.Open(p, false, false) == RC_OK;
     }},
    {"ReadFileBytes",
     [](const std::string& p, const std::string&) {
         std::string bytes;
         return ReadFileBytes(p, bytes);
     }},
    {"WriteOutputFile",
     [](const std::string& p, const std::string&) { return WriteOutputFile(p, "new") == RC_OK; }},
    {"CopyFile into", [](const std::string& p, const std::string& e) { return CopyFile(e, p) == RC_OK; }},
    {"MakePath below",
     [](const std::string& p, const std::string&) { return MakePath(p + "/sub/") == RC_OK; }},
    {"MoveFile out of", [](const std::string& p, const std::string& e) { return MoveFile(p, e) == RC_OK; }},
};

// Whatever the operation, a link below the confined folder is refused and counted; the victim
// keeps its bytes and nothing appears outside.
TEST_P(ConfinedFolder, LinksBelowTheFolderAreRefusedNeverFollowed)
{
    for (const Placement& place : kPlacements) {
        for (const Operation& op : kOperations) {
            SCOPED_TRACE(std::string(place.label) + ", " + op.label);
            Layout layout;
            if (place.link != nullptr) {
                std::string target = layout.outside + place.target;
                if (std::string(place.label).find("relative") != std::string::npos) target = "../../outside";
                ASSERT_EQ(::symlink(target.c_str(), (layout.root + place.link).c_str()), 0);
            }
            const std::string elsewhere = layout.scratch / "elsewhere";
            ASSERT_EQ(WriteWholeFile(elsewhere, "elsewhere"), RC_OK);
            CConfinedFolder confined;
            ASSERT_EQ(confined.Confine(layout.root), RC_OK);

            EXPECT_FALSE(op.succeeds(layout.root + place.path, elsewhere));
            EXPECT_GT(confined.Refusals(), 0u);
            EXPECT_EQ(ReadWholeFile(layout.outside + "victim"), "victim");
            EXPECT_EQ(FolderNames(layout.outside), std::vector<std::string>{"victim"});
            EXPECT_EQ(ReadWholeFile(elsewhere), "elsewhere");
        }
    }
}

// Below the folder, plain names work as they always did, a ".." that stays inside included, and
// the folder is known by any spelling of its name.
TEST_P(ConfinedFolder, PlainNamesBelowTheFolderWork)
{
    Layout layout;
    CConfinedFolder confined;
    ASSERT_EQ(confined.Confine(layout.scratch.Path() + "./root//"), RC_OK);
    ASSERT_EQ(MakePath(layout.root + "images/deep/"), RC_OK);
    EXPECT_EQ(WriteWholeFile(layout.root + "images/deep/cover.jpg", "jpg"), RC_OK);
    EXPECT_EQ(ReadWholeFile(layout.root + "text/../images/deep/cover.jpg"), "jpg");
    EXPECT_EQ(WriteOutputFile(layout.root + "images\\page.html", "page"), RC_OK);
    EXPECT_EQ(MoveFile(layout.root + "images/page.html", layout.root + "text/page.html"), RC_OK);
    EXPECT_EQ(ReadWholeFile(layout.root + "text/page.html"), "page");
    EXPECT_EQ(DeleteFile(layout.root + "text/page.html"), RC_OK);
    EXPECT_FALSE(FileExists(layout.root + "text/page.html"));
    EXPECT_EQ(confined.Refusals(), 0u);
}

// The folder's own name may be a link (the user chose it); the user's own files named to the run
// are followed; once released, nothing is confined any more.
TEST_P(ConfinedFolder, TheFolderItselfAndTheUsersFilesAreFollowed)
{
    Layout layout;
    const std::string viaLink = layout.scratch / "link-to-root/";
    ASSERT_EQ(::symlink(layout.root.c_str(), layout.scratch.Path().append("link-to-root").c_str()), 0);
    ASSERT_EQ(::symlink((layout.outside + "victim").c_str(), (layout.root + "book.epub").c_str()), 0);
    ASSERT_EQ(::symlink((layout.outside + "victim").c_str(), (layout.root + "content.opf").c_str()), 0);

    CConfinedFolder confined;
    ASSERT_EQ(confined.Confine(viaLink, {viaLink + "book.epub"}), RC_OK);
    EXPECT_EQ(WriteWholeFile(viaLink + "page.html", "page"), RC_OK);
    EXPECT_EQ(ReadWholeFile(layout.root + "page.html"), "page");
    EXPECT_EQ(ReadWholeFile(viaLink + "book.epub"), "victim");
    EXPECT_EQ(ReadWholeFile(viaLink + "content.opf"), "");
    EXPECT_EQ(confined.Refusals(), 1u);

    confined.Release();
    EXPECT_EQ(ReadWholeFile(viaLink + "content.opf"), "victim");
}

// A link at the last component loses only its name to a delete or a move onto it; a folder link
// on the way keeps the files it leads to.
TEST_P(ConfinedFolder, DeleteAndMoveNeverReachThroughALink)
{
    Layout layout;
    ASSERT_EQ(::symlink((layout.outside + "victim").c_str(), (layout.root + "content.opf").c_str()), 0);
    ASSERT_EQ(::symlink(layout.outside.c_str(), (layout.root + "images").c_str()), 0);
    ASSERT_EQ(WriteWholeFile(layout.root + "new.opf", "new"), RC_OK);
    CConfinedFolder confined;
    ASSERT_EQ(confined.Confine(layout.root), RC_OK);

    EXPECT_EQ(MoveFile(layout.root + "new.opf", layout.root + "content.opf"), RC_OK);
    EXPECT_EQ(ReadWholeFile(layout.root + "content.opf"), "new");
    EXPECT_NE(DeleteFile(layout.root + "images/victim"), RC_OK);
    EXPECT_NE(MoveFile(layout.root + "text/../content.opf", layout.root + "images/victim"), RC_OK);
    EXPECT_EQ(ReadWholeFile(layout.outside + "victim"), "victim");
    EXPECT_EQ(DeleteFile(layout.root + "images"), RC_OK) << "the link itself goes";
    EXPECT_EQ(FolderNames(layout.outside), std::vector<std::string>{"victim"});
}

// Forked copies write pages too: a refusal in a copy must reach the process that reports the run.
TEST_P(ConfinedFolder, RefusalsInForkedCopiesAreCounted)
{
    Layout layout;
    ASSERT_EQ(::symlink(layout.outside.c_str(), (layout.root + "images").c_str()), 0);
    CConfinedFolder confined;
    ASSERT_EQ(confined.Confine(layout.root), RC_OK);
    ::setenv("TARVO_WORKERS", "3", 1);
    ForkedMap(6, [&](size_t i) {
        WriteWholeFile(layout.root + "images/" + std::to_string(i) + ".jpg", "jpg");
        return std::string();
    });
    ::unsetenv("TARVO_WORKERS");
    EXPECT_EQ(confined.Refusals(), 6u);
    EXPECT_EQ(FolderNames(layout.outside), std::vector<std::string>{"victim"});
}

} // namespace
