// Starting other programs: argument vectors only, absolute paths only, every exit examined.
#include "base/Process.h"

#include "base/Platform.h"

#include <cerrno>
#include <climits>
#include <spawn.h>
#include <sys/wait.h>
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

    pid_t pid = 0;
    if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return exit;
    exit.started = true;
    int status = 0;
    pid_t ended = 0;
    while ((ended = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
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
