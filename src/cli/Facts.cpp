#include "cli/Facts.h"

#include "base/OutputTree.h"
#include "base/Platform.h"
#include "base/ResultCode.h"
#include "core/EbookRegistry.h"

#include <algorithm>
#include <json/json.h>

namespace
{

Json::Value SortedList(std::vector<std::string> items)
{
    std::sort(items.begin(), items.end());
    Json::Value list(Json::arrayValue);
    for (const std::string& item : items)
        list.append(item);
    return list;
}

} // namespace

std::string FactsJson()
{
    Json::Value facts(Json::objectValue);
    facts["version"] = PRODUCT_VERSION;
    facts["reads"] = SortedList(ConvertedExtensions(ConversionSide::Input));
    facts["writes"] = SortedList(ConvertedExtensions(ConversionSide::Output));
    const std::vector<std::string> withFolder = ExtensionsWithFilesFolder();
    facts["companion_folder"] = SortedList(withFolder);
    Json::Value folderNames(Json::objectValue);
    for (const std::string& extension : withFolder)
        folderNames[extension] = FilesFolderName("{name}." + extension);
    facts["companion_folder_name"] = folderNames;
    facts["refused"] = SortedList(RefusedExtensions());
    Json::Value notices(Json::objectValue);
    for (ResultCode code : NoticeCodes())
        notices[std::to_string(code)] = ResultMessage(code);
    facts["notices"] = notices;
    Json::Value drm(Json::objectValue);
    for (const DrmScheme& scheme : DrmSchemes())
        drm[std::to_string(scheme.code)] = scheme.name;
    facts["drm"] = drm;
    Json::Value coverTypes(Json::arrayValue);
    for (const std::string& type : ImageTypes())
        coverTypes.append(type);
    facts["cover_types"] = coverTypes;

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, facts) + "\n";
}
