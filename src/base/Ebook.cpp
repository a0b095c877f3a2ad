// Defaults for operations a format does not provide.
#include "base/Ebook.h"

#include "base/Files.h"
#include "base/Images.h"
#include "base/RunLog.h"

ResultCode CEbook::GetMetaData(const std::string&, GetMetaContext&)
{
    return RC_NOT_SUPPORT;
}
ResultCode CEbook::SetMetaData(const std::string&, SetMetaContext&)
{
    return RC_NOT_SUPPORT;
}
ResultCode CEbook::Convert_Input(const std::string&, ConvertInputContext&)
{
    return RC_NOT_SUPPORT;
}
ResultCode CEbook::Convert_Output(const std::string&, ConvertOutputContext&)
{
    return RC_NOT_SUPPORT;
}

ResultCode DeliverCoverImage(const std::string& image, const std::string& coverImageFile,
                             CIntermediateBook& book, CRunLog* log)
{
    if (!coverImageFile.empty()) {
        ResultCode rc = WriteOutputFile(coverImageFile, image);
        if (rc != RC_OK) {
            TARVO_LOG(log, LOG_ERROR, "cover %s not written: %s", coverImageFile.c_str(), ResultMessage(rc));
            return rc;
        }
    }
    book.SetValue("coverimageext", ImageTypeOf(image));
    return RC_OK;
}
