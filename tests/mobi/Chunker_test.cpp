#include "mobi/Chunker.h"

#include <gtest/gtest.h>
