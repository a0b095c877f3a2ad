#include "base/Clock.h"
#include "base/Files.h"
#include "base/Folders.h"
#include "base/ForkPool.h"
#include "base/Images.h"
#include "base/Paths.h"
#include "base/Text.h"

#include "FileSizeLimit.h"
#include "TestSupport.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct DirCase {
    const char* label;
    const char* path;
    const char* dir;
};
const DirCase kDirCases[] = {
    {"slash", "a/b/c.html", "a/b/"},
    {"backslash", "a\\b\\c.html", "a\\b\\"},
    {"mixed", "a/b\\c.html", "a/b\\"},
    {"bare name", "c.html", ""},
};

TEST(PathHelpers, GetDirectoryKeepsTrailingSeparator)
{
    for (const DirCase& c : kDirCases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(GetDirectory(c.path), c.dir);
    }
}

struct ExtCase {
    const char* label;
    const char* path;
    bool has;
    const char* extension;
};
const ExtCase kExtCases[] = {
    {"plain", "book.epub", true, "epub"}, {"upper case folded, path kept", "Dir/Book.MOBI", true, "mobi"},
    {"no dot", "dir.d/book", false, ""},  {"dot in folder only, backslash", "dir.d\\book", false, ""},
    {"trailing dot", "x.txt.", true, ""}, {"last dot wins", "a.tar.GZ", true, "gz"},
};

TEST(PathHelpers, GetExtensionFoldsAndDistinguishesNoneFromEmpty)
{
    for (const ExtCase& c : kExtCases) {
        SCOPED_TRACE(c.label);
        const std::string path = c.path;
        std::string extension;
        EXPECT_EQ(GetExtension(path, extension), c.has);
        EXPECT_EQ(extension, c.extension);
    }
}

TEST(PathHelpers, Split)
{
    EXPECT_EQ(SplitPath("a/b\\c//d"), (std::vector<std::string>{"a", "b", "c", "d"}));
}

struct TextCase {
    const char* in;
    const char* out;
};

TEST(TextHelpers, UrlDecode)
{
    const TextCase cases[] = {
        {"a%20b", "a b"}, {"a+b", "a b"}, {"%41%6a", "Aj"}, {"100%", "100%"}, {"%zz", "%zz"}, {"%4", "%4"},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(UrlDecode(c.in), c.out) << c.in;
}

// Growing replacements build a new text; shrinking and same-length ones rewrite it in place.
TEST(TextHelpers, ReplaceAllContinuesAfterEachReplacement)
{
    struct Case {
        std::string text, from, to, expected;
    };
    const Case cases[] = {
        {"aaa", "a", "aa", "aaaaaa"},
        {"a&b&c", "&", "&amp;", "a&amp;b&amp;c"},
        {"x\xC2\xA0y\xC2\xA0\xC2\xA0", "\xC2\xA0", " ", "x y  "},
        {"\xC2\xA0starts", "\xC2\xA0", " ", " starts"},
        {"aaaaa", "aa", "b", "bba"},
        {"abcabc", "abc", "xyz", "xyzxyz"},
        {"remove all of it", " ", "", "removeallofit"},
        {"no hit here", "zz", "", "no hit here"},
        {"", "a", "", ""},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        ReplaceAll(text, c.from, c.to);
        EXPECT_EQ(text, c.expected) << c.text;
    }
}

TEST(TextHelpers, LeadingNumber)
{
    EXPECT_EQ(LeadingNumber("2012-05"), 2012);
    EXPECT_EQ(LeadingNumber("05x"), 5);
    EXPECT_EQ(LeadingNumber(""), 0);
    EXPECT_EQ(LeadingNumber("x1"), 0);
    EXPECT_EQ(LeadingNumber("99999999999999"), 0x7fffffff);
}

TEST(Files, MakePathCreatesOnlyWhatEndsInASeparator)
{
    ScratchDir scratch;
    ASSERT_EQ(MakePath(scratch / "a\\b/c"), RC_OK);
    EXPECT_TRUE(DirectoryExists(scratch / "a/b"));
    EXPECT_FALSE(DirectoryExists(scratch / "a/b/c"));
    ASSERT_EQ(MakePath(scratch / "a/b/c/"), RC_OK);
    EXPECT_TRUE(DirectoryExists(scratch / "a/b/c"));
    ASSERT_EQ(MakePath(scratch / "a/b/c/"), RC_OK) << "existing folders are no error";
    WriteWholeFile(scratch / "file", "x");
    EXPECT_EQ(MakePath(scratch / "file/sub/"), RC_DIR_MAKE_FAILED);
}

TEST(Files, MoveFileReplacesTheTargetAndRemovesTheSource)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "new", "new content");
    WriteWholeFile(scratch / "old", "old content");
    ASSERT_EQ(MoveFile(scratch / "new", scratch / "old"), RC_OK);
    EXPECT_EQ(ReadWholeFile(scratch / "old"), "new content");
    EXPECT_FALSE(FileExists(scratch / "new"));
}

