// Other programs: our own helpers, found only in the program's own helper folder, and any program
// started from an argument vector with its exit checked.
#pragma once

#include <csignal>
#include <string>
#include <vector>

// Splits a parameter text a user gave on the command line the way a Windows command line is split:
// blanks separate, double quotes group, backslashes escape a quote only when they precede one.
std::vector<std::string> SplitCommandLine(const std::string& text);

// Folder of the running executable, ending in "/"; empty when unknown.
std::string ExecutableDirectory();

// Where a helper program or data file of ours lies, given the folder of the executable: the
// installed layout's helper folder (../libexec/tarvo/ from bin/) when that folder exists, else
// beside the executable (the build tree). The folder is chosen as a whole, so an unrelated program of the
// same name beside an installed TarvoCmd (poppler's pdftohtml in /usr/bin) is never taken for ours. Empty
// when the executable's folder is unknown; never the working folder, never PATH.
std::string HelperPathIn(const std::string& executableDirectory, const std::string& name);
// The same for the running executable.
std::string HelperPath(const std::string& name);

// How a program run ended.
struct ProgramExit {
    bool started = false; // false: missing, not executable, or not named by an absolute path
    int status = -1;      // the exit status when it ended by itself, else -1
    int signal = 0;       // the signal that ended it, else 0

    bool Succeeded() const { return started && status == 0; }
};

// Starts the program at an absolute path with exactly these arguments (no shell, no PATH search,
// nothing re-split) and waits for it to end. The program stays in our process group, so that a
// signal sent to the group (Ctrl-C, a batch's time limit) reaches it and all it started; and while
// it runs, a stop signal that ends this process ends it and its descendants too.
ProgramExit RunProgram(const std::string& program, const std::vector<std::string>& arguments);

// From the stop signal handler (async-signal-safe): sends the signal to the program RunProgram of
// this process is running and to all its descendants, found through /proc whatever their process
// group; only one whose parent ended before it (and so was handed to init) is out of reach.
void EndRunningProgram(int signal);
// The signals that stop a run: each removes its temporary files and ends the program it runs.
inline constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
// Installs the stop signal handler (SIGINT, SIGTERM, SIGHUP left to their default action), which
// removes the live temporary files and ends the running program before the process ends.
void WatchStopSignals();

// "exit status 3", "signal 9" or "not started", for messages.
std::string DescribeExit(const ProgramExit& exit);
