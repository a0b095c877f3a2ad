#include "mobi/Chunker.h"
