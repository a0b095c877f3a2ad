// File, folder and clock access. Paths are UTF-8 and may use "/" or "\" as separators.
#pragma once

#include "base/ResultCode.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---- text helpers -------------------------------------------------------------------------------

void ReplaceAll(std::string& text, const std::string& from, const std::string& to);
void ToLower(std::string& text);
std::string ToLowerCopy(const std::string& text);
// The text without the blanks, tabs, line ends and form feeds at either end.
std::string Trimmed(const std::string& text);
// "%XX" becomes that byte and "+" a blank; everything else is copied.
std::string UrlDecode(const std::string& text);
// A URI's "%XX" escapes; unlike a form's text, "+" stays a plus.
std::string PercentDecode(const std::string& uri);
// The value of a hexadecimal digit, or -1.
int HexDigitValue(char c);
bool StartsWith(const std::string& text, const std::string& prefix);
bool EndsWith(const std::string& text, const std::string& suffix);
bool EqualsNoCase(const std::string& a, const std::string& b);
// Where lowerNeedle (lower case) first occurs in text[from, end), ignoring ASCII case; npos if not.
size_t FindNoCase(const std::string& text, const std::string& lowerNeedle, size_t from = 0,
                  size_t end = std::string::npos);
// Decimal value of the leading digits (after an optional sign); 0 when there are none.
int LeadingNumber(const std::string& text);

// ---- paths --------------------------------------------------------------------------------------

inline bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}
// The form handed to the operating system: every "\" turned into "/".
std::string ToOsPath(const std::string& path);
// Index of the last "/" or "\", or npos.
size_t LastSeparator(const std::string& path);
// Up to and including the last separator; empty when there is none.
std::string GetDirectory(const std::string& path);
// The text after the last separator.
std::string GetFileName(const std::string& path);
// The extension after the last "." of the last component, in lower case; the path is left as it
// is, since on this file system the case of a name matters. False when that component has no ".",
// so "a.txt." gives true with an empty extension.
bool GetExtension(const std::string& path, std::string& extension);
std::vector<std::string> SplitPath(const std::string& path);
// Paths a book names are resolved by base/Href.h.

// ---- files and folders --------------------------------------------------------------------------

class CFile
{
  public:
    CFile() = default;
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Plain files only: a folder, device or pipe is refused without blocking.
    ResultCode Open(const std::string& path, bool write, bool create);
    ResultCode Read(void* buffer, size_t count);
    ResultCode Write(const void* buffer, size_t count);
    // Overwrites bytes already written (a header filled in once its sizes are known); the position
    // Write continues from is left alone.
    ResultCode WriteAt(const void* buffer, size_t count, uint64_t offset);
    // A short read is no error; count is updated to what arrived.
    ResultCode ReadAt(void* buffer, uint64_t offset, size_t& count);
    ResultCode Size(uint64_t& size) const;
    bool IsOpen() const { return m_Fd >= 0; }
    void Close();

  private:
    int m_Fd = -1;
};

// Writes a file under an unpredictable temporary name beside its target and moves it over the
// target only on Commit, so the target always holds either its old bytes or all of the new ones.
// A symbolic link at the target stays a link: the file it names is replaced. The mode of an
// existing target is kept; a new file gets 0666 less the umask. Dropped without Commit, or the
// process stopped by SIGINT, SIGTERM or SIGHUP, the temporary file is removed and the target is
// untouched. A writer locks its temporary file; the first Open in a folder removes the unlocked
// temporary files of ours that a killed run left there.
// Whether a commit waits for the data to reach the disk. A book should survive a crash right after
// it was written; the thousands of pages of an HTML site need only never be seen half-written, and
// a flush per page would make writing them several times slower.
enum class CommitMode { Durable, Quick };

class CAtomicFile
{
  public:
    CAtomicFile() = default;
    ~CAtomicFile();
    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    ResultCode Open(const std::string& target);
    // A failed write fails every later Write and the Commit.
    ResultCode Write(const void* data, size_t size);
    ResultCode Write(const std::string& bytes) { return Write(bytes.data(), bytes.size()); }
    // As CFile::WriteAt; a failure fails the Commit too.
    ResultCode WriteAt(const void* data, size_t size, uint64_t offset);
    // Flushes the data to the disk (Durable only), then renames it over the target.
    ResultCode Commit(CommitMode mode = CommitMode::Durable);
    // Removes the temporary file; the target stays as it was.
    void Abandon();
    bool IsOpen() const { return m_Fd >= 0; }

  private:
    int m_Fd = -1;
    bool m_Failed = false;
    std::string m_TemporaryPath; // both in the form handed to the operating system
    std::string m_TargetPath;
    int m_LiveSlot = -1; // where a stop signal finds the temporary file to remove it
};

// Keeps other runs out of a folder while it is held: an advisory lock on the folder itself, so
// nothing is written into it and every path that reaches it (a link, "./", "../") meets the same
// lock. Dropped by Release or when the object ends.
enum class LockOutcome { Held, Busy, Unavailable };

