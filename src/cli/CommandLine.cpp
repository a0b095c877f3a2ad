// Command words g, s and c; the usage banner; the "succeed"/message and "return" lines.
#include "cli/CommandLine.h"

#include "base/Platform.h"
#include "base/Progress.h"
#include "core/Engine.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace
{

struct OptionKey {
    const char* option;
    const char* key;
};
const OptionKey SET_OPTIONS[] = {
    {"-t", "title"},
    {"-a", "creator"},
    {"-p", "publisher"},
    {"-l", "language"},
    {"-d", "date_publication"},
    {"-isbn", "identifier_ISBN"},
    {"-asin", "identifier_ASIN"},
    {"-desc", "description"},
    {"-cover", "coverimage"},
};

const char* const USAGE_TEXT =
    "Format:\r\n"
    "    TarvoCmd g <InputFile> <TempDirectory> <MetaDataFile> <CoverImageFile>\r\n"
    "    TarvoCmd s <InputFile> <TempDirectory> <MetaDataFile>\r\n"
    "    TarvoCmd s <InputFile> <TempDirectory> [-t <title>] [-a <author>] [-p <publisher>] [-l <language>] "
    "[-d <publishdate>] [-isbn <ISBN>] [-asin <ASIN>] [-desc <description>] [-cover <cover file name>]\r\n"
    "    TarvoCmd c <InputFile> <OutputFile> <TempDirectory> [-setl <language>] [-setv]\r\n";

void PrintUsage()
{
    const std::string stars(69, '*');
    std::printf("%s\n", stars.c_str());
    std::printf("TarvoCmd 0.8.3 - ebook converter and metadata tool\n");
    std::printf("https://tarvo.example/\n");
    std::printf("%s\n", stars.c_str());
    std::printf("%s\n", USAGE_TEXT);
}

const char* SetOptionKey(const std::string& option)
{
    for (const OptionKey& o : SET_OPTIONS)
        if (option == o.option) return o.key;
    return nullptr;
}

ResultCode RunGet(const std::vector<std::string>& args)
{
    return GetMetaInfoIntoFile(args[2], args[3], args[4], args[5]);
}

// Unknown options stay ignored, but a misspelt one (-title for -t) should not pass unnoticed.
void WarnIgnoredOptions(const std::vector<std::string>& ignoredOptions)
{
    for (const std::string& option : ignoredOptions)
        TellUser("unknown option %s ignored", option.c_str());
}

ResultCode RunSetFromFile(const std::vector<std::string>& args)
{
    std::string text = ReadWholeFile(args[4]);
    if (text.empty()) {
        TellUser("metadata file %s is missing, empty or not a plain file", args[4].c_str());
        return RC_USAGE;
    }
    if (StartsWith(text, "\xEF\xBB\xBF")) text.erase(0, 3);
    return setMetaInfoOrg(args[2], args[3], &text, nullptr);
}

ResultCode RunSetFromOptions(const std::vector<std::string>& args)
{
    CIntermediateBook metadata;
    std::vector<std::string> ignoredOptions;
    ScanSetOptions(args, 4, metadata, ignoredOptions);
    WarnIgnoredOptions(ignoredOptions);
    // Rewriting the book with nothing to change would report success for a misspelt command.
    if (metadata.m_MetaData.empty()) {
        TellUser("no option with a value to set; the book is left as it was");
        return RC_USAGE;
    }
    return setMetaInfoOrg(args[2], args[3], nullptr, &metadata.m_MetaData, ignoredOptions);
}

ResultCode RunConvert(const std::vector<std::string>& args)
{
    CIntermediateBook inParam, outParam;
    std::vector<std::string> ignoredOptions;
    ScanConvertOptions(args, 5, inParam, outParam, ignoredOptions);
    WarnIgnoredOptions(ignoredOptions);
    std::string inText, outText;
    inParam.ToJson(inText);
    outParam.ToJson(outText);
    return convertOrg(args[2], args[3], args[4], inText, outText, ignoredOptions);
}

} // namespace

void ScanSetOptions(const std::vector<std::string>& args, size_t start, CIntermediateBook& metadata,
                    std::vector<std::string>& ignoredOptions)
{
    for (size_t i = start; i < args.size();) {
        if (!StartsWith(args[i], "-")) {
            ++i;
            continue;
        }
        const char* key = SetOptionKey(args[i]);
        if (key == nullptr) {
            ignoredOptions.push_back(args[i++]);
            continue;
        }
        if (++i >= args.size()) break;
        metadata.AddValue(key, args[i]);
        ++i;
    }
}

void ScanConvertOptions(const std::vector<std::string>& args, size_t start, CIntermediateBook& inParam,
                        CIntermediateBook& outParam, std::vector<std::string>& ignoredOptions)
{
    for (size_t i = start; i < args.size();) {
        if (!StartsWith(args[i], "-")) {
            ++i;
            continue;
        }
        const std::string option = args[i++];
        const std::string value = i < args.size() ? args[i] : std::string();
        if (option == "-setl")
            outParam.AddValue("outparam_epubsetlanguage", value), ++i;
        else if (option == "-pdf2html")
            inParam.AddValue("inparam_pdf2html", value), ++i;
        else if (option == "-wk")
            outParam.AddValue("outparam_wkhtmltopdf", value), ++i;
        else if (option == "-setv")
            outParam.AddValue("outparam_bookverticalmode", "1");
        else if (option == "-notidy")
            inParam.AddValue("inparam_notidy", "1");
        else
            ignoredOptions.push_back(option);
    }
}

ResultCode RunCommandLine(const std::vector<std::string>& args)
{
    ResultCode rc = RC_USAGE;
    char command = 0;
    if (args.size() > 1 && args[1].size() == 1) command = static_cast<char>(std::tolower(args[1][0]));
    const size_t argc = args.size();
    try {
        if (command == 'g' && argc == 6)
            rc = RunGet(args);
        else if (command == 's' && argc == 5)
            rc = RunSetFromFile(args);
        else if (command == 's' && argc >= 6)
            rc = RunSetFromOptions(args);
        else if (command == 'c' && argc >= 5)
            rc = RunConvert(args);
    } catch (const std::bad_alloc&) {
        // Memory ran out (under a limit the caller set, say): the job failed, and the caller still
        // reads why from the result line rather than from an abort.
        rc = RC_ALLOC_FAILED;
    } catch (const std::length_error&) {
        rc = RC_ALLOC_FAILED;
    }

    if (rc == RC_USAGE) {
        PrintUsage();
    } else {
        std::printf("%s\n", rc == RC_OK ? "succeed" : ResultMessage(rc));
        std::printf("return %d\n", static_cast<int>(rc));
    }
    std::fflush(stdout);
    return rc;
}

int ExitStatusOf(ResultCode rc)
{
    if (rc == RC_OK) return 0;
    int low = static_cast<int>(rc & 0xFFu);
    return low != 0 ? low : 255;
}
