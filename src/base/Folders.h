// Folders: making them, locking one against other runs, confining a run's writes below one.
#pragma once

#include "base/ResultCode.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
ResultCode GetCurrentDirectory(std::string& path);
// Makes a folder that did not exist, prefix plus sixteen unpredictable hex digits plus ".tmp/", that
// only this user may enter, and gives its name ending in "/".
ResultCode MakeFreshDirectory(const std::string& prefix, std::string& made);
bool DirectoryExists(const std::string& path);
