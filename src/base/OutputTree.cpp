// The staged writer for outputs of several files: staging folder, input protection, commit.
#include "base/OutputTree.h"

#include "base/Ebook.h"
#include "base/Files.h"
#include "base/Folders.h"
#include "base/Href.h"
#include "base/Paths.h"
#include "base/RunLog.h"
#include "base/Text.h"

#include <filesystem>
#include <set>
#include <system_error>

namespace
{

namespace fs = std::filesystem;

const char* const MAIN_NAME = "main";
const char* const FILES_NAME = "files";
const char* const ASIDE_NAME = "previous";

// What holds a name, without following a link: none, a file, a link, a folder or something else.
fs::file_type KindOf(const std::string& path)
{
    std::error_code error;
    fs::file_status status = fs::symlink_status(path, error);
    return error ? fs::file_type::not_found : status.type();
}

bool Rename(const std::string& from, const std::string& to)
{
    std::error_code error;
    fs::rename(from, to, error);
    return !error;
}

} // namespace

std::vector<std::string> FilesToKeep(const ConvertOutputContext& ctx)
{
    std::vector<std::string> files = {ctx.m_InputFile, ctx.m_TempDirectory};
    const CIntermediateBook& book = ctx.m_Book;
    if (book.m_SourceFolder.empty()) return files;
    for (const std::vector<std::string>* list : {&book.m_HtmlFileList, &book.m_ResourceList})
        for (const std::string& name : *list)
            files.push_back(book.m_SourceFolder + UrlDecode(name));
    if (!book.m_NcxPath.empty()) files.push_back(book.m_SourceFolder + UrlDecode(book.m_NcxPath));
    return files;
}

std::string FilesFolderName(const std::string& outputName)
{
    size_t dot = outputName.rfind('.');
    if (dot == std::string::npos || dot == 0) return outputName + "_files";
    const std::string extension = ToLowerCopy(outputName.substr(dot + 1));
    const bool page = extension == "html" || extension == "htm" || extension == "xhtml";
    return outputName.substr(0, dot) + (page ? "" : "_" + outputName.substr(dot + 1)) + "_files";
}

COutputTree::~COutputTree()
{
    Abandon();
}

ResultCode COutputTree::Begin(const std::string& target, const std::string& filesFolder,
                              const std::vector<std::string>& keep, CRunLog* log)
{
    Abandon();
    m_Target = ToOsPath(target);
    const std::string name = GetFileName(m_Target);
    // The user names the output, so a hidden name is theirs to choose; a folder elsewhere is not.
    if (name.empty() || filesFolder.empty() || filesFolder == "." || filesFolder == ".." ||
        filesFolder == name || filesFolder.find_first_of("/\\") != std::string::npos)
        return RC_FILE_OPEN_FAILED;
    const std::string folder = GetDirectory(m_Target);
    m_FilesFolder = folder + filesFolder;
    const fs::file_type targetKind = KindOf(m_Target), filesKind = KindOf(m_FilesFolder);
    // Renaming over a folder, a device or a pipe would destroy it rather than write it, and a file in
    // the files folder's place is someone's file, not this output's folder.
    if (targetKind != fs::file_type::not_found && targetKind != fs::file_type::regular &&
        targetKind != fs::file_type::symlink) {
        TARVO_LOG(log, LOG_ERROR, "output %s is no file", m_Target.c_str());
        return RC_FILE_OPEN_FAILED;
    }
    if (filesKind != fs::file_type::not_found && filesKind != fs::file_type::directory) {
        TARVO_LOG(log, LOG_ERROR, "%s, where the output's files go, is no folder", m_FilesFolder.c_str());
        return RC_FILE_OPEN_FAILED;
    }
    ResultCode rc = RefuseReplacing(keep, log);
    if (rc != RC_OK) return rc;
    rc = MakePath(m_Target);
    // Long names are cut so that the staging name stays within the file system's limit.
    if (rc == RC_OK) rc = MakeFreshDirectory(folder + "." + name.substr(0, 64) + ".", m_Staging);
    if (rc == RC_OK) rc = MakeDirectory(m_Staging + FILES_NAME);
    if (rc != RC_OK) Abandon();
    return rc;
}