TEST(Files, MoveFileFailureKeepsTheTarget)
{
    ScratchDir scratch;
    WriteWholeFile(scratch / "old", "old content");
    EXPECT_EQ(MoveFile(scratch / "missing", scratch / "old"), RC_FILE_RENAME_FAILED);
    EXPECT_EQ(ReadWholeFile(scratch / "old"), "old content");
}

TEST(Files, MoveFileAcrossFileSystemsCopies)
{
    // /dev/shm is a separate file system on Linux, so rename(2) fails with EXDEV.
    if (!DirectoryExists("/dev/shm")) GTEST_SKIP();
    ScratchDir scratch;
    std::string from = "/dev/shm/tarvo-move-test-" + std::to_string(::getpid());
    WriteWholeFile(from, "across");
    WriteWholeFile(scratch / "target", "before");
    ASSERT_EQ(MoveFile(from, scratch / "target"), RC_OK);
    EXPECT_EQ(ReadWholeFile(scratch / "target"), "across");
    EXPECT_FALSE(FileExists(from));
}

TEST(Files, CopyFileFromMissingCreatesNothing)
{
    ScratchDir scratch;
    EXPECT_EQ(CopyFile(scratch / "missing", scratch / "to"), RC_FILE_OPEN_FAILED);
    EXPECT_FALSE(FileExists(scratch / "to"));
}

TEST(Files, CopyFileCopiesLargeFilesExactly)
{
    ScratchDir scratch;
    std::string data;
    for (int i = 0; i < 200000; ++i)
        data += static_cast<char>(i * 7);
    WriteWholeFile(scratch / "from", data);
    ASSERT_EQ(CopyFile(scratch / "from", scratch / "to"), RC_OK);
    EXPECT_EQ(ReadWholeFile(scratch / "to"), data);
}

// A path the user gives is read and copied as written, though its decoded form names another
// file; a name from a book's lists is decoded once, as the book's files were written.
TEST(Files, PathsAreTakenAsGivenAndBookNamesDecodedOnce)
{
    ScratchDir scratch;
    ASSERT_EQ(WriteWholeFile(scratch / "a%41+b.txt", "literal"), RC_OK);
    ASSERT_EQ(WriteWholeFile(scratch / "aA b.txt", "decoded"), RC_OK);
    ASSERT_EQ(WriteWholeFile(scratch / "only%25raw.txt", "raw"), RC_OK);
    EXPECT_EQ(ReadWholeFile(scratch / "a%41+b.txt"), "literal");
    ASSERT_EQ(CopyFile(scratch / "a%41+b.txt", scratch / "c%41+d.txt"), RC_OK);
    EXPECT_EQ(ReadWholeFile(scratch / "c%41+d.txt"), "literal");
    EXPECT_FALSE(FileExists(scratch / "cA d.txt"));
    EXPECT_EQ(ReadWholeFile(scratch / "missing"), "");
    EXPECT_EQ(ReadWholeFile(scratch.Path()), "") << "a folder reads as nothing";

    const std::string dir = scratch.Path();
    const std::pair<const char*, const char*> listed[] = {
        {"a%41+b.txt", "aA b.txt"},           // the decoded name is there
        {"only%25raw.txt", "only%25raw.txt"}, // only the name as written is
        {"missing%41.txt", "missing%41.txt"}, // neither: the name as written, to fail on
    };
    for (const auto& [name, found] : listed)
        EXPECT_EQ(BookFilePath(dir, name), dir + found) << name;
}

