// Files: reading, writing in place or through a temporary file moved over the target, copying,
// moving, and telling files apart. Paths are UTF-8 and may use "/" or "\" as separators.
#pragma once

#include "base/ResultCode.h"

#include <cstddef>
#include <cstdint>
#include <string>

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

ResultCode DeleteFile(const std::string& path);
// Replaces to atomically; the target is never missing, the source removed only after success.
ResultCode MoveFile(const std::string& from, const std::string& to);
ResultCode CopyFile(const std::string& from, const std::string& to);
// An unreadable file gives the empty result.
std::string ReadWholeFile(const std::string& path);
// As ReadWholeFile, telling an unreadable file apart. Both read plain files only: a device, pipe or
// folder gives nothing.
bool ReadFileBytes(const std::string& path, std::string& bytes);
// Where a name from a book's file lists (an href's path, not yet decoded) lies below directory: at
// the name decoded once as the book's files are written ("%XX", and "+" as a blank), or as written
// when only that is there, since some archives hold names with a real "%" or "+".
std::string BookFilePath(const std::string& directory, const std::string& name);
ResultCode WriteWholeFile(const std::string& path, const std::string& bytes);
// For a final output: the bytes go through CAtomicFile, so a failure (a missing folder, a folder in
// the target's place, a full disk) leaves any previous file as it was. Intermediate files use
// WriteWholeFile, which spares them the flush to disk.
ResultCode WriteOutputFile(const std::string& path, const std::string& bytes,
                           CommitMode mode = CommitMode::Durable);
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
