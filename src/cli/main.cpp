// Entry point: arguments arrive as UTF-8 bytes and are passed on unchanged.
#include "cli/CommandLine.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv, argv + argc);
    return ExitStatusOf(RunCommandLine(args));
}
