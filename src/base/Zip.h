// ZIP archives for the EPUB and HTMLZ containers.
#pragma once

#include "base/Platform.h"

class CZip : public CFile {
};
