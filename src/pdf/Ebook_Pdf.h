// PDF through external converter programs.
#pragma once

#include "base/Ebook.h"

class CEbookPdf : public CEbook {
public:
    ~CEbookPdf() override;
};
