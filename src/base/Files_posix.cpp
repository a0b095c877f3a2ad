// Files through POSIX calls: CFile, whole-file reads and writes, copies and moves.
#include "base/Files.h"

#include "base/Paths.h"
#include "base/Platform_confined.h"
#include "base/Platform_posix.h"
#include "base/Text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace
{

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
    return CopyIntoPlace(ToOsPath(from), ToOsPath(to));
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
    ReadFileBytes(path, bytes);
    return bytes;
}

std::string BookFilePath(const std::string& directory, const std::string& name)
{
    std::string decoded = directory + UrlDecode(name);
    return FileExists(decoded) ? decoded : directory + name;
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

bool FileExists(const std::string& path)
{
    struct stat st;
    return ::stat(ToOsPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