ResultCode COutputTree::RefuseReplacing(const std::vector<std::string>& keep, CRunLog* log) const
{
    std::set<FileIdentity> kept;
    for (const std::string& path : keep) {
        FileIdentity identity;
        if (GetFileIdentity(path, identity)) kept.insert(identity);
    }
    auto isKept = [&kept, log](const std::string& path) {
        FileIdentity identity;
        if (!GetFileIdentity(path, identity) || kept.count(identity) == 0) return false;
        TARVO_LOG(log, LOG_ERROR, "%s belongs to the input book or to this run; the output would replace it",
                  path.c_str());
        return true;
    };
    if (isKept(m_Target)) return RC_NOT_SUPPORT;
    if (KindOf(m_FilesFolder) != fs::file_type::directory) return RC_OK;
    // Links in the folder are removed, not what they name, so they do not count. What cannot be
    // walked cannot be vouched for.
    std::error_code error;
    for (fs::recursive_directory_iterator it(m_FilesFolder, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_symlink(error) && isKept(it->path().string())) return RC_NOT_SUPPORT;
    }
    if (error)
        TARVO_LOG(log, LOG_ERROR, "%s cannot be read through: %s", m_FilesFolder.c_str(),
                  error.message().c_str());
    return error ? RC_FILE_OPEN_FAILED : RC_OK;
}

ResultCode COutputTree::Write(const std::string& path, const std::string& bytes)
{
    if (m_Staging.empty() || m_Failed) return RC_FILE_WRITE_FAILED;
    // Nothing but this run makes names in the staging folder, so no link lies on the way.
    ResultCode rc = MakePath(path);
    if (rc == RC_OK) rc = WriteWholeFile(path, bytes);
    if (rc != RC_OK) m_Failed = true;
    return rc;
}

ResultCode COutputTree::Add(const std::string& relative, const std::string& bytes)
{
    if (!IsSafeOutputName(relative)) {
        m_Failed = true;
        return RC_FILE_OPEN_FAILED;
    }
    ResultCode rc = Write(m_Staging + FILES_NAME + "/" + relative, bytes);
    if (rc == RC_OK) m_HasFiles = true;
    return rc;
}

ResultCode COutputTree::SetMain(const std::string& bytes)
{
    ResultCode rc = Write(m_Staging + MAIN_NAME, bytes);
    if (rc == RC_OK) m_HasMain = true;
    return rc;
}

ResultCode COutputTree::Commit()
{
    if (m_Staging.empty() || m_Failed || !m_HasMain) {
        Abandon();
        return RC_FILE_WRITE_FAILED;
    }
    const std::string main = m_Staging + MAIN_NAME, files = m_Staging + FILES_NAME,
                      aside = m_Staging + ASIDE_NAME;
    if (KindOf(m_Target) == fs::file_type::regular) {
        std::error_code error;
        fs::permissions(main, fs::status(m_Target, error).permissions(), error);
    }
    // A previous files folder goes aside even when this output has none: it would be left over.
    const bool hadFolder = KindOf(m_FilesFolder) != fs::file_type::not_found;
    if (hadFolder && !Rename(m_FilesFolder, aside)) {
        Abandon();
        return RC_FILE_RENAME_FAILED;
    }
    bool placed = !m_HasFiles || Rename(files, m_FilesFolder);
    if (placed && !Rename(main, m_Target)) {
        if (m_HasFiles) Rename(m_FilesFolder, files);
        placed = false;
    }
    if (!placed) {
        if (hadFolder) Rename(aside, m_FilesFolder);
        Abandon();
        return RC_FILE_RENAME_FAILED;
    }
    Abandon();
    return RC_OK;
}

void COutputTree::Abandon()
{
    if (!m_Staging.empty()) {
        std::error_code error;
        fs::remove_all(m_Staging, error);
    }
    m_Staging.clear();
    m_HasMain = m_HasFiles = m_Failed = false;
}
