// Starting other programs: argument vectors only, absolute paths only, every exit examined.
#include "base/Process.h"

#include "base/Folders.h"
#include "base/Paths.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

std::vector<std::string> SplitCommandLine(const std::string& text)
{
    std::vector<std::string> args;
    std::string current;
    bool inArg = false, quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\') {
            size_t run = 0;
            while (i < text.size() && text[i] == '\\')
                ++run, ++i;
            if (i < text.size() && text[i] == '"') {
                current.append(run / 2, '\\');
                if (run % 2)
                    current += '"';
                else
                    quoted = !quoted;
            } else {
                current.append(run, '\\');
                --i;
            }
            inArg = true;
        } else if (c == '"') {
            // A doubled quote inside a quoted run stands for one quote character.
            if (quoted && i + 1 < text.size() && text[i + 1] == '"')
                current += '"', ++i;
            else
                quoted = !quoted;
            inArg = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inArg) args.push_back(current);
            current.clear();
            inArg = false;
        } else {
            current += c;
            inArg = true;
        }
    }
    if (inArg) args.push_back(current);
    return args;
}

std::string ExecutableDirectory()
{
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "";
    return GetDirectory(std::string(buffer, static_cast<size_t>(n)));
}

std::string HelperPathIn(const std::string& executableDirectory, const std::string& name)
{
    // A relative folder would be resolved against the working folder.
    if (executableDirectory.empty() || !IsSeparator(executableDirectory.front())) return "";
    std::string folder = executableDirectory;
    if (!IsSeparator(folder.back())) folder += '/';
    const std::string installed = folder + TARVO_HELPERS_FROM_BIN;
    return (DirectoryExists(installed) ? installed : folder) + name;
}

std::string HelperPath(const std::string& name)
{
    return HelperPathIn(ExecutableDirectory(), name);
}

namespace
{

// The program RunProgram is running, for the stop signal handler. The owner is the process that
// started it: a forked copy inherits the values and must not end its parent's program. One at a
// time per process; a second one at the same time (no caller does that) goes unwatched.
std::atomic<pid_t> g_ProgramOwner{0}; // 0: none; -1: being filled
std::atomic<pid_t> g_Program{0};
static_assert(std::atomic<pid_t>::is_always_lock_free, "a signal handler reads them");

// Decimal digits of a pid into out, without allocating; returns the end.
char* AppendNumber(char* out, long value)
{
    char digits[24];
    int n = 0;
    do
        digits[n++] = static_cast<char>('0' + value % 10);
    while ((value /= 10) > 0 && n < 24);
    while (n > 0)
        *out++ = digits[--n];
    return out;
}

// Adds the children of pid, as /proc lists those of its main thread, to the list; false when the
// list is full. Helpers start their programs from their main thread.
bool AddChildren(pid_t pid, pid_t* list, size_t& count, size_t capacity)
{
    char path[64] = "/proc/";
    char* end = AppendNumber(path + 6, pid);
    std::memcpy(end, "/task/", 6);
    end = AppendNumber(end + 6, pid);
    std::memcpy(end, "/children", 10);
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char buffer[4096];
    long value = 0;
    bool inNumber = false, room = true;
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && room; ++i) {
            if (buffer[i] >= '0' && buffer[i] <= '9') {
                value = value * 10 + (buffer[i] - '0');
                inNumber = value <= INT_MAX;
                if (!inNumber) value = 0;
            } else {
                if (inNumber && count < capacity) list[count++] = static_cast<pid_t>(value);
                room = count < capacity;
                inNumber = false;
                value = 0;
            }
        }
    }
    if (inNumber && count < capacity) list[count++] = static_cast<pid_t>(value);
    ::close(fd);
    return room;
}

// While a stop signal could arrive, so that no program starts unrecorded.
class StopSignalsBlocked
{
  public:
    StopSignalsBlocked()
    {
        sigset_t stops;
        sigemptyset(&stops);
        for (int signal : STOP_SIGNALS)
            sigaddset(&stops, signal);
        m_Blocked = ::pthread_sigmask(SIG_BLOCK, &stops, &m_Previous) == 0;
    }
    ~StopSignalsBlocked()
    {
        if (m_Blocked) ::pthread_sigmask(SIG_SETMASK, &m_Previous, nullptr);
    }
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;
    // The mask the program starts with: ours before the block.
    const sigset_t& Previous() const { return m_Previous; }

  private:
    sigset_t m_Previous;
    bool m_Blocked = false;
};

} // namespace

void EndRunningProgram(int signal)
{
    if (g_ProgramOwner.load() != ::getpid()) return;
    const pid_t program = g_Program.load();
    if (program <= 0) return;
    // Each process found is stopped before its children are read, so that none starts another
    // unseen; all are sent the signal, then let go on to act on it. A tree larger than the list
    // has its first processes ended, the program among them.
    constexpr size_t CAPACITY = 256;
    pid_t found[CAPACITY];
    size_t count = 0;
    found[count++] = program;
    for (size_t i = 0; i < count; ++i) {
        ::kill(found[i], SIGSTOP);
        if (!AddChildren(found[i], found, count, CAPACITY)) break;
    }
    for (size_t i = 0; i < count; ++i) {
        ::kill(found[i], signal);
        ::kill(found[i], SIGCONT);
    }
    // The program's own clean-up (cov removes its partial PDF) ends before we do, so that whoever
    // waits for us finds nothing more written; one that ignores the signal is not waited for long.
    const struct timespec pause = {0, 20 * 1000 * 1000};
    for (int tries = 0; tries < 100 && ::waitpid(program, nullptr, WNOHANG) == 0; ++tries)
        ::nanosleep(&pause, nullptr);
}

ProgramExit RunProgram(const std::string& program, const std::vector<std::string>& arguments)
{
    ProgramExit exit;
    // posix_spawn takes a bare or relative name relative to the working folder.
    std::string path = ToOsPath(program);
    if (path.empty() || path.front() != '/') return exit;
    std::vector<char*> argv;
    argv.push_back(&path[0]);
    std::vector<std::string> args = arguments;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    WatchStopSignals();
    pid_t pid = 0;
    pid_t none = 0;
    const bool watched = g_ProgramOwner.compare_exchange_strong(none, -1);
    {
        StopSignalsBlocked blocked;
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setsigmask(&attributes, &blocked.Previous());
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        const int spawned = ::posix_spawn(&pid, path.c_str(), nullptr, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        if (watched) {
            g_Program.store(spawned == 0 ? pid : 0);
            g_ProgramOwner.store(spawned == 0 ? ::getpid() : 0);
        }
        if (spawned != 0) return exit;
    }
    exit.started = true;
    int status = 0;
    pid_t ended = 0;
    while ((ended = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (watched) {
        g_ProgramOwner.store(-1);
        g_Program.store(0);
        g_ProgramOwner.store(0);
    }
    if (ended != pid) return exit;
    if (WIFEXITED(status)) exit.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) exit.signal = WTERMSIG(status);
    return exit;
}

std::string DescribeExit(const ProgramExit& exit)
{
    if (!exit.started) return "not started";
    if (exit.signal != 0) return "signal " + std::to_string(exit.signal);
    if (exit.status < 0) return "lost track of it";
    return "exit status " + std::to_string(exit.status);
}
