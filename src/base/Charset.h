// Encoding detection (uchardet) and conversion (iconv) to and from UTF-8.
#pragma once

#include "base/ResultCode.h"

#include <string>

// The detected charset name, or "ascii" when the detector names none.
ResultCode HandleUniversalDetector(const std::string& text, std::string& charset);

class CharsetConv
{
  public:
    virtual ~CharsetConv() = default;
    // Undecodable bytes are dropped; only failing to open the converter is an error.
    static ResultCode Convert(const std::string& from, const std::string& to, const std::string& input,
                              std::string& output);
    // Detects and converts in place. Byte-oriented texts end at their first zero byte; UTF-16
    // is converted whole in the byte order of its mark.
    static ResultCode ToUtf8(std::string& text);
};

// "&#39;", "&#x27;" and the five XML entities replaced by their characters, in one pass. A
// reference that names no character (zero, a surrogate, past U+10FFFF, no ";") stays as written.
// Metadata read from a package can carry such references escaped twice; outputs show the character.
std::string DecodeCharacterReferences(const std::string& text);
