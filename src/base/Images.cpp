#include "base/Images.h"

static bool IsJpeg(const std::string& bytes)
{
    if (bytes.compare(6, 4, "JFIF") == 0 || bytes.compare(6, 4, "Exif") == 0) return true;
    if (static_cast<unsigned char>(bytes[0]) != 0xFF || static_cast<unsigned char>(bytes[1]) != 0xD8)
        return false;
    size_t end = bytes.find_last_not_of('\0');
    return end != std::string::npos && end >= 1 && static_cast<unsigned char>(bytes[end - 1]) == 0xFF &&
           static_cast<unsigned char>(bytes[end]) == 0xD9;
}

static bool IsPng(const std::string& bytes)
{
    return bytes.compare(0, 8, "\x89PNG\r\n\x1a\n", 8) == 0;
}

static bool IsBmp(const std::string& bytes)
{
    return bytes.compare(0, 2, "BM") == 0;
}

static bool IsGif(const std::string& bytes)
{
    return bytes.compare(0, 6, "GIF87a") == 0 || bytes.compare(0, 6, "GIF89a") == 0;
}

struct ImageSignature {
    const char* type;
    bool (*matches)(const std::string& bytes);
};
// Tried in this order; ImageTypes lists the same names, so callers learn them from here only.
static const ImageSignature IMAGE_SIGNATURES[] = {
    {"jpg", IsJpeg}, {"png", IsPng}, {"bmp", IsBmp}, {"gif", IsGif}};

std::string ImageTypeOf(const std::string& bytes)
{
    if (bytes.size() < 20) return "";
    for (const ImageSignature& signature : IMAGE_SIGNATURES)
        if (signature.matches(bytes)) return signature.type;
    return "";
}

std::vector<std::string> ImageTypes()
{
    std::vector<std::string> types;
    for (const ImageSignature& signature : IMAGE_SIGNATURES)
        types.push_back(signature.type);
    return types;
}
