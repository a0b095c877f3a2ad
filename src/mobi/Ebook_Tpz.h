// Topaz files: recognised so they can be refused, never converted.
#pragma once

#include "base/Ebook.h"

class CEbookTpz : public CEbook
{
  public:
    ResultCode GetMetaData(const std::string& inputFile, GetMetaContext& ctx) override;
};
