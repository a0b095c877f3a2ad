// ForkedMap: work spread over forked copies of this process.
#include "base/ForkPool.h"

#include "base/Platform_posix.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <new>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

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
