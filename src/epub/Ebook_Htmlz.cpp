#include "epub/Ebook_Htmlz.h"

CEbookHtmlz::~CEbookHtmlz() = default;
