// Turns the arguments into one engine call and the engine's answer into the printed result.
#pragma once

#include "base/IntermediateBook.h"
#include "base/ResultCode.h"

#include <string>
#include <vector>

// Options of `s` from args[start] on, into the carrier's metadata map; unknown options are
// skipped and listed in ignoredOptions.
void ScanSetOptions(const std::vector<std::string>& args, size_t start, CIntermediateBook& metadata,
                    std::vector<std::string>& ignoredOptions);
// Options of `c` from args[start] on, likewise.
void ScanConvertOptions(const std::vector<std::string>& args, size_t start, CIntermediateBook& inParam,
                        CIntermediateBook& outParam, std::vector<std::string>& ignoredOptions);
// Runs the command and prints its outcome; args[0] is the program name.
ResultCode RunCommandLine(const std::vector<std::string>& args);
// Linux keeps 8 bits of an exit status: never let a failure read as success.
int ExitStatusOf(ResultCode rc);
