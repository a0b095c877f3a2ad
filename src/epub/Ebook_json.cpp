// The JSON handler: the book as an unpacked package in the index's own folder beside it, and the
// index naming the metadata text and every document written, each path as this platform opens it.
#include "epub/Ebook_json.h"

#include "base/OutputTree.h"
#include "base/Paths.h"
#include "base/Progress.h"
#include "base/RunLog.h"

namespace
{

const char* const PACKAGE_NAME = "content.opf";

} // namespace

CEbookJson::~CEbookJson() = default;

std::string BuildJsonIndex(const std::string& metadataText, const std::vector<std::string>& paths)
{
    std::string index = "{\"MetaData\":" + QuoteJsonString(metadataText) + ",\"HtmlList\":[";
    for (size_t i = 0; i < paths.size(); ++i)
        index += (i > 0 ? "," : "") + QuoteJsonString(paths[i]);
    return index + "]}";
}

ResultCode CEbookJson::Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx)
{
    PrintProgress("Converting Output To Json");
    const std::string output = ToOsPath(outputFile);
    COutputTree tree;
    std::string package;
    std::vector<std::string> written;
    ResultCode rc = tree.Begin(output, FilesFolderName(GetFileName(output)), FilesToKeep(ctx), m_Log);
    if (rc == RC_OK) rc = WritePackage(tree, "", ctx, package, written);
    if (rc == RC_OK) rc = tree.Add(PACKAGE_NAME, package);
    if (rc != RC_OK) return rc;
    PrintProgress("Processed 95%");
    PrintProgress("Creating Json Output");
    CIntermediateBook metadata;
    metadata.AssignMap(ctx.m_Book.m_MetaData);
    metadata.m_Log = m_Log; // for a value cut to fit
    std::string metadataText;
    metadata.ToJson(metadataText);
    const std::string filesFolder = GetDirectory(output) + FilesFolderName(GetFileName(output)) + "/";
    for (std::string& path : written)
        path = filesFolder + path;
    rc = tree.SetMain(BuildJsonIndex(metadataText, written));
    if (rc == RC_OK) rc = tree.Commit();
    if (rc != RC_OK)
        TARVO_LOG(m_Log, LOG_ERROR, "index %s not written: %s", outputFile.c_str(), ResultMessage(rc));
    return rc;
}
