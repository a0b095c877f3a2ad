#include "base/Zip.h"