class CDirectoryLock
{
  public:
    CDirectoryLock() = default;
    ~CDirectoryLock();
    CDirectoryLock(const CDirectoryLock&) = delete;
    CDirectoryLock& operator=(const CDirectoryLock&) = delete;

    // Never waits: Busy when another process holds the folder, Unavailable when the folder cannot
    // be opened or its file system keeps no locks.
    LockOutcome Acquire(const std::string& directory);
    void Release();

  private:
    int m_Fd = -1;
};

// While held, every file opened, folder made, file deleted or renamed below the folder is reached
// without following a symbolic link: a folder someone else made first may hold links that would
// carry the run's writes, or its reads, to any file. The folder's own name is followed (the
// user's choice); below it, a link or a ".." that climbs out is refused, named on standard error
// and counted. The files in exempt are the user's own (the book, the output) and are followed
// like any other path outside.
class CConfinedFolder
{
  public:
    CConfinedFolder() = default;
    ~CConfinedFolder();
    CConfinedFolder(const CConfinedFolder&) = delete;
    CConfinedFolder& operator=(const CConfinedFolder&) = delete;

    ResultCode Confine(const std::string& folder, const std::vector<std::string>& exempt = {});
    void Release();
    // Links refused since Confine, below any confined folder, in this process and its forked copies.
    uint32_t Refusals() const;

  private:
    bool m_Held = false;
    uint32_t m_RefusalsBefore = 0;
};

ResultCode MakeDirectory(const std::string& path);
// Creates every folder named before a separator from index start on; the last component is a
// folder only when the path ends with a separator.
ResultCode MakePath(const std::string& path, size_t start = 0);
ResultCode DeleteFile(const std::string& path);
// Replaces to atomically; the target is never missing, the source removed only after success.
ResultCode MoveFile(const std::string& from, const std::string& to);
// Both paths are URL decoded first.
ResultCode CopyFile(const std::string& from, const std::string& to);
// The path is URL decoded; an unreadable file gives the empty result.
std::string ReadWholeFile(const std::string& path);
// Same as ReadWholeFile but for names that must be taken literally. Both read plain files only: a
// device, pipe or folder gives nothing.
bool ReadFileBytes(const std::string& path, std::string& bytes);
ResultCode WriteWholeFile(const std::string& path, const std::string& bytes);
// For a final output: the bytes go through CAtomicFile, so a failure (a missing folder, a folder in
// the target's place, a full disk) leaves any previous file as it was. Intermediate files use
// WriteWholeFile, which spares them the flush to disk.
ResultCode WriteOutputFile(const std::string& path, const std::string& bytes,
                           CommitMode mode = CommitMode::Durable);
ResultCode GetCurrentDirectory(std::string& path);
// True for a plain file only (links followed): never a folder, device or pipe.
bool FileExists(const std::string& path);
// Both names reach one file (same device and inode): through a link, "./", "../" or a hard link.
bool SameFile(const std::string& a, const std::string& b);
// The file a name reaches (links followed), for telling many names apart at once.
struct FileIdentity {
    uint64_t m_Device = 0;
    uint64_t m_Inode = 0;
    bool operator<(const FileIdentity& other) const
    {
        return m_Device != other.m_Device ? m_Device < other.m_Device : m_Inode < other.m_Inode;
    }
};
// False when nothing is there.
bool GetFileIdentity(const std::string& path, FileIdentity& identity);
// Makes a folder that did not exist, prefix plus sixteen unpredictable hex digits plus ".tmp/", that
// only this user may enter, and gives its name ending in "/".
ResultCode MakeFreshDirectory(const std::string& prefix, std::string& made);
bool DirectoryExists(const std::string& path);

// ---- time, checksums, images ----------------------------------------------------------------------

void DosDateTime(uint16_t& date, uint16_t& time);
uint16_t DosDateOf(int year, int month, int day);
uint16_t DosTimeOf(int hour, int minute, int second);
uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);
inline uint32_t Crc32(const std::string& bytes)
{
    return Crc32(bytes.data(), bytes.size());
}
// "jpg", "png", "bmp", "gif", or empty for anything else and for data under 20 bytes.
std::string ImageTypeOf(const std::string& bytes);
// Every type ImageTypeOf may give, in the order it tries them.
std::vector<std::string> ImageTypes();
// Milliseconds on a clock that never goes back.
uint64_t MonotonicMilliseconds();

// ---- work on every core -------------------------------------------------------------------------

// Runs work(i) for every i below count, spread over this process and forked copies of it (one per
// further core this process may run on; none with TARVO_WORKERS=1), and returns what each call
// gave in order of i. Copies are used rather than threads because the HTML library keeps tag
// tables that every parse adjusts. A copy shares only files with this process: work may write
// files, but anything it changes in memory is lost, so all it has to tell comes back in the bytes
// it returns. Items a copy could not finish are worked again here.
std::vector<std::string> ForkedMap(size_t count, const std::function<std::string(size_t)>& work);
