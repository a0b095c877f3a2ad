// MOBI 6 output: the book's HTML files joined into one text.
#include "mobi/Ebook_Prc.h"

ResultCode CEbookPrc::ParseText(CMobiResources&, MobiPartText&)
{
    return RC_NOT_SUPPORT;
}
