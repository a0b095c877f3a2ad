// Writing a book as a joint MOBI 6 + KF8 file or a KF8-only file.
#include "mobi/Ebook_MobiFrame.h"
