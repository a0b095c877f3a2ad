// The per-run log file beside the TempDirectory: one timed line per step, filed under "OK" on success.
#pragma once

#include "base/LogFile.h"
#include "base/ResultCode.h"

#include <cstdint>
#include <string>

enum LogLevel : int32_t { LOG_INFO = 1, LOG_WARNING = 2, LOG_ERROR = 3 };

class CRunLog
{
  public:
    CRunLog() = default;
    ~CRunLog();
    CRunLog(const CRunLog&) = delete;
    CRunLog& operator=(const CRunLog&) = delete;

    ResultCode Init(const std::string& tempDirectory, const std::string& inputFile);
    // Appends the level, the milliseconds since the previous line and the formatted text.
    ResultCode Write(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void WriteElapsed();
    ResultCode FileAsSuccess();

    bool IsOpen() const { return m_File.IsOpen(); }
    // Full path of the log file while it is open or until it is filed.
    std::string FilePath() const { return m_Directory + m_FileName; }

  private:
    void Close();

    static constexpr size_t LINE_BUFFER_SIZE = 65536;
    char m_Line[LINE_BUFFER_SIZE] = {};
    CLogFile m_File;
    std::string m_Directory; // ends with a separator
    std::string m_FileName;
    int32_t m_MinimumLevel = LOG_INFO;
    uint64_t m_PreviousMs = 0;
    uint64_t m_StartMs = 0;
};

// "CHtmlParse::Init" out of the compiler's full signature text.
std::string LogFunctionName(const char* prettyFunction);
void LogLine(CRunLog* log, int level, const char* file, int line, const char* prettyFunction,
             const char* format, ...) __attribute__((format(printf, 6, 7)));

// Every step line reads "[file:line][function] text\r\n"; nothing happens without a log.
#define TARVO_LOG(log, level, ...)                                                                           \
    LogLine((log), (level), __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
