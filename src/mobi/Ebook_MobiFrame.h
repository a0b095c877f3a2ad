// MOBI 6, KF8 and joint Kindle files.
#pragma once

#include "base/Ebook.h"

class CEbookMobiFrame : public CEbook {
public:
    ~CEbookMobiFrame() override;
};
