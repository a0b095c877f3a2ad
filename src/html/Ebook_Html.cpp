#include "html/Ebook_Html.h"

CEbookHtml::~CEbookHtml() = default;
