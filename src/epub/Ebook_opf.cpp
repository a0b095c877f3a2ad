#include "epub/Ebook_opf.h"

CEbookOpf::~CEbookOpf() = default;
