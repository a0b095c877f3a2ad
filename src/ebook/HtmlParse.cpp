#include "ebook/HtmlParse.h"

bool HandleNakedAmpersand(std::string&) { return false; }
