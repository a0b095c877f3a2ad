// CAtomicFile: a file written under a temporary name beside its target and renamed over it, with
// the temporary files a stopped run leaves behind removed.
#include "base/Files.h"

#include "base/Paths.h"
#include "base/Platform_confined.h"
#include "base/Platform_posix.h"
#include "base/Process.h"
#include "base/Text.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr size_t NAME_KEPT = 64;     // of the target's name in a temporary name
constexpr size_t SUFFIX_DIGITS = 16; // RandomSuffix's length
const char* const TEMPORARY_END = ".tmp";

// The temporary files this process has open, where a signal handler can reach them: fixed
// buffers, as a handler may not allocate. A slot names the process that filled it, so a forked
// copy, which inherits the table, never removes its parent's files.
struct LiveTemporary {
    std::atomic<pid_t> owner{0}; // 0: free, -1: being filled
    char path[PATH_MAX];
};
static_assert(std::atomic<pid_t>::is_always_lock_free, "a signal handler reads the slots");
constexpr size_t LIVE_SLOTS = 16;
LiveTemporary g_LiveTemporaries[LIVE_SLOTS];
extern "C" void RemoveLiveTemporaries(int signal)
{
    EndRunningProgram(signal);
    const pid_t self = ::getpid();
    for (LiveTemporary& slot : g_LiveTemporaries)
        if (slot.owner.load() == self) ::unlink(slot.path);
    struct sigaction fallback {
    };
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    // Blocked until the handler returns, then it ends the process as if never caught.
    ::raise(signal);
}

} // namespace

// Only a signal left to its default action is taken over: one the caller ignores (a run started
// with nohup, or in the background by a shell) stays ignored.
void WatchStopSignals()
{
    static const bool watching = [] {
        struct sigaction handler {
        };
        handler.sa_handler = RemoveLiveTemporaries;
        handler.sa_flags = SA_RESTART;
        sigemptyset(&handler.sa_mask);
        for (int signal : STOP_SIGNALS)
            sigaddset(&handler.sa_mask, signal);
        for (int signal : STOP_SIGNALS) {
            struct sigaction old {
            };
            if (::sigaction(signal, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) &&
                old.sa_handler == SIG_DFL)
                ::sigaction(signal, &handler, nullptr);
        }
        return true;
    }();
    (void)watching;
}

namespace
{

// A path too long for a slot, or more live files than slots, goes unwatched: the next run's sweep
// still removes the file if a signal leaves it behind.
int WatchTemporary(const std::string& path)
{
    if (path.size() >= PATH_MAX) return -1;
    WatchStopSignals();
    for (size_t i = 0; i < LIVE_SLOTS; ++i) {
        pid_t free = 0;
        if (!g_LiveTemporaries[i].owner.compare_exchange_strong(free, -1)) continue;
        std::memcpy(g_LiveTemporaries[i].path, path.c_str(), path.size() + 1);
        g_LiveTemporaries[i].owner.store(::getpid());
        return static_cast<int>(i);
    }
    return -1;
}

void ForgetTemporary(int& slot)
{
    if (slot >= 0) g_LiveTemporaries[slot].owner.store(0);
    slot = -1;
}

// "." + the first NAME_KEPT bytes of the target's name + "." + SUFFIX_DIGITS lower-case hex
// digits + ".tmp": the names CAtomicFile::Open gives.
bool IsTemporaryName(const std::string& name)
{
    const size_t tail = 1 + SUFFIX_DIGITS + std::strlen(TEMPORARY_END);
    if (name.size() < 2 + tail || name.size() > 1 + NAME_KEPT + tail || name[0] != '.' ||
        !EndsWith(name, TEMPORARY_END))
        return false;
    const size_t digits = name.size() - tail + 1;
    if (name[digits - 1] != '.') return false;
    for (size_t i = digits; i < digits + SUFFIX_DIGITS; ++i)
        if (HexDigitValue(name[i]) < 0 || (name[i] >= 'A' && name[i] <= 'F')) return false;
    return true;
}

// Removes what runs stopped outright (kill -9, a crash, a power cut) left behind: every plain file
// of ours named like a temporary file whose lock no live writer holds. Once per folder and
// process, since listing the folder at every Open would make writing a site of many pages
// quadratic.
void RemoveStaleTemporaries(const std::string& folder)
{
    static std::set<std::string> swept;
    if (!swept.insert(folder).second) return;
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return;
    const int at = ::dirfd(dir);
    const uid_t self = ::geteuid();
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        struct stat seen, opened, still;
        // Looked at before opening, so that no device or pipe is ever opened.
        if (!IsTemporaryName(name) || ::fstatat(at, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(seen.st_mode) || seen.st_uid != self)
            continue;
        int fd = ::openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        if (::fstat(fd, &opened) == 0 && opened.st_ino == seen.st_ino && opened.st_dev == seen.st_dev &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstatat(at, name, &still, AT_SYMLINK_NOFOLLOW) == 0 &&
            still.st_ino == opened.st_ino && still.st_dev == opened.st_dev)
            ::unlinkat(at, name, 0);
        ::close(fd);
    }
    ::closedir(dir);
}

// The writer holds its temporary file's lock from creation to rename. Taken after the file is
// made, the lock can lose to a sweep that opened the file in between: then the file is, or is
// about to be, unlinked, and the caller takes another name.
bool LockFreshTemporary(int fd)
{
    int locked;
    do
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    // A file system without locks has no sweep to fear either.
    if (locked != 0) return errno != EWOULDBLOCK;
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_nlink > 0;
}

} // namespace

