#include "mobi/Ebook_MobiFrame.h"

CEbookMobiFrame::~CEbookMobiFrame() = default;
