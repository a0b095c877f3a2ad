// Folders through POSIX calls: making them, locking one, the working folder.
#include "base/Folders.h"

#include "base/Paths.h"
#include "base/Platform_confined.h"
#include "base/Platform_posix.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

ResultCode MakeDirectory(const std::string& path)
{
    std::string os = ToOsPath(path);
    while (os.size() > 1 && os.back() == '/')
        os.pop_back();
    CConfinableParent place(os);
    if (!place.Reached()) return RC_DIR_MAKE_FAILED;
    if (::mkdirat(place.Fd(), place.Name(), 0755) == 0) return RC_OK;
    if (errno != EEXIST || place.RefuseLink()) return RC_DIR_MAKE_FAILED;
    struct stat st;
    return ::fstatat(place.Fd(), place.Name(), &st, 0) == 0 && S_ISDIR(st.st_mode) ? RC_OK
                                                                                   : RC_DIR_MAKE_FAILED;
}

ResultCode MakePath(const std::string& path, size_t start)
{
    for (size_t i = start; i < path.size(); ++i) {
        if (!IsSeparator(path[i])) continue;
        std::string prefix = path.substr(0, i);
        // Never try to create the root, a drive prefix ("C:") or an empty component.
        if (prefix.empty() || (prefix.size() == 2 && prefix[1] == ':') || IsSeparator(prefix.back()))
            continue;
        ResultCode rc = MakeDirectory(prefix);
        if (rc != RC_OK) return rc;
    }
    return RC_OK;
}

CDirectoryLock::~CDirectoryLock()
{
    Release();
}

LockOutcome CDirectoryLock::Acquire(const std::string& directory)
{
    Release();
    m_Fd = ::open(ToOsPath(directory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_Fd < 0) return LockOutcome::Unavailable;
    int locked;
    do
        locked = ::flock(m_Fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked == 0) return LockOutcome::Held;
    LockOutcome outcome = errno == EWOULDBLOCK ? LockOutcome::Busy : LockOutcome::Unavailable;
    Release();
    return outcome;
}

void CDirectoryLock::Release()
{
    // Closing the only descriptor of the open folder drops the lock.
    if (m_Fd >= 0) ::close(m_Fd);
    m_Fd = -1;
}

ResultCode MakeFreshDirectory(const std::string& prefix, std::string& made)
{
    const std::string os = ToOsPath(prefix);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = os + RandomSuffix() + ".tmp";
        // mkdir never reuses what is there, so the folder and all that is made in it are ours.
        if (::mkdir(candidate.c_str(), 0700) == 0) {
            made = candidate + "/";
            return RC_OK;
        }
        if (errno != EEXIST) return RC_DIR_MAKE_FAILED;
    }
    return RC_DIR_MAKE_FAILED;
}

ResultCode GetCurrentDirectory(std::string& path)
{
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer) == nullptr) return RC_DIR_GET_FAILED;
    path = buffer;
    return RC_OK;
}

bool DirectoryExists(const std::string& path)
{
    struct stat st;
    return ::stat(ToOsPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
