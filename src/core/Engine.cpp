// Each operation checks its inputs, prepares the TempDirectory, opens the run log and drives the
// handlers; the TempDirectory is never emptied.
#include "core/Engine.h"

#include "base/Ebook.h"
#include "base/Platform.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "core/EbookRegistry.h"
#include "ebook/HtmlParse.h"

#include <utility>

namespace
{

ResultCode PrepareTempDirectory(std::string& tempDirectory)
{
    if (tempDirectory.empty() || !IsSeparator(tempDirectory.back())) tempDirectory += '/';
    return MakePath(tempDirectory);
}

bool InputOpens(const std::string& inputFile)
{
    CFile file;
    return file.Open(inputFile, false, false) == RC_OK;
}

// Shared opening of `g` and `s`: input check, handler, TempDirectory, log.
ResultCode OpenMetaOperation(std::string& inputFile, std::string& tempDirectory, CEbookRegistry& registry,
                             CRunLog& log, CEbook*& handler)
{
    if (!InputOpens(inputFile)) return RC_INPUT_MISSING;
    std::string inputForLookup = inputFile;
    handler = registry.GetEbook(inputForLookup);
    if (handler == nullptr || tempDirectory.empty()) return RC_GETEBOOK_FAILED;
    ResultCode rc = PrepareTempDirectory(tempDirectory);
    if (rc != RC_OK) return rc;
    if (log.Init(tempDirectory, inputFile) != RC_OK) return RC_LOG_INIT_FAILED;
    handler->m_Log = &log;
    return RC_OK;
}

void FinishLog(CRunLog& log, ResultCode rc)
{
    log.WriteElapsed();
    if (!IsError(rc)) log.FileAsSuccess();
}

void RepairNakedAmpersands(const CIntermediateBook& book, const std::string& bookDirectory)
{
    for (const std::string& name : book.m_HtmlFileList) {
        // The repair writes files back: never outside the book's folder, whatever a reader listed.
        if (ClimbsOutOf(UrlDecode(name))) continue;
        std::string path = bookDirectory + name;
        std::string text = ReadWholeFile(path);
        if (HandleNakedAmpersand(text)) WriteWholeFile(path, text);
    }
}

} // namespace

namespace
{

// Lines written on behalf of `g` carry the operation's name, whichever entry point ran it.
#define GETMETA_LOG(log, level, ...)                                                                         \
    LogLine((log), (level), __FILE__, __LINE__, "getMetaInfoOrg", __VA_ARGS__)

// metadataFile may be empty: the text is then only handed back.
ResultCode GetMeta(std::string inputFile, std::string tempDirectory, const std::string& coverImageFile,
                   const std::string& metadataFile, std::string& metadataText)
{
    CEbookRegistry registry;
    CRunLog log;
    CEbook* handler = nullptr;
    ResultCode rc = OpenMetaOperation(inputFile, tempDirectory, registry, log, handler);
    if (rc != RC_OK) return rc;

    GetMetaContext ctx{tempDirectory, coverImageFile};
    rc = handler->GetMetaData(inputFile, ctx);
    if (!IsError(rc)) {
        CIntermediateBook* book = handler->GetIntermediateBook();
        if (book != nullptr) {
            book->m_Log = &log;
            book->ToJson(metadataText);
        }
        // A book without metadata still gets its file, so a caller can tell it from a failed run.
        if (metadataText.empty()) metadataText = "{}";
    }
    if (rc != RC_OK) GETMETA_LOG(&log, LOG_WARNING, "%s", ResultMessage(rc));
    // Protected books may still have readable metadata: it is written whatever the notice.
    if (!metadataFile.empty() && !metadataText.empty()) {
        ResultCode written = WriteOutputFile(metadataFile, metadataText);
        if (written != RC_OK) {
            GETMETA_LOG(&log, LOG_ERROR, "metadata file %s not written: %s", metadataFile.c_str(),
                        ResultMessage(written));
            if (!IsError(rc)) rc = written;
        }
    }
    GETMETA_LOG(&log, LOG_INFO, "getMeta END");
    FinishLog(log, rc);
    return rc;
}

} // namespace

ResultCode getMetaInfoOrg(std::string inputFile, std::string tempDirectory, const std::string& coverImageFile,
                          std::string& metadataText)
{
    return GetMeta(std::move(inputFile), std::move(tempDirectory), coverImageFile, "", metadataText);
}

ResultCode GetMetaInfoIntoFile(std::string inputFile, std::string tempDirectory,
                               const std::string& metadataFile, const std::string& coverImageFile)
{
    std::string metadataText;
    return GetMeta(std::move(inputFile), std::move(tempDirectory), coverImageFile, metadataFile,
                   metadataText);
}

ResultCode setMetaInfoOrg(std::string inputFile, std::string tempDirectory, const std::string* metadataText,
                          const MetaDataMap* metadataMap)
{
    CEbookRegistry registry;
    CRunLog log;
    CEbook* handler = nullptr;
    ResultCode rc = OpenMetaOperation(inputFile, tempDirectory, registry, log, handler);
    if (rc != RC_OK) return rc;

    CIntermediateBook metadata;
    TARVO_LOG(&log, LOG_INFO, "InitMeta IN");
    if (metadataText != nullptr) {
        metadata.Reset();
        metadata.FromJson(*metadataText); // text that does not parse leaves the map empty
    } else if (metadataMap != nullptr) {
        metadata.AssignMap(*metadataMap);
    }
    TARVO_LOG(&log, LOG_INFO, "InitMeta OUT");

    SetMetaContext ctx{tempDirectory, metadata};
    TARVO_LOG(&log, LOG_INFO, "SetMetaData IN");
    rc = handler->SetMetaData(inputFile, ctx);
    TARVO_LOG(&log, LOG_INFO, "SetMetaData OUT");

    if (rc != RC_OK) TARVO_LOG(&log, LOG_WARNING, "%s", ResultMessage(rc));
    TARVO_LOG(&log, LOG_INFO, "setMeta END");
    FinishLog(log, rc);
    return rc;
}

