// A scratch folder for one fuzzing run, removed when the run ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

// The folder (ending in "/") made once from pattern, a mkdtemp template such as
// "/tmp/x-XXXXXX". Never destroyed, so the exit handler that removes the folder can still read it.
inline const std::string& FuzzScratch(const char* pattern)
{
    static const std::string* dir = [pattern] {
        // Pages are worked in this process only: a fault must show in the process the fuzzer
        // watches, and forking for every input would slow it down.
        setenv("TARVO_WORKERS", "1", 1);
        std::string name = pattern;
        const char* made = mkdtemp(name.data());
        if (made == nullptr) std::abort();
        auto* folder = new std::string(std::string(made) + "/");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(FuzzScratch(nullptr), ec);
        });
        return folder;
    }();
    return *dir;
}
