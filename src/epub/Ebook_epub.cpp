#include "epub/Ebook_epub.h"

CEbookEpub::~CEbookEpub() = default;
