// Defaults for operations a format does not provide.
#include "base/Ebook.h"

ResultCode CEbook::GetMetaData(const std::string&, GetMetaContext&) { return RC_NOT_SUPPORT; }
ResultCode CEbook::SetMetaData(const std::string&, SetMetaContext&) { return RC_NOT_SUPPORT; }
ResultCode CEbook::Convert_Input(const std::string&, ConvertInputContext&) { return RC_NOT_SUPPORT; }
ResultCode CEbook::Convert_Output(const std::string&, ConvertOutputContext&) { return RC_NOT_SUPPORT; }
