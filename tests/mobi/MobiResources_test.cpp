#include "mobi/MobiResources.h"

#include <gtest/gtest.h>
