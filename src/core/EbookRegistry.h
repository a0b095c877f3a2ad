// Creates and owns the handler for each path of one engine operation, chosen by extension.
#pragma once

#include "base/Ebook.h"

#include <memory>
#include <string>
#include <vector>

class CEbookRegistry
{
  public:
    // The handler for the path's format word, or nullptr.
    CEbook* GetEbook(const std::string& path);

  private:
    std::vector<std::unique_ptr<CEbook>> m_Handlers; // input and output of one format are two
};

// The format word of a last component without a "."; such a book is an EPUB.
constexpr const char* NO_EXTENSION_WORD = "kobo";

// "kobo" for a last component without a ".", else the lower-cased extension (may be empty).
std::string FormatWordOf(const std::string& path);

// Whether any handler takes the format word, if only to refuse its books with a reason.
bool KnowsFormat(const std::string& formatWord);

enum class ConversionSide { Input, Output };
// Whether `c` can read (Input) or write (Output) a format word as FormatWordOf gives it.
bool Converts(const std::string& formatWord, ConversionSide side);
// The extensions `c` reads or writes, in the registry's order; a name without one is not listed.
std::vector<std::string> ConvertedExtensions(ConversionSide side);
// The output extensions written with a folder of the book's files beside them (FilesFolderName).
std::vector<std::string> ExtensionsWithFilesFolder();
// The extensions recognised only to refuse their books: `c` refuses them by name, `g` says why.
std::vector<std::string> RefusedExtensions();
