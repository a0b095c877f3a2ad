#include "mobi/Ebook_Tpz.h"

#include "base/Files.h"

ResultCode CEbookTpz::GetMetaData(const std::string& inputFile, GetMetaContext&)
{
    CFile file;
    if (file.Open(inputFile, false, false) != RC_OK) return RC_NOT_SUPPORT;
    char magic[3];
    if (file.Read(magic, sizeof magic) != RC_OK) return RC_NOT_SUPPORT;
    return magic[0] == 'T' && magic[1] == 'P' && magic[2] == 'Z' ? RC_DRM_TOPAZ : RC_NOT_SUPPORT;
}
