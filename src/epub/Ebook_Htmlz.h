// HTMLZ archives: one HTML file, its resources and a package document.
#pragma once

#include "base/Ebook.h"

class CEbookHtmlz : public CEbook {
public:
    ~CEbookHtmlz() override;
};
