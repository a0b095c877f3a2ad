// The locale field of a MOBI header: a Windows language identifier, primary language in the low
// ten bits and the region (sublanguage) above them. Readers that never look at EXTH 524 choose
// their dictionary and hyphenation by it.
#pragma once

#include <cstdint>
#include <string>

// The identifier of a language tag ("en" 0x09, "en-US" 0x0409, "pt_BR" 0x0416), case and
// separator as packages write them; 0 (language neutral) for a tag we have no identifier for.
uint32_t KindleLocaleOf(const std::string& languageTag);

// The locale to write for a book whose language tag is languageTag and whose source header (a
// Kindle book's own) said previous (0 when there was none): the tag's identifier, except that a
// tag without region keeps the previous region of the same language. The previous value stays
// when the tag is empty; an unknown tag gives 0, since the old language would contradict it.
uint32_t KindleLocaleFor(const std::string& languageTag, uint32_t previous);
