// HTML repair through libtidy and our own XHTML printers.
#pragma once

#include <string>

// Escapes every "&" that does not start a character reference; true when the text changed.
bool HandleNakedAmpersand(std::string& text);
