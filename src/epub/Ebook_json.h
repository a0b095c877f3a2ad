// A JSON dump of the intermediate book.
#pragma once

#include "base/Ebook.h"

class CEbookJson : public CEbook {
public:
    ~CEbookJson() override;
};
