// HTML files and the local pages they link to.
#pragma once

#include "base/Ebook.h"

class CEbookHtml : public CEbook {
public:
    ~CEbookHtml() override;
};
