// EPUB books (and files without an extension).
#pragma once

#include "base/Ebook.h"

class CEbookEpub : public CEbook {
public:
    ~CEbookEpub() override;
};
