// Turns the arguments into one engine call and the engine's answer into the printed result.
#pragma once

#include "base/IntermediateBook.h"
#include "base/ResultCode.h"

#include <string>
#include <vector>

// Options of `s` from args[start] on, into the carrier's metadata map.
void ScanSetOptions(const std::vector<std::string>& args, size_t start, CIntermediateBook& metadata);
// Options of `c` from args[start] on.
void ScanConvertOptions(const std::vector<std::string>& args, size_t start, CIntermediateBook& inParam,
                        CIntermediateBook& outParam);
// Runs the command and prints its outcome; args[0] is the program name.
ResultCode RunCommandLine(const std::vector<std::string>& args);
// Linux keeps 8 bits of an exit status: never let a failure read as success.
int ExitStatusOf(ResultCode rc);
