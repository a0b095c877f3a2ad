// Shared test helpers: scratch folders and running the built TarvoCmd.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

// The factor a loaded machine gets on wall-clock limits, as the test command measures it
// (TARVO_TIME_SCALE); 1 when unset or not a positive number.
inline double TimeScale()
{
    const char* text = std::getenv("TARVO_TIME_SCALE");
    if (text == nullptr) return 1;
    char* end = nullptr;
    double scale = std::strtod(text, &end);
    return end != text && *end == '\0' && scale > 0 && scale < 1000 ? scale : 1;
}

// A fresh folder under /tmp, removed with everything in it when the test ends.
class ScratchDir
{
  public:
    ScratchDir()
    {
        char pattern[] = "/tmp/tarvo-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        m_Path = made ? made : "";
    }
    ~ScratchDir()
    {
        if (!m_Path.empty()) std::system(("rm -rf '" + m_Path + "'").c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    // The folder with a trailing "/".
    std::string Path() const { return m_Path + "/"; }
    std::string operator/(const std::string& name) const { return m_Path + "/" + name; }

  private:
    std::string m_Path;
};

struct CommandRun {
    std::string out;
    int exitStatus = -1;
};

// Runs the program with the arguments (no shell), in the given working folder.
inline CommandRun RunProgramCapture(const std::string& program, const std::vector<std::string>& args,
                                    const std::string& workingDirectory)
{
    CommandRun run;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    if (!workingDirectory.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned == 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
            run.out.append(buffer, static_cast<size_t>(n));
        int status = 0;
        ::waitpid(pid, &status, 0);
        run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ::close(pipeFds[0]);
    return run;
}

inline CommandRun RunTarvoCmd(const std::vector<std::string>& args, const std::string& workingDirectory = "")
{
    return RunProgramCapture(TARVO_CMD_PATH, args, workingDirectory);
}

inline std::string DataPath(const std::string& relative)
{
    return std::string(TARVO_TEST_DATA) + "/" + relative;
}

// Bytes as lower-case hexadecimal, for digests and keys.
inline std::string Hex(const std::string& bytes)
{
    static const char* const DIGITS = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += DIGITS[c >> 4];
        hex += DIGITS[c & 15];
    }
    return hex;
}

// Whole-program and memory checks take seconds; they run from the ctest entries labelled slow,
// which set this.
inline bool SlowChecksWanted()
{
    const char* wanted = std::getenv("TARVO_SLOW_CHECKS");
    return wanted != nullptr && *wanted != '\0';
}

// Address-space limits mean nothing where a sanitizer maps terabytes of shadow memory.
#if defined(__SANITIZE_ADDRESS__)
#define TARVO_SHADOW_MEMORY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVO_SHADOW_MEMORY 1
#endif
#endif
#ifdef TARVO_SHADOW_MEMORY
constexpr bool ADDRESS_SPACE_IS_MEASURABLE = false;
#else
constexpr bool ADDRESS_SPACE_IS_MEASURABLE = true;
#endif