namespace
{

// Lines written on behalf of convertOrg carry its name, whichever helper writes them.
#define CONVERT_LOG(log, level, ...) LogLine((log), (level), __FILE__, __LINE__, "convertOrg", __VA_ARGS__)

void LogParam(CRunLog& log, const char* name, const std::string& param)
{
    if (param.empty())
        CONVERT_LOG(&log, LOG_INFO, "p%s == NULL", name);
    else
        CONVERT_LOG(&log, LOG_INFO, "%s:%s", name, param.c_str());
}

struct Conversion {
    std::string inputFile, outputFile, tempDirectory, inParam, outParam;
    CEbookRegistry registry;
    CRunLog& log;
};

ResultCode RunHandlers(Conversion& job)
{
    CRunLog& log = job.log;
    // Only a copy of the input path is folded: on this file system the case of a name matters.
    std::string inputForLookup = job.inputFile;
    CEbook* input = job.registry.GetEbook(inputForLookup);
    CEbook* output = job.registry.GetEbook(job.outputFile);
    if (input == nullptr || output == nullptr) {
        CONVERT_LOG(&log, LOG_ERROR, "Get Ebook failed!");
        return RC_GETEBOOK_FAILED;
    }
    if ((input->m_FormatId == FORMAT_OPF && output->m_FormatId == FORMAT_OPF) ||
        output->m_FormatId == FORMAT_PRC) {
        CONVERT_LOG(&log, LOG_ERROR, "convert don't be supported!");
        return RC_NOT_SUPPORT;
    }
    input->m_Log = &log;
    output->m_Log = &log;
    CONVERT_LOG(&log, LOG_INFO, "%s", ("InputFormat  : " + input->m_FormatWord).c_str());
    CONVERT_LOG(&log, LOG_INFO, "%s", ("OutputFormat : " + output->m_FormatWord).c_str());

    std::string currentDirectory;
    if (GetCurrentDirectory(currentDirectory) != RC_OK) return RC_DIR_GET_FAILED;
    CONVERT_LOG(&log, LOG_INFO, "CurDirectory=%s", currentDirectory.c_str());

    ConvertInputContext inCtx{job.tempDirectory, currentDirectory, output->m_FormatId, job.inParam};
    LogParam(log, "InParam", job.inParam);
    CONVERT_LOG(&log, LOG_INFO, "inputEbook Convert_Input IN");
    CONVERT_LOG(&log, LOG_INFO, "%s", job.tempDirectory.c_str());
    PrintProgress("Processed 10%");
    ResultCode rc = input->Convert_Input(job.inputFile, inCtx);
    PrintProgress("Processed 40%");
    CONVERT_LOG(&log, LOG_INFO, "inputEbook Convert_Input OUT");
    if (rc != RC_OK) return rc;

    CIntermediateBook* book = input->GetIntermediateBook();
    if (book == nullptr) return RC_NOT_SUPPORT; // a handler that converted must describe its book
    book->m_Log = &log;

    PrintProgress("Handle Nake Ampersand");
    CONVERT_LOG(&log, LOG_INFO, "HandleNakedAmpersand IN");
    RepairNakedAmpersands(*book, book->BookDirectory(job.tempDirectory));
    CONVERT_LOG(&log, LOG_INFO, "HandleNakedAmpersand OUT");
    PrintProgress("Processed 60%");

    CONVERT_LOG(&log, LOG_INFO, "inputEbook Convert_Output IN");
    book->PrepareForOutput();
    ConvertOutputContext outCtx{job.inputFile, *book, job.tempDirectory, currentDirectory, job.outParam};
    // Writers put their output beside its path, so its folders must be there.
    MakePath(job.outputFile);
    LogParam(log, "OutParam", job.outParam);
    rc = output->Convert_Output(job.outputFile, outCtx);
    CONVERT_LOG(&log, LOG_INFO, "inputEbook Convert_Output OUT");
    return rc;
}

} // namespace

ResultCode convertOrg(std::string inputFile, std::string outputFile, std::string tempDirectory,
                      const std::string& inParam, const std::string& outParam)
{
    CRunLog log;
    ResultCode rc = RC_OK;
    if (tempDirectory.empty())
        rc = RC_GETEBOOK_FAILED;
    else if (!InputOpens(inputFile))
        rc = RC_INPUT_MISSING;
    else
        rc = PrepareTempDirectory(tempDirectory);
    if (rc == RC_OK && log.Init(tempDirectory, inputFile) != RC_OK) rc = RC_LOG_INIT_FAILED;

    if (rc == RC_OK) {
        PrintProgress("Start Convert");
        Conversion job{inputFile, outputFile, tempDirectory, inParam, outParam, {}, log};
        rc = RunHandlers(job);
        if (rc != RC_OK) CONVERT_LOG(&log, LOG_WARNING, "%s", ResultMessage(rc));
        // The input handler found the book already in the wanted format: hand it over as it is.
        if (rc == RC_COPY_INPUT) {
            MakePath(job.outputFile);
            rc = CopyFile(job.inputFile, job.outputFile);
        }
    }

    PrintProgress("Processed 100%");
    CONVERT_LOG(&log, LOG_INFO, "convert END");
    FinishLog(log, rc);
    return rc;
}
