// Command words g, s and c; the usage banner; the "succeed"/message and "return" lines.
#include "cli/CommandLine.h"

#include "base/Platform.h"
#include "base/Progress.h"
#include "cli/Facts.h"
#include "core/EbookRegistry.h"
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

const char* const CONVERT_OPTIONS_TEXT =
    "    TarvoCmd --help | -h | --version\n"
    "    TarvoCmd --facts     what this build reads and writes, its notice and DRM codes and cover\n"
    "                         types, as one JSON object (for programs that drive TarvoCmd)\n"
    "Options of c:\n"
    "    -setl <language>     language of EPUB, MOBI, AZW and AZW3 output: a tag such as en, pt-BR or\n"
    "                         zh-Hant (2 or 3 letters, then subtags of 1 to 8 letters or digits after "
    "\"-\")\n"
    "    -setv                vertical writing (EPUB, MOBI, AZW and AZW3 output)\n"
    "    -notidy              accepted; changes nothing\n"
    "    -pdf2html <options>  options of poppler's pdftohtml, replacing TarvoCmd's own (PDF input)\n"
    "    -wk <options>        further options of the PDF renderer (PDF output)\n";

std::string FormatList(ConversionSide side)
{
    std::string list;
    for (const std::string& extension : ConvertedExtensions(side))
        list += (list.empty() ? "" : ", ") + extension;
    return list + (side == ConversionSide::Input ? " (a name without extension is read as EPUB)"
                                                 : " (a name without extension is written as EPUB)");
}

// The four "Format:" lines come first and unchanged, ended as callers that parse them expect;
// what was added since follows them.
void PrintUsage()
{
    const std::string stars(69, '*');
    std::printf("%s\n", stars.c_str());
    std::printf("TarvoCmd %s - ebook converter and metadata tool\n", PRODUCT_VERSION);
    std::printf("https://tarvo.example/\n");
    std::printf("%s\n", stars.c_str());
    std::printf("%s\n", USAGE_TEXT);
    std::printf("%s", CONVERT_OPTIONS_TEXT);
    std::printf("Formats read:    %s\n", FormatList(ConversionSide::Input).c_str());
    std::printf("Formats written: %s\n", FormatList(ConversionSide::Output).c_str());
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

// Unknown options and stray words stay ignored, but a misspelt option (-title for -t) or a value
// typed without its option should not pass unnoticed.
void WarnIgnored(const OptionScan& scan)
{
    for (const std::string& option : scan.ignoredOptions)
        TellUser("unknown option %s ignored", option.c_str());
    for (const std::string& word : scan.ignoredWords)
        TellUser("ignored argument: %s", word.c_str());
    for (const std::string& option : scan.valuelessOptions)
        TellUser("%s has no value after it; nothing set for it", option.c_str());
}

// An extension `c` cannot use is refused before the TempDirectory is touched, rather than found
// out by the engine after the run has been prepared.
bool RefuseExtension(const std::string& path, ConversionSide side)
{
    const std::string word = FormatWordOf(path);
    if (Converts(word, side)) return false;
    const char* done = side == ConversionSide::Input ? "read" : "written";
    const std::string what = word.empty() ? "a name ending in \".\"" : "." + word + " files";
    TellUser("%s: %s cannot be %s; formats %s: %s", path.c_str(), what.c_str(), done, done,
             FormatList(side).c_str());
    return true;
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
    OptionScan scan;
    ScanSetOptions(args, 4, metadata, scan);
    if (!scan.usageError.empty()) {
        TellUser("%s", scan.usageError.c_str());
        return RC_USAGE;
    }
    WarnIgnored(scan);
    // Rewriting the book with nothing to change would report success for a misspelt command.
    if (metadata.m_MetaData.empty()) {
        TellUser("no option with a value to set; the book is left as it was");
        return RC_USAGE;
    }
    return setMetaInfoOrg(args[2], args[3], nullptr, &metadata.m_MetaData, scan.ignoredOptions);
}

ResultCode RunConvert(const std::vector<std::string>& args)
{
    CIntermediateBook inParam, outParam;
    OptionScan scan;
    ScanConvertOptions(args, 5, inParam, outParam, scan);
    if (!scan.usageError.empty()) {
        TellUser("%s", scan.usageError.c_str());
        return RC_USAGE;
    }
    WarnIgnored(scan);
    if (RefuseExtension(args[2], ConversionSide::Input) || RefuseExtension(args[3], ConversionSide::Output))
        return RC_NOT_SUPPORT;
    std::string inText, outText;
    inParam.ToJson(inText);
    outParam.ToJson(outText);
    return convertOrg(args[2], args[3], args[4], inText, outText, scan.ignoredOptions);
}

// "GetEbook init failed!" stands for two causes; the person who typed the line learns which.
void ExplainGetEbookFailure(ResultCode rc, char command, const std::vector<std::string>& args)
{
    if (rc != RC_GETEBOOK_FAILED) return;
    const std::string& input = args[2];
    const std::string word = FormatWordOf(input);
    if (!KnowsFormat(word))
        TellUser("%s: %s are no books TarvoCmd knows; it reads %s", input.c_str(),
                 word.empty() ? "names ending in \".\"" : ("." + word + " files").c_str(),
                 FormatList(ConversionSide::Input).c_str());
    else if (args[command == 'c' ? 4 : 3].empty())
        TellUser("the TempDirectory is an empty name");
}

std::string NotALanguageTag(const std::string& option, const std::string& value)
{
    return option + " " + value +
           ": not a language tag (two or three letters, then subtags of 1 to 8 letters or digits "
           "after \"-\", as in en, pt-BR, zh-Hant)";
}

bool IsAsciiAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsAsciiAlnum(char c)
{
    return IsAsciiAlpha(c) || (c >= '0' && c <= '9');
}

} // namespace

