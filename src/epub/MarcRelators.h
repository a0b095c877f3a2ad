// Relator terms and their MARC codes, for contributor roles given as words.
#pragma once

#include <string>

// The code for a term ("editor" -> "edt"), compared case-insensitively; the text itself when it is
// already a code or unknown.
std::string RelatorCode(const std::string& role);
