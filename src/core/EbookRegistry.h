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

// "kobo" for a last component without a ".", else the lower-cased extension (may be empty).
std::string FormatWordOf(const std::string& path);
