// Each operation checks its inputs, prepares the TempDirectory, opens the run log and drives the
// handlers; the TempDirectory is never emptied.
#include "core/Engine.h"

#include "base/Ebook.h"
#include "base/Files.h"
#include "base/Folders.h"
#include "base/Href.h"
#include "base/Images.h"
#include "base/Paths.h"
#include "base/Progress.h"
#include "base/RunLog.h"
#include "core/EbookRegistry.h"
#include "ebook/HtmlParse.h"

#include <cstdio>
#include <initializer_list>
#include <utility>
#include <vector>

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

// What a run holds of its TempDirectory: the lock that keeps other runs out, and the confinement
// that keeps links someone else left in it from carrying our files elsewhere.
struct TempDirectoryHold {
    CDirectoryLock lock;
    CConfinedFolder confined;
};

// Makes the TempDirectory, keeps every other run out of it and opens the log. Runs sharing a
// TempDirectory would mix their books' files and replace each other's log, so the lock comes
// before the log and before anything is written into the folder. The files the user named
// (userFiles) may lie in the folder and are followed as given.
ResultCode TakeTempDirectory(std::string& tempDirectory, const std::string& inputFile,
                             const std::vector<std::string>& userFiles, TempDirectoryHold& hold, CRunLog& log)
{
    ResultCode rc = PrepareTempDirectory(tempDirectory);
    if (rc != RC_OK) return rc;
    LockOutcome locked = hold.lock.Acquire(tempDirectory);
    if (locked == LockOutcome::Busy) {
        TellUser("TempDirectory %s is in use by another run", tempDirectory.c_str());
        return RC_DIR_GET_FAILED;
    }
    rc = hold.confined.Confine(tempDirectory, userFiles);
    if (rc != RC_OK) return rc;
    if (log.Init(tempDirectory, inputFile) != RC_OK) return RC_LOG_INIT_FAILED;
    if (locked == LockOutcome::Unavailable)
        TARVO_LOG(&log, LOG_WARNING,
                  "TempDirectory %s cannot be locked; a concurrent run would not be kept out",
                  tempDirectory.c_str());
    return RC_OK;
}

void LogIgnoredOptions(CRunLog& log, const std::vector<std::string>& ignoredOptions)
{
    for (const std::string& option : ignoredOptions)
        TARVO_LOG(&log, LOG_WARNING, "unknown option %s ignored", option.c_str());
}

// Writing an output over the book it comes from would destroy the book.
ResultCode RefuseOverwritingInput(CRunLog& log, const std::string& inputFile,
                                  std::initializer_list<std::string> outputs)
{
    for (const std::string& output : outputs) {
        if (output.empty() || !SameFile(output, inputFile)) continue;
        TARVO_LOG(&log, LOG_ERROR, "output %s is the input file %s", output.c_str(), inputFile.c_str());
        TellUser("output %s is the input file %s; nothing written", output.c_str(), inputFile.c_str());
        return RC_NOT_SUPPORT;
    }
    return RC_OK;
}

bool IsFileFailure(ResultCode rc)
{
    return (rc >> 24) == 0x02;
}

// What `g` and `s` hold while they run: the TempDirectory, the log and the handler for the book.
struct MetaOperation {
    TempDirectoryHold hold;
    CEbookRegistry registry;
    CRunLog log;
    CEbook* handler = nullptr;

    // Input check, handler, TempDirectory, lock, log.
    ResultCode Open(const std::string& inputFile, std::string& tempDirectory,
                    const std::vector<std::string>& userFiles)
    {
        if (!InputOpens(inputFile)) return RC_INPUT_MISSING;
        handler = registry.GetEbook(inputFile);
        if (handler == nullptr || tempDirectory.empty()) return RC_GETEBOOK_FAILED;
        ResultCode rc = TakeTempDirectory(tempDirectory, inputFile, userFiles, hold, log);
        if (rc != RC_OK) return rc;
        handler->m_Log = &log;
        return RC_OK;
    }
};

// A handler may pass over an intermediate file it could not write or read, as it would a missing
// one; when that was a refused link the run must still not end as a success.
ResultCode FailOnRefusedLinks(CRunLog& log, const TempDirectoryHold& hold, ResultCode rc)
{
    uint32_t refused = hold.confined.Refusals();
    if (refused == 0 || IsError(rc)) return rc;
    TARVO_LOG(&log, LOG_ERROR, "%u symbolic links in the TempDirectory refused", refused);
    return RC_FILE_OPEN_FAILED;
}

