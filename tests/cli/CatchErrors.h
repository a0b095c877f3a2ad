// Running the built program with its standard error caught as well as its standard output.
#pragma once

#include "TestSupport.h"
#include "base/Files.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

// The program's standard error, caught by pointing this process's own at a file while it runs.
inline CommandRun RunCatchingErrors(const std::vector<std::string>& args, const ScratchDir& scratch,
                                    std::string& errors)
{
    const std::string path = scratch / "stderr.txt";
    std::fflush(stderr);
    int saved = ::dup(2);
    int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(file, 2);
    ::close(file);
    CommandRun run = RunTarvoCmd(args, scratch.Path());
    ::dup2(saved, 2);
    ::close(saved);
    errors = ReadWholeFile(path);
    DeleteFile(path);
    return run;
}
