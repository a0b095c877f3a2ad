// Text helpers over bytes: ASCII case, trimming, prefixes and the two ways of decoding "%XX".
#pragma once

#include <cstddef>
#include <string>

void ReplaceAll(std::string& text, const std::string& from, const std::string& to);
void ToLower(std::string& text);
std::string ToLowerCopy(const std::string& text);
// The text without the blanks, tabs, line ends and form feeds at either end.
std::string Trimmed(const std::string& text);
// "%XX" becomes that byte and "+" a blank; everything else is copied.
std::string UrlDecode(const std::string& text);
// A URI's "%XX" escapes; unlike a form's text, "+" stays a plus.
std::string PercentDecode(const std::string& uri);
// The value of a hexadecimal digit, or -1.
int HexDigitValue(char c);
bool StartsWith(const std::string& text, const std::string& prefix);
bool EndsWith(const std::string& text, const std::string& suffix);
bool EqualsNoCase(const std::string& a, const std::string& b);
// Where lowerNeedle (lower case) first occurs in text[from, end), ignoring ASCII case; npos if not.
size_t FindNoCase(const std::string& text, const std::string& lowerNeedle, size_t from = 0,
                  size_t end = std::string::npos);
// Decimal value of the leading digits (after an optional sign); 0 when there are none.
int LeadingNumber(const std::string& text);
