// Plain text in any encoding.
#pragma once

#include "base/Ebook.h"

class CEbookTxt : public CEbook {
public:
    ~CEbookTxt() override;
};