CAtomicFile::~CAtomicFile()
{
    Abandon();
}

ResultCode CAtomicFile::Open(const std::string& target)
{
    Abandon();
    m_Failed = false;
    std::string os = ToOsPath(target);
    CConfinableParent place(os);
    if (!place.Reached() || place.RefuseLink()) return RC_FILE_OPEN_FAILED;
    struct stat st;
    if (::lstat(os.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = ::realpath(os.c_str(), nullptr);
        if (real == nullptr) return RC_FILE_OPEN_FAILED; // a link to nothing
        os = real;
        std::free(real);
    }
    std::string name = GetFileName(os);
    if (name.empty()) return RC_FILE_OPEN_FAILED;
    bool exists = ::stat(os.c_str(), &st) == 0;
    // Renaming over a folder, a device or a pipe would destroy it rather than write it.
    if (exists && !S_ISREG(st.st_mode)) return RC_FILE_OPEN_FAILED;

    RemoveStaleTemporaries(GetDirectory(os));
    // Long names are cut so that the temporary name stays within the file system's limit.
    std::string prefix = GetDirectory(os) + "." + name.substr(0, NAME_KEPT) + ".";
    for (int attempt = 0; attempt < 100 && m_Fd < 0; ++attempt) {
        std::string candidate = prefix + RandomSuffix() + TEMPORARY_END;
        m_Fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      exists ? 0600 : 0666);
        if (m_Fd < 0 && errno != EEXIST) return RC_FILE_OPEN_FAILED;
        if (m_Fd < 0) continue;
        if (LockFreshTemporary(m_Fd)) {
            m_TemporaryPath = candidate;
            m_LiveSlot = WatchTemporary(candidate);
        } else {
            ::close(m_Fd);
            m_Fd = -1;
        }
    }
    if (m_Fd < 0) return RC_FILE_OPEN_FAILED;
    if (exists) {
        // Only a privileged process can keep another user's ownership; the permission bits are
        // always kept.
        [[maybe_unused]] int owned = ::fchown(m_Fd, st.st_uid, st.st_gid);
        if (::fchmod(m_Fd, st.st_mode & 0777) != 0) {
            Abandon();
            return RC_FILE_OPEN_FAILED;
        }
    }
    m_TargetPath = os;
    return RC_OK;
}

ResultCode CAtomicFile::Write(const void* data, size_t size)
{
    if (m_Fd < 0 || m_Failed) return RC_FILE_WRITE_FAILED;
    if (!WriteAll(m_Fd, static_cast<const char*>(data), size)) m_Failed = true;
    return m_Failed ? RC_FILE_WRITE_FAILED : RC_OK;
}

ResultCode CAtomicFile::WriteAt(const void* data, size_t size, uint64_t offset)
{
    if (m_Fd < 0 || m_Failed) return RC_FILE_WRITE_FAILED;
    if (!WriteAllAt(m_Fd, static_cast<const char*>(data), size, offset)) m_Failed = true;
    return m_Failed ? RC_FILE_WRITE_FAILED : RC_OK;
}

ResultCode CAtomicFile::Commit(CommitMode mode)
{
    if (m_Fd < 0) return RC_FILE_WRITE_FAILED;
    bool written = !m_Failed && (mode == CommitMode::Quick || ::fsync(m_Fd) == 0);
    // The close reports the last write errors; a second descriptor keeps the lock until the
    // rename, so that no sweep takes the file in between.
    int lockHolder = ::fcntl(m_Fd, F_DUPFD_CLOEXEC, 0);
    if (::close(m_Fd) != 0) written = false;
    m_Fd = lockHolder;
    if (!written) {
        Abandon();
        return RC_FILE_WRITE_FAILED;
    }
    if (::rename(m_TemporaryPath.c_str(), m_TargetPath.c_str()) != 0) {
        Abandon();
        return RC_FILE_RENAME_FAILED;
    }
    ForgetTemporary(m_LiveSlot);
    m_TemporaryPath.clear();
    if (m_Fd >= 0) ::close(m_Fd);
    m_Fd = -1;
    if (mode == CommitMode::Quick) return RC_OK;
    // The rename itself survives a crash only once the folder is on the disk too.
    std::string folder = GetDirectory(m_TargetPath);
    int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return RC_OK;
}

void CAtomicFile::Abandon()
{
    if (m_Fd >= 0) ::close(m_Fd);
    m_Fd = -1;
    if (!m_TemporaryPath.empty()) ::unlink(m_TemporaryPath.c_str());
    ForgetTemporary(m_LiveSlot);
    m_TemporaryPath.clear();
}
