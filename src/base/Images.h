// What kind of image a file's bytes are.
#pragma once

#include <string>
#include <vector>

// "jpg", "png", "bmp", "gif", or empty for anything else and for data under 20 bytes.
std::string ImageTypeOf(const std::string& bytes);
// Every type ImageTypeOf may give, in the order it tries them.
std::vector<std::string> ImageTypes();
