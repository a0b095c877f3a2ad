// KF8 output: the book's HTML files as skeletons, fragments and flows.
#include "mobi/Ebook_Azw3.h"

ResultCode CEbookAzw3::ParseText(CMobiResources&, bool, MobiPartText&)
{
    return RC_NOT_SUPPORT;
}
