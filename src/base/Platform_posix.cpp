// The operating-system side of the platform layer: POSIX files, folders, clock and processes.
#include "base/Platform.h"

#include "base/Platform_confined.h"
#include "base/Process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <new>
#include <sched.h>
#include <set>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr size_t CHUNK = 65536;

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAllAt(int fd, const char* data, size_t size, uint64_t offset)
{
    if (offset > static_cast<uint64_t>(LLONG_MAX) - size) return false;
    while (size > 0) {
        ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

ssize_t ReadSome(int fd, char* data, size_t size)
{
    ssize_t n;
    do
        n = ::read(fd, data, size);
    while (n < 0 && errno == EINTR);
    return n;
}

// Opens a plain file only: a pipe would block the run and a device would never end. O_NONBLOCK
// lets a FIFO without a writer open at once, so it can be told apart and refused.
int OpenRegularFile(const std::string& osPath, int access)
{
    int fd = OpenConfinable(osPath, access | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Copies into a fresh file beside the target, then renames it over the target, so a reader of
// the target sees either the old or the complete new file.
ResultCode CopyIntoPlace(const std::string& osFrom, const std::string& osTo)
{
    int in = OpenRegularFile(osFrom, O_RDONLY);
    if (in < 0) return RC_FILE_OPEN_FAILED;
    CAtomicFile out;
    ResultCode rc = out.Open(osTo);
    std::string buffer(CHUNK, '\0');
    while (rc == RC_OK) {
        ssize_t n = ReadSome(in, &buffer[0], buffer.size());
        if (n < 0) rc = RC_FILE_READ_FAILED;
        if (n <= 0) break;
        rc = out.Write(buffer.data(), static_cast<size_t>(n));
    }
    ::close(in);
    return rc == RC_OK ? out.Commit() : rc;
}

// Sixteen hex digits from the kernel's random source; the clock stands in when it has none, since
// O_EXCL, not the name, is what keeps another file from being taken over.
std::string RandomSuffix()
{
    static uint64_t counter = 0;
    uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        value = (static_cast<uint64_t>(ts.tv_nsec) << 20) ^ static_cast<uint64_t>(ts.tv_sec) ^
                (static_cast<uint64_t>(::getpid()) << 40) ^ ++counter;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

CFile::~CFile()
{
    Close();
}

ResultCode CFile::Open(const std::string& path, bool write, bool create)
{
    Close();
    int access = write ? O_RDWR : O_RDONLY;
    if (create) access |= O_CREAT | O_TRUNC;
    m_Fd = OpenRegularFile(ToOsPath(path), access);
    return m_Fd >= 0 ? RC_OK : RC_FILE_OPEN_FAILED;
}

ResultCode CFile::Read(void* buffer, size_t count)
{
    char* out = static_cast<char*>(buffer);
    while (count > 0) {
        ssize_t n = ReadSome(m_Fd, out, count);
        if (n <= 0) return RC_FILE_READ_FAILED;
        out += n;
        count -= static_cast<size_t>(n);
    }
    return RC_OK;
}

ResultCode CFile::Write(const void* buffer, size_t count)
{
    return WriteAll(m_Fd, static_cast<const char*>(buffer), count) ? RC_OK : RC_FILE_WRITE_FAILED;
}

ResultCode CFile::WriteAt(const void* buffer, size_t count, uint64_t offset)
{
    return WriteAllAt(m_Fd, static_cast<const char*>(buffer), count, offset) ? RC_OK : RC_FILE_WRITE_FAILED;
}

ResultCode CFile::ReadAt(void* buffer, uint64_t offset, size_t& count)
{
    // pread: one call instead of a seek and a read, and no shared file position to disturb.
    if (offset > static_cast<uint64_t>(LLONG_MAX)) {
        count = 0;
        return RC_FILE_SEEK_FAILED;
    }
    size_t got = 0;
    char* out = static_cast<char*>(buffer);
    while (got < count) {
        ssize_t n = ::pread(m_Fd, out + got, count - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            count = got;
            return errno == EINVAL ? RC_FILE_SEEK_FAILED : RC_FILE_READ_FAILED;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    count = got;
    return RC_OK;
}

ResultCode CFile::Size(uint64_t& size) const
{
    struct stat st;
    if (m_Fd < 0 || ::fstat(m_Fd, &st) != 0) return RC_FILE_SIZE_FAILED;
    size = static_cast<uint64_t>(st.st_size);
    return RC_OK;
}

void CFile::Close()
{
    if (m_Fd >= 0) ::close(m_Fd);
    m_Fd = -1;
}

// ---- temporary files of CAtomicFile ------------------------------------------------------------

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
const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

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

ResultCode DeleteFile(const std::string& path)
{
    CConfinableParent place(ToOsPath(path));
    return place.Reached() && ::unlinkat(place.Fd(), place.Name(), 0) == 0 ? RC_OK : RC_FILE_DELETE_FAILED;
}

ResultCode MoveFile(const std::string& from, const std::string& to)
{
    std::string osFrom = ToOsPath(from), osTo = ToOsPath(to);
    // A link moved out of a confined folder would carry its target to wherever the file goes.
    CConfinableParent source(osFrom), target(osTo);
    if (!source.Reached() || !target.Reached() || source.RefuseLink()) return RC_FILE_RENAME_FAILED;
    if (::renameat(source.Fd(), source.Name(), target.Fd(), target.Name()) == 0) return RC_OK;
    if (CopyIntoPlace(osFrom, osTo) != RC_OK) return RC_FILE_RENAME_FAILED;
    ::unlinkat(source.Fd(), source.Name(), 0);
    return RC_OK;
}

ResultCode CopyFile(const std::string& from, const std::string& to)
{
    return CopyIntoPlace(ToOsPath(UrlDecode(from)), ToOsPath(UrlDecode(to)));
}

bool ReadFileBytes(const std::string& path, std::string& bytes)
{
    bytes.clear();
    int fd = OpenRegularFile(ToOsPath(path), O_RDONLY);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
    std::string buffer(CHUNK, '\0');
    bool ok = true;
    for (;;) {
        ssize_t n = ReadSome(fd, &buffer[0], buffer.size());
        if (n < 0) ok = false;
        if (n <= 0) break;
        bytes.append(buffer.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
}

std::string ReadWholeFile(const std::string& path)
{
    std::string bytes;
    // Names that really hold "%" or "+" would be unreachable after decoding: fall back to them.
    if (!ReadFileBytes(UrlDecode(path), bytes) && UrlDecode(path) != path) ReadFileBytes(path, bytes);
    return bytes;
}

ResultCode WriteWholeFile(const std::string& path, const std::string& bytes)
{
    int fd = OpenRegularFile(ToOsPath(path), O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) return RC_FILE_OPEN_FAILED;
    bool ok = WriteAll(fd, bytes.data(), bytes.size());
    if (::close(fd) != 0) ok = false;
    return ok ? RC_OK : RC_FILE_WRITE_FAILED;
}

ResultCode WriteOutputFile(const std::string& path, const std::string& bytes, CommitMode mode)
{
    CAtomicFile out;
    ResultCode rc = out.Open(path);
    if (rc == RC_OK) rc = out.Write(bytes);
    return rc == RC_OK ? out.Commit(mode) : rc;
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

bool SameFile(const std::string& a, const std::string& b)
{
    FileIdentity ia, ib;
    return GetFileIdentity(a, ia) && GetFileIdentity(b, ib) && ia.m_Device == ib.m_Device &&
           ia.m_Inode == ib.m_Inode;
}

bool GetFileIdentity(const std::string& path, FileIdentity& identity)
{
    struct stat st;
    if (::stat(ToOsPath(path).c_str(), &st) != 0) return false;
    identity.m_Device = static_cast<uint64_t>(st.st_dev);
    identity.m_Inode = static_cast<uint64_t>(st.st_ino);
    return true;
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

bool FileExists(const std::string& path)
{
    struct stat st;
    return ::stat(ToOsPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path)
{
    struct stat st;
    return ::stat(ToOsPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint64_t MonotonicMilliseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// ---- work on every core -------------------------------------------------------------------------

namespace
{

// More copies than this gain nothing on the books we see: the archive is written by one process.
constexpr size_t MAX_FORKED = 7;

size_t ForkedCopiesFor(size_t count)
{
    size_t cores = 1;
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) cores = static_cast<size_t>(CPU_COUNT(&set));
    if (const char* wanted = std::getenv("TARVO_WORKERS")) {
        char* end = nullptr;
        unsigned long n = std::strtoul(wanted, &end, 10);
        if (end != wanted && *end == '\0' && n >= 1) cores = n;
    }
    size_t copies = std::min(cores > 0 ? cores - 1 : 0, MAX_FORKED);
    return count > 1 ? std::min(copies, count - 1) : 0;
}

void PutSize(std::string& out, uint64_t value)
{
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Takes items from the shared counter until none is left; a copy reports each result as its
// index, its length and its bytes, all at the end, so that it never waits on this process while
// there is work.
[[noreturn]] void RunForkedCopy(int pipeOut, std::atomic<size_t>& next, size_t count,
                                const std::function<std::string(size_t)>& work)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::string out;
    int status = 0;
    try {
        for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            std::string result = work(i);
            PutSize(out, i);
            PutSize(out, result.size());
            out += result;
        }
    } catch (...) {
        status = 1; // what was finished still goes back; the rest is worked again
    }
    if (!WriteAll(pipeOut, out.data(), out.size())) status = 1;
    ::_exit(status); // no destructor or exit handler of the parent's objects runs in a copy
}

// Reads a copy's report to its end and files every whole record; a report cut short (the copy
// died) leaves the rest of its items undone.
void CollectForkedResults(int pipeIn, std::vector<std::string>& results, std::vector<bool>& done)
{
    std::string report;
    char buffer[CHUNK];
    for (ssize_t n = ReadSome(pipeIn, buffer, sizeof buffer); n > 0;
         n = ReadSome(pipeIn, buffer, sizeof buffer))
        report.append(buffer, static_cast<size_t>(n));
    constexpr size_t HEAD = 2 * sizeof(uint64_t);
    size_t at = 0;
    while (report.size() - at >= HEAD) {
        uint64_t index = 0, size = 0;
        std::memcpy(&index, report.data() + at, sizeof index);
        std::memcpy(&size, report.data() + at + sizeof index, sizeof size);
        if (index >= results.size() || size > report.size() - at - HEAD) break;
        results[index].assign(report, at + HEAD, size);
        done[index] = true;
        at += HEAD + size;
    }
}

} // namespace

std::vector<std::string> ForkedMap(size_t count, const std::function<std::string(size_t)>& work)
{
    std::vector<std::string> results(count);
    std::vector<bool> done(count, false);
    size_t copies = ForkedCopiesFor(count);
    void* shared = copies > 0 ? ::mmap(nullptr, sizeof(std::atomic<size_t>), PROT_READ | PROT_WRITE,
                                       MAP_SHARED | MAP_ANONYMOUS, -1, 0)
                              : MAP_FAILED;
    if (shared == MAP_FAILED) copies = 0;
    std::atomic<size_t>* next = copies > 0 ? new (shared) std::atomic<size_t>(0) : nullptr;

    struct Copy {
        pid_t pid;
        int pipeIn;
    };
    std::vector<Copy> started;
    for (size_t c = 0; c < copies; ++c) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) break;
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            RunForkedCopy(fds[1], *next, count, work);
        }
        ::close(fds[1]);
        if (pid < 0) {
            ::close(fds[0]);
            break;
        }
        started.push_back({pid, fds[0]});
    }
    // Our own failure waits until the copies are collected, so that none is left behind.
    std::exception_ptr failure;
    try {
        for (size_t i = next != nullptr ? next->fetch_add(1) : count; i < count; i = next->fetch_add(1)) {
            results[i] = work(i);
            done[i] = true;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    for (const Copy& copy : started) {
        CollectForkedResults(copy.pipeIn, results, done);
        ::close(copy.pipeIn);
        int status = 0;
        while (::waitpid(copy.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (shared != MAP_FAILED) ::munmap(shared, sizeof(std::atomic<size_t>));
    if (failure) std::rethrow_exception(failure);
    for (size_t i = 0; i < count; ++i)
        if (!done[i]) results[i] = work(i);
    return results;
}
