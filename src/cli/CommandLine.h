// Turns the arguments into one engine call and the engine's answer into the printed result.
#pragma once

#include "base/IntermediateBook.h"
#include "base/ResultCode.h"

#include <string>
#include <vector>

// What a scan of the options found besides the values it stored.
struct OptionScan {
    std::vector<std::string> ignoredOptions;   // unknown options, as typed
    std::vector<std::string> ignoredWords;     // plain words where an option was expected
    std::vector<std::string> valuelessOptions; // known options of `s` with nothing after them
    std::string usageError;                    // why the command line is malformed; empty if it is not
};

// Options of `s` from args[start] on, into the carrier's metadata map.
void ScanSetOptions(const std::vector<std::string>& args, size_t start, CIntermediateBook& metadata,
                    OptionScan& scan);
// Options of `c` from args[start] on, likewise.
void ScanConvertOptions(const std::vector<std::string>& args, size_t start, CIntermediateBook& inParam,
                        CIntermediateBook& outParam, OptionScan& scan);
// A language tag's shape: two or three letters, then any number of subtags of one to eight
// letters or digits, each after a "-" (en, pt-BR, zh-Hant-TW, de-CH-1996, en-x-mine).
bool IsLanguageTag(const std::string& text);
// Runs the command and prints its outcome; args[0] is the program name.
ResultCode RunCommandLine(const std::vector<std::string>& args);
// Linux keeps 8 bits of an exit status: never let a failure read as success.
int ExitStatusOf(ResultCode rc);
