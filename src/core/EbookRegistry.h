// Creates and owns the handler for each path of one engine operation, chosen by extension.
#pragma once

#include "base/Ebook.h"

#include <vector>
#include <memory>
#include <string>

class CEbookRegistry {
public:
    // The handler for the path's format word, or nullptr. Folds the extension in path to lower case.
    CEbook* GetEbook(std::string& path);

private:
    std::vector<std::unique_ptr<CEbook>> m_Handlers;  // input and output of one format are two
};

// "kobo" for a last component without a ".", else the lower-cased extension (may be empty).
std::string FormatWordOf(std::string& path);
