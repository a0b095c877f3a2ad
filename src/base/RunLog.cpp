// Run log: the file lives in "<parent of TempDirectory>/marlek_log/<TempDirectory name>.txt".
#include "base/RunLog.h"

#include "base/Platform.h"
#include "base/Platform_confined.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr size_t MAX_LOG_PATH = 250;

const char* LevelName(int level)
{
    switch (level) {
    case LOG_INFO:
        return "INFO";
    case LOG_WARNING:
        return "Warning";
    case LOG_ERROR:
        return "ERROR";
    default:
        return "Unknown";
    }
}

bool WriteBytes(int fd, const char* data, size_t size)
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

// Makes the folder if need be and opens it, refusing a symbolic link in its place: someone else
// may have made the log folders first, and a link there would carry the log, and the removal of
// an older one, into any folder.
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

CRunLog::~CRunLog()
{
    Close();
}

void CRunLog::Close()
{
    for (int* fd : {&m_Fd, &m_FolderFd, &m_OkFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

ResultCode CRunLog::Init(const std::string& tempDirectory, const std::string& inputFile)
{
    Close();
    m_MinimumLevel = LOG_INFO;
    m_FileName.clear();

    std::string dir = tempDirectory;
    if (!dir.empty() && IsSeparator(dir.back())) dir.pop_back();
    size_t sep = LastSeparator(dir);
    if (dir.empty() || sep == 0) return RC_LOG_INIT_FAILED;
    // A bare name is a folder of the working directory, and its log goes beside it there.
    if (sep == std::string::npos) {
        dir = "./" + dir;
        sep = 1;
    }

    std::string fileName = dir.substr(sep + 1) + ".txt";
    std::string logDirectory = dir.substr(0, sep + 1) + "marlek_log/";
    if (logDirectory.size() + fileName.size() > MAX_LOG_PATH) {
        if (logDirectory.size() >= MAX_LOG_PATH - 4) return RC_LOG_INIT_FAILED;
        fileName = fileName.substr(0, MAX_LOG_PATH - 4 - logDirectory.size()) + ".txt";
    }

    // The folder that holds marlek_log is the user's and is followed like the TempDirectory's name.
    int parent = ::open(ToOsPath(dir.substr(0, sep + 1)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) return RC_LOG_INIT_FAILED;
    m_FolderFd = OpenLogFolder(parent, "marlek_log", logDirectory.substr(0, logDirectory.size() - 1));
    ::close(parent);
    if (m_FolderFd >= 0) m_OkFd = OpenLogFolder(m_FolderFd, "OK", logDirectory + "OK");
    if (m_OkFd >= 0) m_Fd = CreateLogFile(m_FolderFd, fileName);
    if (m_Fd < 0) {
        Close();
        return RC_LOG_INIT_FAILED;
    }
    std::string header = std::string("Tarvo      Version: ") + PRODUCT_VERSION +
                         "   BuildNo: " + PRODUCT_BUILD + "\r\n" + inputFile + "\r\n";
    if (!WriteBytes(m_Fd, header.data(), header.size())) {
        ::unlinkat(m_FolderFd, fileName.c_str(), 0);
        Close();
        return RC_LOG_INIT_FAILED;
    }
    m_Directory = logDirectory;
    m_FileName = fileName;
    m_StartMs = m_PreviousMs = MonotonicMilliseconds();
    return RC_OK;
}

ResultCode CRunLog::Write(int level, const char* format, ...)
{
    if (level < m_MinimumLevel) return RC_OK;
    if (m_Fd < 0) return RC_LOG_WRITE_FAILED;
    uint64_t now = MonotonicMilliseconds();
    int elapsed = static_cast<int>(now - m_PreviousMs);
    m_PreviousMs = now;

    int used = std::snprintf(m_Line, sizeof m_Line, "%s:%10d", LevelName(level), elapsed);
    va_list args;
    va_start(args, format);
    int text = std::vsnprintf(m_Line + used, sizeof m_Line - static_cast<size_t>(used), format, args);
    va_end(args);
    if (text < 0) return RC_LOG_WRITE_FAILED;
    // A line longer than the buffer is cut; the cut line still ends the way every line does.
    size_t length = static_cast<size_t>(used) + static_cast<size_t>(text);
    if (length >= sizeof m_Line) {
        length = sizeof m_Line - 1;
        m_Line[length - 2] = '\r';
        m_Line[length - 1] = '\n';
    }
    return WriteBytes(m_Fd, m_Line, length) ? RC_OK : RC_LOG_WRITE_FAILED;
}

void CRunLog::WriteElapsed()
{
    if (m_Fd < 0) return;
    int n = std::snprintf(m_Line, sizeof m_Line, "Use time(ms): %10d\r\n",
                          static_cast<int>(m_PreviousMs - m_StartMs));
    WriteBytes(m_Fd, m_Line, static_cast<size_t>(n));
}

ResultCode CRunLog::FileAsSuccess()
{
    if (m_FileName.empty()) {
        Close();
        return RC_OK;
    }
    // rename replaces whatever name is already in OK/ and never writes through it; a copy, as a
    // move across file systems would make, could. Both folders are the ones opened at Init, so a
    // link put in their place since is never followed.
    const bool filed = ::renameat(m_FolderFd, m_FileName.c_str(), m_OkFd, m_FileName.c_str()) == 0;
    m_FileName.clear();
    Close();
    return filed ? RC_OK : RC_FILE_RENAME_FAILED;
}

std::string LogFunctionName(const char* prettyFunction)
{
    std::string text = prettyFunction;
    size_t paren = text.find('(');
    if (paren != std::string::npos) text.erase(paren);
    size_t blank = text.rfind(' ');
    if (blank != std::string::npos) text.erase(0, blank + 1);
    while (!text.empty() && (text[0] == '*' || text[0] == '&'))
        text.erase(0, 1);
    return text;
}

void LogLine(CRunLog* log, int level, const char* file, int line, const char* prettyFunction,
             const char* format, ...)
{
    if (log == nullptr || !log->IsOpen()) return;
    va_list args, sizing;
    va_start(args, format);
    va_copy(sizing, args);
    int size = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0) std::vsnprintf(&text[0], text.size() + 1, format, args);
    va_end(args);
    log->Write(level, "[%s:%d][%s] %s\r\n", file, line, LogFunctionName(prettyFunction).c_str(),
               text.c_str());
}
