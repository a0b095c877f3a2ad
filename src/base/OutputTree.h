// Outputs made of several files (a page or package and the book's files in a folder of its own),
// written so that a reader sees the previous output or the whole new one, never a mix.
#pragma once

#include "base/ResultCode.h"

class CRunLog;
struct ConvertOutputContext;

#include <string>
#include <vector>

// What an output must never replace or remove: the input file, the run's TempDirectory and, for an
// unpacked book (a package or a page on disk), every file its lists name where it lies.
std::vector<std::string> FilesToKeep(const ConvertOutputContext& ctx);

// The folder that belongs to an output: a page's name less the extension, plus "_files", as a
// browser saves a page with its files ("out.html" -> "out_files"); any other output keeps its
// extension in the name ("out.opf" -> "out_opf_files"), so that outputs of one name in several
// formats never share, and so never replace, each other's files.
std::string FilesFolderName(const std::string& outputName);

// Everything goes into a new hidden folder beside the target, which only this run may enter, and
// moves into place on Commit: the files folder first (the previous one moved aside and removed
// once the new one is in), the main file over the target last. Dropped without Commit, or after
// any failure, the staging folder is removed and the previous output is as it was. Names from the
// book land inside the files folder only, so none of them can replace a file outside it.
class COutputTree
{
  public:
    COutputTree() = default;
    ~COutputTree();
    COutputTree(const COutputTree&) = delete;
    COutputTree& operator=(const COutputTree&) = delete;

    // target is the main file, filesFolder the name of the folder beside it. A link at either
    // place is replaced, never followed. Refused with RC_NOT_SUPPORT when the target, or a file or
    // folder the existing files folder holds (the commit removes them), is one of those in keep;
    // with RC_FILE_OPEN_FAILED when something else than a file or link holds the target's name,
    // or something else than a folder holds the files folder's.
    // A refusal is logged to log, which may be null.
    ResultCode Begin(const std::string& target, const std::string& filesFolder,
                     const std::vector<std::string>& keep, CRunLog* log);
    // relative is a "/"-separated path inside the files folder; a name IsSafeOutputName (Href.h)
    // refuses is refused. A failure fails every later call and the Commit.
    ResultCode Add(const std::string& relative, const std::string& bytes);
    ResultCode SetMain(const std::string& bytes);
    ResultCode Commit();
    void Abandon();

  private:
    ResultCode Write(const std::string& path, const std::string& bytes);
    ResultCode RefuseReplacing(const std::vector<std::string>& keep, CRunLog* log) const;

    std::string m_Target;      // in the form handed to the operating system
    std::string m_FilesFolder; // likewise, without a trailing "/"
    std::string m_Staging;     // ends with "/"; empty when nothing is staged
    bool m_HasMain = false;
    bool m_HasFiles = false;
    bool m_Failed = false;
};
