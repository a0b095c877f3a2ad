// Run log: the file lives in "<parent of TempDirectory>/marlek_log/<TempDirectory name>.txt".
#include "base/RunLog.h"

#include "base/Clock.h"
#include "base/Paths.h"

#include <cstdarg>
#include <cstdio>

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

} // namespace

CRunLog::~CRunLog()
{
    Close();
}

void CRunLog::Close()
{
    m_File.Close();
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
    if (!m_File.Create(dir.substr(0, sep + 1), fileName, logDirectory.substr(0, logDirectory.size() - 1)))
        return RC_LOG_INIT_FAILED;
    std::string header = std::string("Tarvo      Version: ") + PRODUCT_VERSION +
                         "   BuildNo: " + PRODUCT_BUILD + "\r\n" + inputFile + "\r\n";
    if (!m_File.Write(header.data(), header.size())) {
        m_File.Remove();
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
    if (!m_File.IsOpen()) return RC_LOG_WRITE_FAILED;
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
    return m_File.Write(m_Line, length) ? RC_OK : RC_LOG_WRITE_FAILED;
}

void CRunLog::WriteElapsed()
{
    if (!m_File.IsOpen()) return;
    int n = std::snprintf(m_Line, sizeof m_Line, "Use time(ms): %10d\r\n",
                          static_cast<int>(m_PreviousMs - m_StartMs));
    m_File.Write(m_Line, static_cast<size_t>(n));
}

ResultCode CRunLog::FileAsSuccess()
{
    if (m_FileName.empty()) {
        Close();
        return RC_OK;
    }
    m_FileName.clear();
    return m_File.FileAsSuccess() ? RC_OK : RC_FILE_RENAME_FAILED;
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
