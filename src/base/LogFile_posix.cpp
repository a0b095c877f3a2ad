#include "base/LogFile.h"

#include "base/Paths.h"
#include "base/Platform_confined.h"
#include "base/Platform_posix.h"

#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Makes the folder if need be and opens it, refusing a symbolic link in its place.
int OpenLogFolder(int parent, const std::string& name, const std::string& shown)
{
    if (::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    int fd = ::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        ReportRefusedLink(shown);
    return fd;
}

// The log of an earlier run under the same name is removed rather than truncated, so a hard link
// planted there loses only its name; a symbolic link or anything else that is not a plain file is
// refused and left alone, so a run never writes through a name someone else put in the log folder.
int CreateLogFile(int folder, const std::string& name)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
        struct stat st;
        if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode) || ::unlinkat(folder, name.c_str(), 0) != 0) return -1;
    }
    return -1;
}

} // namespace

CLogFile::~CLogFile()
{
    Close();
}

void CLogFile::Close()
{
    for (int* fd : {&m_Fd, &m_FolderFd, &m_OkFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

bool CLogFile::Create(const std::string& folder, const std::string& name, const std::string& shownLogFolder)
{
    Close();
    int parent = ::open(ToOsPath(folder).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) return false;
    m_FolderFd = OpenLogFolder(parent, "marlek_log", shownLogFolder);
    ::close(parent);
    if (m_FolderFd >= 0) m_OkFd = OpenLogFolder(m_FolderFd, "OK", shownLogFolder + "/OK");
    if (m_OkFd >= 0) m_Fd = CreateLogFile(m_FolderFd, name);
    if (m_Fd < 0) {
        Close();
        return false;
    }
    m_Name = name;
    return true;
}

bool CLogFile::Write(const char* data, size_t size)
{
    return WriteAll(m_Fd, data, size);
}

bool CLogFile::FileAsSuccess()
{
    // rename replaces whatever name is already in OK/ and never writes through it; a copy, as a
    // move across file systems would make, could. Both folders are the ones opened at Create, so a
    // link put in their place since is never followed.
    const bool filed = ::renameat(m_FolderFd, m_Name.c_str(), m_OkFd, m_Name.c_str()) == 0;
    Close();
    return filed;
}

void CLogFile::Remove()
{
    ::unlinkat(m_FolderFd, m_Name.c_str(), 0);
    Close();
}
