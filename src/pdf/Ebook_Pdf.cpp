#include "pdf/Ebook_Pdf.h"

CEbookPdf::~CEbookPdf() = default;