// Reading a pipe would wait for a writer forever and /dev/zero would never end: only plain files
// are read, and the refusal comes at once.
TEST(Files, OnlyPlainFilesAreReadOrCopied)
{
    ScratchDir scratch;
    ASSERT_EQ(::mkfifo((scratch / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(MakePath(scratch / "folder/"), RC_OK);
    const struct {
        const char* label;
        std::string path;
    } cases[] = {{"fifo", scratch / "fifo"}, {"device", "/dev/zero"}, {"folder", scratch / "folder"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string bytes = "stale";
        EXPECT_FALSE(ReadFileBytes(c.path, bytes));
        EXPECT_EQ(bytes, "");
        EXPECT_EQ(ReadWholeFile(c.path), "");
        CFile file;
        EXPECT_EQ(file.Open(c.path, false, false), RC_FILE_OPEN_FAILED);
        EXPECT_EQ(file.Open(c.path, true, false), RC_FILE_OPEN_FAILED);
        EXPECT_EQ(CopyFile(c.path, scratch / "copy"), RC_FILE_OPEN_FAILED);
        EXPECT_FALSE(FileExists(scratch / "copy"));
        EXPECT_FALSE(FileExists(c.path));
    }
}

TEST(Files, SameFileSeesThroughEveryKindOfName)
{
    ScratchDir scratch;
    ASSERT_EQ(MakePath(scratch / "d/"), RC_OK);
    WriteWholeFile(scratch / "a.txt", "a");
    WriteWholeFile(scratch / "twin.txt", "a");
    ASSERT_EQ(::symlink((scratch / "a.txt").c_str(), (scratch / "soft.txt").c_str()), 0);
    ASSERT_EQ(::link((scratch / "a.txt").c_str(), (scratch / "hard.txt").c_str()), 0);
    const struct {
        const char* label;
        std::string other;
        bool same;
    } cases[] = {
        {"itself", scratch / "a.txt", true},
        {"through ./ and ../", scratch / "d/.././a.txt", true},
        {"backslash", scratch.Path() + "d\\..\\a.txt", true},
        {"symbolic link", scratch / "soft.txt", true},
        {"hard link", scratch / "hard.txt", true},
        {"equal bytes, other file", scratch / "twin.txt", false},
        {"missing", scratch / "none.txt", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(SameFile(scratch / "a.txt", c.other), c.same);
    }
}

TEST(DirectoryLock, SecondHolderIsTurnedAwayUntilTheFirstLetsGo)
{
    ScratchDir scratch;
    ASSERT_EQ(MakePath(scratch / "job/"), RC_OK);
    ASSERT_EQ(::symlink((scratch / "job").c_str(), (scratch / "alias").c_str()), 0);
    CDirectoryLock first, second;
    ASSERT_EQ(first.Acquire(scratch / "job/"), LockOutcome::Held);
    EXPECT_EQ(second.Acquire(scratch / "alias"), LockOutcome::Busy) << "a link reaches the same folder";
    EXPECT_EQ(second.Acquire(scratch.Path() + "job\\"), LockOutcome::Busy);
    first.Release();
    EXPECT_EQ(second.Acquire(scratch / "job"), LockOutcome::Held);
    CDirectoryLock missing;
    EXPECT_EQ(missing.Acquire(scratch / "none/"), LockOutcome::Unavailable);
    EXPECT_TRUE(std::filesystem::is_empty(scratch / "job")) << "the lock writes nothing into the folder";
}

TEST(Files, CFileOpensBackslashPathsAndReadsShort)
{
    ScratchDir scratch;
    MakePath(scratch / "a/b/");
    WriteWholeFile(scratch / "a/b/c.txt", "0123456789");
    CFile file;
    ASSERT_EQ(file.Open(scratch.Path() + "a\\b\\c.txt", false, false), RC_OK);
    char buffer[16] = {};
    size_t count = sizeof buffer;
    EXPECT_EQ(file.ReadAt(buffer, 6, count), RC_OK);
    EXPECT_EQ(std::string(buffer, count), "6789");
    // Reads at an offset leave the file position alone: forked workers share it.
    EXPECT_EQ(file.Read(buffer, 10), RC_OK);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(file.Read(buffer, 1), RC_FILE_READ_FAILED) << "at the end nothing more arrives";
    EXPECT_EQ(file.Read(buffer, 0), RC_OK);
    CFile missing;
    EXPECT_EQ(missing.Open(scratch / "none", false, false), RC_FILE_OPEN_FAILED);
}

TEST(TimeAndImages, DosFields)
{
    EXPECT_EQ(DosTimeOf(10, 20, 31), 10 * 2048 + 20 * 32 + 15);
    EXPECT_EQ(DosDateOf(2026, 12, 7), (2026 - 1980) * 512 + 12 * 32 + 7);
}

struct ImageCase {
    const char* label;
    std::string bytes;
    const char* type;
};

TEST(TimeAndImages, ImageTypeOfSniffsSignatures)
{
    const std::string pad(24, 'x');
    const ImageCase cases[] = {
        {"png", std::string("\x89PNG\r\n\x1a\n", 8) + pad, "png"},
        {"png of 19 bytes", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(11, 'x'), ""},
        {"jfif", std::string("\xFF\xD8\xFF\xE0\0\x10JFIF", 10) + pad, "jpg"},
        {"bare jpeg ending in FF D9 and zeros",
         std::string("\xFF\xD8", 2) + pad + std::string("\xFF\xD9\0\0", 4), "jpg"},
        {"jpeg start without end", std::string("\xFF\xD8", 2) + pad, ""},
        {"bmp", "BM" + pad, "bmp"},
        {"gif", "GIF89a" + pad, "gif"},
        {"text", "hello there, not an image", ""},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(ImageTypeOf(c.bytes), c.type);
    }
}

std::vector<std::string> FolderNames(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Contents(const std::string& path)
{
    std::string bytes;
    ReadFileBytes(path, bytes);
    return bytes;
}

struct AbandonCase {
    const char* label;
    bool targetExists;
    bool wrote;
};

TEST(AtomicFile, UncommittedWriteLeavesTheTargetAndNoTemporaryFile)
{
    const AbandonCase cases[] = {
        {"existing target, data written", true, true},
        {"existing target, nothing written", true, false},
        {"new target, data written", false, true},
    };
    for (const AbandonCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        if (c.targetExists) {
            ASSERT_EQ(WriteWholeFile(scratch / "book", "old"), RC_OK);
        }
        {
            CAtomicFile out;
            ASSERT_EQ(out.Open(scratch / "book"), RC_OK);
            if (c.wrote) {
                ASSERT_EQ(out.Write(std::string(100000, 'n')), RC_OK);
            }
            EXPECT_EQ(FolderNames(scratch.Path()).size(), c.targetExists ? 2u : 1u); // the temporary file
        }
        EXPECT_EQ(FolderNames(scratch.Path()),
                  c.targetExists ? std::vector<std::string>{"book"} : std::vector<std::string>{});
        if (c.targetExists) {
            EXPECT_EQ(Contents(scratch / "book"), "old");
        }
    }
}

TEST(AtomicFile, CommitReplacesTheTargetAndKeepsItsMode)
{
    for (mode_t mode : {0600, 0640, 0755}) {
        SCOPED_TRACE(mode);
        ScratchDir scratch;
        ASSERT_EQ(WriteWholeFile(scratch / "book", "old"), RC_OK);
        ASSERT_EQ(::chmod((scratch / "book").c_str(), mode), 0);
        CAtomicFile out;
        ASSERT_EQ(out.Open(scratch / "book"), RC_OK);
        ASSERT_EQ(out.Write("new "), RC_OK);
        ASSERT_EQ(out.Write(std::string("bytes")), RC_OK);
        ASSERT_EQ(out.Commit(), RC_OK);
        EXPECT_EQ(Contents(scratch / "book"), "new bytes");
        struct stat st;
        ASSERT_EQ(::stat((scratch / "book").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode);
        EXPECT_EQ(FolderNames(scratch.Path()), std::vector<std::string>{"book"});
        // Nothing more goes to a committed file.
        EXPECT_EQ(out.Write("x"), RC_FILE_WRITE_FAILED);
        EXPECT_EQ(out.Commit(), RC_FILE_WRITE_FAILED);
    }
}

TEST(AtomicFile, NewFileFollowsTheUmask)
{
    ScratchDir scratch;
    mode_t old = ::umask(027);
    CAtomicFile out;
    ResultCode opened = out.Open(scratch / "new");
    ::umask(old);
    ASSERT_EQ(opened, RC_OK);
    ASSERT_EQ(out.Commit(), RC_OK);
    struct stat st;
    ASSERT_EQ(::stat((scratch / "new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_size, 0);
}

TEST(AtomicFile, SymbolicLinkStaysAndItsFileIsReplaced)
{
    ScratchDir scratch;
    ASSERT_EQ(MakeDirectory(scratch / "real"), RC_OK);
    ASSERT_EQ(MakeDirectory(scratch / "links"), RC_OK);
    ASSERT_EQ(WriteWholeFile(scratch / "real/book", "old"), RC_OK);
    ASSERT_EQ(::symlink("../real/book", (scratch / "links/book").c_str()), 0);
    CAtomicFile out;
    ASSERT_EQ(out.Open(scratch / "links\\book"), RC_OK);
    ASSERT_EQ(out.Write("new"), RC_OK);
    ASSERT_EQ(out.Commit(), RC_OK);
    struct stat st;
    ASSERT_EQ(::lstat((scratch / "links/book").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Contents(scratch / "real/book"), "new");
    EXPECT_EQ(FolderNames(scratch / "real"), std::vector<std::string>{"book"});
    EXPECT_EQ(FolderNames(scratch / "links"), std::vector<std::string>{"book"});
}

TEST(AtomicFile, TargetsThatCannotBeReplacedAreRefused)
{
    ScratchDir scratch;
    ASSERT_EQ(MakeDirectory(scratch / "folder"), RC_OK);
    ASSERT_EQ(::symlink("nowhere", (scratch / "dangling").c_str()), 0);
    for (const char* name : {"folder", "missing/book", "dangling", "folder/"}) {
        SCOPED_TRACE(name);
        CAtomicFile out;
        EXPECT_EQ(out.Open(scratch / name), RC_FILE_OPEN_FAILED);
        EXPECT_EQ(out.Write("x"), RC_FILE_WRITE_FAILED);
    }
    EXPECT_EQ(FolderNames(scratch.Path()), (std::vector<std::string>{"dangling", "folder"}));
    EXPECT_TRUE(FolderNames(scratch / "folder").empty());
}

// What a run stopped outright leaves beside its target, and whether the next writer in that folder
// removes it. Only unlocked plain files of ours with exactly the writer's naming go.
struct StaleCase {
    const char* label;
    std::string name;
    enum { File, LockedFile, Link, Folder } kind;
    bool removed;
};

TEST(AtomicFile, OpenRemovesOnlyUnlockedTemporaryFilesOfItsOwnNaming)
{
    const StaleCase cases[] = {
        {"left by a killed run", ".book.0123456789abcdef.tmp", StaleCase::File, true},
        {"another target's", ".notes.txt.fedcba9876543210.tmp", StaleCase::File, true},
        {"a live writer's, locked", ".book.0123456789abcdef.tmp", StaleCase::LockedFile, false},
        {"upper-case digits", ".book.0123456789ABCDEF.tmp", StaleCase::File, false},
        {"fifteen digits", ".book.0123456789abcde.tmp", StaleCase::File, false},
        {"no leading dot", "book.0123456789abcdef.tmp", StaleCase::File, false},
        {"other ending", ".book.0123456789abcdef.temp", StaleCase::File, false},
        {"name part longer than a writer keeps", "." + std::string(65, 'b') + ".0123456789abcdef.tmp",
         StaleCase::File, false},
        {"a link", ".book.0123456789abcdef.tmp", StaleCase::Link, false},
        {"a folder", ".book.0123456789abcdef.tmp", StaleCase::Folder, false},
    };
    for (const StaleCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(WriteWholeFile(scratch / "book", "old"), RC_OK);
        const std::string stale = scratch / c.name;
        int held = -1;
        if (c.kind == StaleCase::Folder) {
            ASSERT_EQ(MakeDirectory(stale), RC_OK);
        } else if (c.kind == StaleCase::Link) {
            ASSERT_EQ(::symlink("book", stale.c_str()), 0);
        } else {
            ASSERT_EQ(WriteWholeFile(stale, "partial"), RC_OK);
        }
        if (c.kind == StaleCase::LockedFile) {
            held = ::open(stale.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
        }
        CAtomicFile out;
        ASSERT_EQ(out.Open(scratch / "book"), RC_OK);
        struct stat st;
        EXPECT_EQ(::lstat(stale.c_str(), &st) != 0, c.removed);
        out.Abandon();
        if (held >= 0) ::close(held);
        EXPECT_EQ(Contents(scratch / "book"), "old");
    }
}

// Forks a copy that runs body and ends with its result as exit status; the copy's status comes back.
template <typename Body> int InForkedCopy(Body body)
{
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

bool SignalIgnored(int signal)
{
    struct sigaction now {
    };
    return ::sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN;
}

// A run stopped by Ctrl-C or a polite kill takes its partial file with it, and still ends by the
// signal, so that its caller sees how it ended.
TEST(AtomicFile, StopSignalRemovesTheTemporaryFile)
{
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        if (SignalIgnored(signal)) continue; // left ignored on purpose, as the caller wants
        ScratchDir scratch;
        ASSERT_EQ(WriteWholeFile(scratch / "book", "old"), RC_OK);
        int status = InForkedCopy([&] {
            CAtomicFile out;
            if (out.Open(scratch / "book") != RC_OK || out.Write(std::string(100000, 'n')) != RC_OK) return 1;
            if (FolderNames(scratch.Path()).size() != 2) return 2;
            ::raise(signal);
            return 3;
        });
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_EQ(FolderNames(scratch.Path()), std::vector<std::string>{"book"});
        EXPECT_EQ(Contents(scratch / "book"), "old");
    }
}

// A forked worker inherits the writer's table of live files but must not remove its parent's file
// when it is stopped; what a writer killed outright leaves is removed by the next writer.
TEST(AtomicFile, ForkedCopyLeavesItsParentsFileAndTheNextWriterRemovesAKilledOnes)
{
    if (SignalIgnored(SIGTERM)) GTEST_SKIP() << "SIGTERM is ignored here";
    ScratchDir scratch;
    ASSERT_EQ(WriteWholeFile(scratch / "book", "old"), RC_OK);
    int status = InForkedCopy([&] {
        CAtomicFile out;
        if (out.Open(scratch / "book") != RC_OK || out.Write("partial") != RC_OK) return 1;
        int worker = InForkedCopy([] {
            ::raise(SIGTERM);
            return 0;
        });
        if (!WIFSIGNALED(worker)) return 2;
        if (FolderNames(scratch.Path()).size() != 2) return 3;
        ::_exit(0); // as kill -9 would: no destructor removes the file
    });
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(FolderNames(scratch.Path()).size(), 2u) << "the stale file is there";

    CAtomicFile next;
    ASSERT_EQ(next.Open(scratch / "book"), RC_OK);
    EXPECT_EQ(FolderNames(scratch.Path()).size(), 2u) << "the stale file is gone, the new one made";
    ASSERT_EQ(next.Write("new"), RC_OK);
    ASSERT_EQ(next.Commit(), RC_OK);
    EXPECT_EQ(Contents(scratch / "book"), "new");
    EXPECT_EQ(FolderNames(scratch.Path()), std::vector<std::string>{"book"});
}

// Another process's sweep meets a running writer's lock and leaves its file, which still commits.
TEST(AtomicFile, SweepLeavesALiveWritersFile)
{
    ScratchDir scratch;
    ASSERT_EQ(WriteWholeFile(scratch / "book", "old"), RC_OK);
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        ::close(go[1]);
        CAtomicFile live;
        char byte = 0;
        bool ok = live.Open(scratch / "book") == RC_OK && live.Write("new") == RC_OK;
        ok = ::write(ready[1], "r", 1) == 1 && ok;
        ok = ::read(go[0], &byte, 1) == 1 && ok && live.Commit() == RC_OK;
        ::_exit(ok ? 0 : 1);
    }
    ::close(ready[1]);
    ::close(go[0]);
    char byte = 0;
    const bool started = ::read(ready[0], &byte, 1) == 1;
    const size_t before = FolderNames(scratch.Path()).size();
    ResultCode opened;
    size_t during;
    {
        CAtomicFile other; // this process's first writer in the folder: it sweeps
        opened = other.Open(scratch / "notes");
        during = FolderNames(scratch.Path()).size();
    }
    const bool told = ::write(go[1], "g", 1) == 1;
    ::close(go[1]);
    ::close(ready[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(started && told);
    EXPECT_EQ(before, 2u);
    EXPECT_EQ(opened, RC_OK);
    EXPECT_EQ(during, 3u) << "the live file is kept";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the writer could not commit";
    EXPECT_EQ(Contents(scratch / "book"), "new");
    EXPECT_EQ(FolderNames(scratch.Path()), std::vector<std::string>{"book"});
}

// Runs the writer as on a full disk: files may not grow past limit bytes.
ResultCode WriteOutputFileLimited(const std::string& path, const std::string& bytes, rlim_t limit)
{
    return RunWithFileSizeLimit(limit, [&] { return WriteOutputFile(path, bytes); });
}

struct OutputCase {
    const char* label;
    const char* target; // inside the scratch folder, which holds "old.txt" and the folder "dir"
    size_t limit;       // 0: none
    ResultCode rc;
};

TEST(Files, WriteOutputFileLeavesThePreviousFileOnFailure)
{
    const std::string big(256 * 1024, 'n');
    const OutputCase cases[] = {
        {"full disk over an existing file", "old.txt", 4096, RC_FILE_WRITE_FAILED},
        {"full disk, new file", "new.txt", 4096, RC_FILE_WRITE_FAILED},
        {"missing folder", "missing/new.txt", 0, RC_FILE_OPEN_FAILED},
        {"a folder in its place", "dir", 0, RC_FILE_OPEN_FAILED},
        {"a folder in its place, backslash", "dir\\", 0, RC_FILE_OPEN_FAILED},
        {"room enough", "old.txt", 0, RC_OK},
    };
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(WriteWholeFile(scratch / "old.txt", "the previous output"), RC_OK);
        ASSERT_EQ(::chmod((scratch / "old.txt").c_str(), 0600), 0);
        ASSERT_EQ(MakeDirectory(scratch / "dir"), RC_OK);
        const std::string target = scratch / c.target;
        EXPECT_EQ(c.limit != 0 ? WriteOutputFileLimited(target, big, c.limit) : WriteOutputFile(target, big),
                  c.rc);
        if (c.rc == RC_OK) {
            EXPECT_EQ(Contents(target), big);
            struct stat st;
            ASSERT_EQ(::stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        } else {
            EXPECT_EQ(Contents(scratch / "old.txt"), "the previous output");
        }
        EXPECT_EQ(FolderNames(scratch.Path()), (std::vector<std::string>{"dir", "old.txt"}))
            << "no temporary file left";
        EXPECT_TRUE(FolderNames(scratch / "dir").empty());
    }
}

// Results come back in order whatever process worked them, and an item whose forked copy died is
// worked again here, so a crash in a copy costs time, never a page.
TEST(ForkedMap, ResultsInOrderAndLostItemsWorkedAgain)
{
    const pid_t self = ::getpid();
    struct MapCase {
        const char* label;
        const char* workers; // TARVO_WORKERS, or null for one process per core
        size_t count;
        bool copiesDie;
    };
    const MapCase cases[] = {
        {"nothing", nullptr, 0, false},        {"one item, no copy", nullptr, 1, false},
        {"many items", "3", 40, false},        {"copies die on every item", "3", 40, true},
        {"this process alone", "1", 40, true},
    };
    for (const MapCase& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.workers != nullptr)
            ::setenv("TARVO_WORKERS", c.workers, 1);
        else
            ::unsetenv("TARVO_WORKERS");
        std::vector<std::string> results = ForkedMap(c.count, [&](size_t i) {
            if (c.copiesDie && ::getpid() != self) ::raise(SIGKILL);
            return std::string(i * 1000, static_cast<char>('a' + i % 26)) + std::to_string(i);
        });
        ASSERT_EQ(results.size(), c.count);
        for (size_t i = 0; i < c.count; ++i)
            EXPECT_EQ(results[i], std::string(i * 1000, static_cast<char>('a' + i % 26)) + std::to_string(i));
    }
    ::unsetenv("TARVO_WORKERS");
}

} // namespace
