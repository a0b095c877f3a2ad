#include "txt/Ebook_Txt.h"

CEbookTxt::~CEbookTxt() = default;
