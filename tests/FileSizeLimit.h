// Writes that fail as on a full disk, for root too: files may not grow past a limit, and the signal
// the kernel sends for that is ignored so the write itself fails.
#pragma once

#include "base/ResultCode.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// The limit for this process while the object lives.
class FileSizeLimit
{
  public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_Old);
        m_OldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_Old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_Old);
        std::signal(SIGXFSZ, m_OldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit m_Old{};
    void (*m_OldHandler)(int) = SIG_DFL;
};

// Runs step in a child under the limit, so that the test's own files (the run log) are not held to
// it; RC_OK when the child could not report.
template <typename Step> ResultCode RunWithFileSizeLimit(rlim_t limit, Step step)
{
    int fds[2];
    if (::pipe(fds) != 0) return RC_OK;
    pid_t pid = ::fork();
    if (pid == 0) {
        FileSizeLimit limited(limit);
        ResultCode rc = step();
        [[maybe_unused]] ssize_t n = ::write(fds[1], &rc, sizeof rc);
        ::_exit(0);
    }
    ::close(fds[1]);
    ResultCode rc = RC_OK;
    if (pid < 0 || ::read(fds[0], &rc, sizeof rc) != static_cast<ssize_t>(sizeof rc)) rc = RC_OK;
    ::close(fds[0]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    return rc;
}
