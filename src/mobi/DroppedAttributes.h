// Kindle text without the attributes its reader drops on printing anyway, so that the HTML library
// parses fewer of them. Only what parses and prints the same either way goes: at the first markup
// a pass does not fully understand, the rest of the text is copied as it stands.
#pragma once

#include <cstddef>
#include <string>

// A length that shows nothing: no digit but zeros before its unit.
bool IsZeroLength(const std::string& value);

// The bytes [start, end) of KF8 text without the aid attributes.
std::string WithoutAidAttributes(const std::string& text, size_t start, size_t end);

// The bytes [start, end) of MOBI 6 text without the zero widths and heights its blocks carry
// (width="0pt"), which give no indent and no space above. An image keeps its size.
std::string WithoutZeroLengths(const std::string& text, size_t start, size_t end);