void FinishLog(CRunLog& log, ResultCode rc)
{
    log.WriteElapsed();
    if (!IsError(rc)) log.FileAsSuccess();
}

void RepairNakedAmpersands(CIntermediateBook& book, const std::string& bookDirectory)
{
    for (const std::string& name : book.m_HtmlFileList) {
        // The repair writes files back: never outside the book's folder, whatever a reader listed.
        if (!ListedNameInBook("", name)) continue;
        // Written back where it was read.
        const std::string path = BookFilePath(bookDirectory, name);
        std::string text;
        if (!ReadFileBytes(path, text)) continue;
        if (!HandleNakedAmpersand(text)) continue;
        WriteWholeFile(path, text);
        book.m_PrintedDocuments.erase(name);
    }
}

} // namespace

namespace
{

// Lines written on behalf of `g` carry the operation's name, whichever entry point ran it.
#define GETMETA_LOG(log, level, ...)                                                                         \
    LogLine((log), (level), __FILE__, __LINE__, "getMetaInfoOrg", __VA_ARGS__)

// The handler writes the cover into the TempDirectory, so that it reaches its place only once the
// metadata file has. Anything already there under this name is the TempDirectory's own.
const char* const STAGED_COVER = "cover-image.pending";

struct PendingOutput {
    const char* what;
    const std::string& path;
    const std::string& bytes;
};

// `g` writes its outputs only when all of them can be written: each is made in full beside its
// target before the first is moved into place, in the order given.
ResultCode PlaceOutputs(CRunLog& log, const std::vector<PendingOutput>& outputs)
{
    std::vector<CAtomicFile> files(outputs.size());
    auto failed = [&](size_t i, ResultCode rc) {
        GETMETA_LOG(&log, LOG_ERROR, "%s %s not written: %s", outputs[i].what, outputs[i].path.c_str(),
                    ResultMessage(rc));
        TellUser("%s %s cannot be written: %s; no output written", outputs[i].what, outputs[i].path.c_str(),
                 ResultMessage(rc));
        return rc;
    };
    for (size_t i = 0; i < outputs.size(); ++i) {
        ResultCode rc = files[i].Open(outputs[i].path);
        if (rc == RC_OK) rc = files[i].Write(outputs[i].bytes);
        if (rc != RC_OK) return failed(i, rc);
    }
    // Only a flush or a rename refused after an earlier output was placed can leave that one
    // alone in place; every byte was written by then.
    for (size_t i = 0; i < outputs.size(); ++i) {
        ResultCode rc = files[i].Commit();
        if (rc != RC_OK) return failed(i, rc);
    }
    return RC_OK;
}

// metadataFile may be empty: the text is then only handed back.
ResultCode GetMeta(std::string inputFile, std::string tempDirectory, const std::string& coverImageFile,
                   const std::string& metadataFile, std::string& metadataText)
{
    MetaOperation op;
    ResultCode rc = op.Open(inputFile, tempDirectory, {inputFile, metadataFile, coverImageFile});
    if (rc != RC_OK) return rc;
    CRunLog& log = op.log;

    const std::string stagedCover = coverImageFile.empty() ? "" : tempDirectory + STAGED_COVER;
    rc = RefuseOverwritingInput(log, inputFile, {metadataFile, coverImageFile});
    // A cover left by an earlier run must not pass for this book's.
    if (rc == RC_OK && !stagedCover.empty() && FileExists(stagedCover)) rc = DeleteFile(stagedCover);
    if (rc == RC_OK) {
        GetMetaContext ctx{tempDirectory, stagedCover};
        rc = FailOnRefusedLinks(log, op.hold, op.handler->GetMetaData(inputFile, ctx));
    }
    if (!IsError(rc)) {
        CIntermediateBook* book = op.handler->GetIntermediateBook();
        if (book != nullptr) {
            book->m_Log = &log;
            for (const CIntermediateBook::CutValue& cut : book->ToJson(metadataText))
                TellUser("value of %s cut from %zu to %zu bytes to fit the metadata text", cut.m_Key.c_str(),
                         cut.m_Length, cut.m_Kept);
        }
        // A book without metadata still gets its file, so a caller can tell it from a failed run.
        if (metadataText.empty()) metadataText = "{}";
    }
    if (rc != RC_OK) GETMETA_LOG(&log, LOG_WARNING, "%s", ResultMessage(rc));
    // Protected books may still have readable metadata: it is written whatever the notice.
    if (!IsError(rc)) {
        std::string cover;
        std::vector<PendingOutput> outputs;
        if (!metadataFile.empty()) outputs.push_back({"metadata file", metadataFile, metadataText});
        if (!stagedCover.empty() && ReadFileBytes(stagedCover, cover))
            outputs.push_back({"cover", coverImageFile, cover});
        ResultCode written = PlaceOutputs(log, outputs);
        if (written != RC_OK) rc = written;
    }
    if (!stagedCover.empty()) DeleteFile(stagedCover);
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

namespace
{

ResultCode FillNewMetadata(CIntermediateBook& metadata, const std::string* metadataText,
                           const MetaDataMap* metadataMap, CRunLog& log)
{
    if (metadataText == nullptr) {
        if (metadataMap != nullptr) metadata.AssignMap(*metadataMap);
        return RC_OK;
    }
    metadata.Reset();
    if (metadata.FromJson(*metadataText) == RC_OK) {
        // What `g` joined for the text goes back as the several values the book had.
        metadata.SplitJoinedValues();
        return RC_OK;
    }
    // Going on with nothing would rewrite the book unchanged and report success.
    constexpr int SHOWN = 80;
    TARVO_LOG(&log, LOG_ERROR, "metadata text of %zu bytes is not JSON: %.*s", metadataText->size(), SHOWN,
              metadataText->c_str());
    TellUser("the metadata file is not JSON; the book is left as it was");
    return RC_META_GET_JSON;
}

// `g` could not give back what does not fit in the metadata text: it is refused, not stored.
ResultCode CheckMetadataFits(const CIntermediateBook& metadata, CRunLog& log)
{
    std::string key, value;
    if (metadata.FitsMetadataText(key)) return RC_OK;
    metadata.GetValue(key, value);
    TARVO_LOG(&log, LOG_ERROR, "value of %s (%zu bytes) exceeds what the metadata text holds", key.c_str(),
              value.size());
    TellUser("value of %s (%zu bytes) is too long to store", key.c_str(), value.size());
    return RC_META_GET_JSON;
}

// A new cover must be an image the handlers can place; anything else would replace the book's own.
ResultCode CheckNewCover(const CIntermediateBook& metadata, CRunLog& log)
{
    auto cover = metadata.m_MetaData.find("coverimage");
    if (cover == metadata.m_MetaData.end() || cover->second.empty()) return RC_OK;
    const std::string& path = cover->second.front();
    if (!FileExists(path)) {
        TARVO_LOG(&log, LOG_ERROR, "cover %s is missing or not a plain file", path.c_str());
        TellUser("cover %s is missing or not a plain file", path.c_str());
        return RC_INPUT_MISSING;
    }
    if (ImageTypeOf(ReadWholeFile(path)).empty()) {
        TARVO_LOG(&log, LOG_ERROR, "cover %s is not a JPEG, PNG, GIF or BMP image", path.c_str());
        TellUser("cover %s is not a JPEG, PNG, GIF or BMP image", path.c_str());
        return RC_NOT_SUPPORT;
    }
    return RC_OK;
}

} // namespace

ResultCode setMetaInfoOrg(std::string inputFile, std::string tempDirectory, const std::string* metadataText,
                          const MetaDataMap* metadataMap, const std::vector<std::string>& ignoredOptions)
{
    MetaOperation op;
    ResultCode rc = op.Open(inputFile, tempDirectory, {inputFile});
    if (rc != RC_OK) return rc;
    CRunLog& log = op.log;
    LogIgnoredOptions(log, ignoredOptions);

    CIntermediateBook metadata;
    TARVO_LOG(&log, LOG_INFO, "InitMeta IN");
    rc = FillNewMetadata(metadata, metadataText, metadataMap, log);
    TARVO_LOG(&log, LOG_INFO, "InitMeta OUT");
    if (rc == RC_OK) rc = CheckMetadataFits(metadata, log);
    if (rc == RC_OK) rc = CheckNewCover(metadata, log);

    if (rc == RC_OK) {
        SetMetaContext ctx{tempDirectory, metadata};
        TARVO_LOG(&log, LOG_INFO, "SetMetaData IN");
        rc = FailOnRefusedLinks(log, op.hold, op.handler->SetMetaData(inputFile, ctx));
        TARVO_LOG(&log, LOG_INFO, "SetMetaData OUT");
    }

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

ResultCode MakeOutputFolder(CRunLog& log, const std::string& outputFile)
{
    ResultCode rc = MakePath(outputFile);
    if (rc != RC_OK) {
        CONVERT_LOG(&log, LOG_ERROR, "folder of output %s cannot be made", outputFile.c_str());
        TellUser("folder of output %s cannot be made", outputFile.c_str());
    }
    return rc;
}

void ReportOutputNotWritten(CRunLog& log, const std::string& outputFile, ResultCode rc)
{
    CONVERT_LOG(&log, LOG_ERROR, "output %s not written: %s", outputFile.c_str(), ResultMessage(rc));
    TellUser("output %s not written: %s", outputFile.c_str(), ResultMessage(rc));
}

struct Conversion {
    std::string inputFile, outputFile, tempDirectory, inParam, outParam;
    CEbookRegistry registry;
    CRunLog& log;
    const TempDirectoryHold& hold;
};

ResultCode RunHandlers(Conversion& job)
{
    CRunLog& log = job.log;
    CEbook* input = job.registry.GetEbook(job.inputFile);
    CEbook* output = job.registry.GetEbook(job.outputFile);
    if (input == nullptr || output == nullptr) {
        CONVERT_LOG(&log, LOG_ERROR, "Get Ebook failed!");
        return RC_GETEBOOK_FAILED;
    }
    if ((input->m_FormatId == FORMAT_OPF && output->m_FormatId == FORMAT_OPF) ||
        !Converts(output->m_FormatWord, ConversionSide::Output)) {
        CONVERT_LOG(&log, LOG_ERROR, "convert don't be supported!");
        return RC_NOT_SUPPORT;
    }
    ResultCode rc = RefuseOverwritingInput(log, job.inputFile, {job.outputFile});
    if (rc != RC_OK) return rc;
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
    rc = input->Convert_Input(job.inputFile, inCtx);
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
    // A book read through a refused link is not the user's book: stop before any output is touched.
    rc = FailOnRefusedLinks(log, job.hold, rc);
    if (rc != RC_OK) return rc;

    CONVERT_LOG(&log, LOG_INFO, "inputEbook Convert_Output IN");
    book->PrepareForOutput();
    ConvertOutputContext outCtx{job.inputFile, *book, job.tempDirectory, currentDirectory, job.outParam};
    // Writers put their output beside its path, so its folders must be there.
    rc = MakeOutputFolder(log, job.outputFile);
    if (rc != RC_OK) return rc;
    LogParam(log, "OutParam", job.outParam);
    rc = output->Convert_Output(job.outputFile, outCtx);
    CONVERT_LOG(&log, LOG_INFO, "inputEbook Convert_Output OUT");
    if (IsFileFailure(rc)) ReportOutputNotWritten(log, job.outputFile, rc);
    return rc;
}

ResultCode CopyInputToOutput(CRunLog& log, const Conversion& job)
{
    ResultCode rc = MakeOutputFolder(log, job.outputFile);
    if (rc != RC_OK) return rc;
    rc = CopyFile(job.inputFile, job.outputFile);
    if (rc != RC_OK) ReportOutputNotWritten(log, job.outputFile, rc);
    return rc;
}

} // namespace

ResultCode convertOrg(std::string inputFile, std::string outputFile, std::string tempDirectory,
                      const std::string& inParam, const std::string& outParam,
                      const std::vector<std::string>& ignoredOptions)
{
    TempDirectoryHold hold;
    CRunLog log;
    ResultCode rc = RC_OK;
    if (tempDirectory.empty())
        rc = RC_GETEBOOK_FAILED;
    else if (!InputOpens(inputFile))
        rc = RC_INPUT_MISSING;
    else
        rc = TakeTempDirectory(tempDirectory, inputFile, {inputFile, outputFile}, hold, log);

    if (rc == RC_OK) {
        LogIgnoredOptions(log, ignoredOptions);
        PrintProgress("Start Convert");
        Conversion job{inputFile, outputFile, tempDirectory, inParam, outParam, {}, log, hold};
        rc = FailOnRefusedLinks(log, hold, RunHandlers(job));
        if (rc != RC_OK) CONVERT_LOG(&log, LOG_WARNING, "%s", ResultMessage(rc));
        // The input handler found the book already in the wanted format: hand it over as it is.
        if (rc == RC_COPY_INPUT) rc = CopyInputToOutput(log, job);
    }

    PrintProgress("Processed 100%");
    CONVERT_LOG(&log, LOG_INFO, "convert END");
    FinishLog(log, rc);
    return rc;
}