bool IsLanguageTag(const std::string& text)
{
    size_t start = 0;
    for (bool first = true;; first = false) {
        size_t end = text.find('-', start);
        if (end == std::string::npos) end = text.size();
        const size_t length = end - start;
        if (first ? (length < 2 || length > 3) : (length < 1 || length > 8)) return false;
        for (size_t i = start; i < end; ++i)
            if (first ? !IsAsciiAlpha(text[i]) : !IsAsciiAlnum(text[i])) return false;
        if (end == text.size()) return true;
        start = end + 1;
    }
}

void ScanSetOptions(const std::vector<std::string>& args, size_t start, CIntermediateBook& metadata,
                    OptionScan& scan)
{
    for (size_t i = start; i < args.size();) {
        if (!StartsWith(args[i], "-")) {
            scan.ignoredWords.push_back(args[i++]);
            continue;
        }
        const std::string& option = args[i++];
        const char* key = SetOptionKey(option);
        if (key == nullptr) {
            scan.ignoredOptions.push_back(option);
            continue;
        }
        // The rest of the line still counts: `s` goes on with what was given.
        if (i >= args.size()) {
            scan.valuelessOptions.push_back(option);
            break;
        }
        const std::string& value = args[i++];
        if (option == "-l" && !value.empty() && !IsLanguageTag(value)) {
            scan.usageError = NotALanguageTag(option, value);
            return;
        }
        metadata.AddValue(key, value);
    }
}

void ScanConvertOptions(const std::vector<std::string>& args, size_t start, CIntermediateBook& inParam,
                        CIntermediateBook& outParam, OptionScan& scan)
{
    for (size_t i = start; i < args.size();) {
        if (!StartsWith(args[i], "-")) {
            scan.ignoredWords.push_back(args[i++]);
            continue;
        }
        const std::string option = args[i++];
        if (option == "-setv") {
            outParam.AddValue("outparam_bookverticalmode", "1");
            continue;
        }
        if (option == "-notidy") {
            inParam.AddValue("inparam_notidy", "1");
            continue;
        }
        const bool takesValue = option == "-setl" || option == "-pdf2html" || option == "-wk";
        if (!takesValue) {
            scan.ignoredOptions.push_back(option);
            continue;
        }
        // An option at the end of the line was cut short: converting without it would give another
        // book than the one asked for.
        if (i >= args.size()) {
            scan.usageError = option + " needs a value after it";
            return;
        }
        const std::string& value = args[i++];
        if (option == "-setl") {
            if (!IsLanguageTag(value)) {
                scan.usageError = NotALanguageTag(option, value.empty() ? "\"\"" : value);
                return;
            }
            outParam.AddValue("outparam_epubsetlanguage", value);
        } else if (option == "-pdf2html") {
            inParam.AddValue("inparam_pdf2html", value);
        } else {
            outParam.AddValue("outparam_wkhtmltopdf", value);
        }
    }
}

ResultCode RunCommandLine(const std::vector<std::string>& args)
{
    if (args.size() > 1 && (args[1] == "--help" || args[1] == "-h")) {
        PrintUsage();
        std::fflush(stdout);
        return RC_OK;
    }
    if (args.size() > 1 && args[1] == "--facts") {
        std::fputs(FactsJson().c_str(), stdout);
        std::fflush(stdout);
        return RC_OK;
    }
    if (args.size() > 1 && args[1] == "--version") {
        std::printf("TarvoCmd %s\n", PRODUCT_VERSION);
        std::fflush(stdout);
        return RC_OK;
    }
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
    ExplainGetEbookFailure(rc, command, args);

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
