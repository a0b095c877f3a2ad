// Unpacked OPF packages.
#pragma once

#include "base/Ebook.h"

class CEbookOpf : public CEbook {
public:
    ~CEbookOpf() override;
};
