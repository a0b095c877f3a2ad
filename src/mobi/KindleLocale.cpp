// Language tags to the Windows language identifiers MOBI headers carry.
#include "mobi/KindleLocale.h"

#include "base/Text.h"

namespace
{

constexpr uint32_t PRIMARY_MASK = 0x3FF;
constexpr int SUBLANGUAGE_SHIFT = 10;

struct Primary {
    const char* m_Tag;
    uint32_t m_Id;
};
// ISO 639 codes (two letters, or three where there is no two-letter code) and their primary
// language identifiers.
const Primary PRIMARIES[] = {
    {"af", 0x36}, {"am", 0x5E}, {"ar", 0x01}, {"as", 0x4D}, {"az", 0x2C}, {"be", 0x23},  {"bg", 0x02},
    {"bn", 0x45}, {"bo", 0x51}, {"br", 0x7E}, {"bs", 0x1A}, {"ca", 0x03}, {"co", 0x83},  {"cs", 0x05},
    {"cy", 0x52}, {"da", 0x06}, {"de", 0x07}, {"dv", 0x65}, {"el", 0x08}, {"en", 0x09},  {"es", 0x0A},
    {"et", 0x25}, {"eu", 0x2D}, {"fa", 0x29}, {"fi", 0x0B}, {"fo", 0x38}, {"fr", 0x0C},  {"fy", 0x62},
    {"ga", 0x3C}, {"gd", 0x91}, {"gl", 0x56}, {"gu", 0x47}, {"ha", 0x68}, {"he", 0x0D},  {"hi", 0x39},
    {"hr", 0x1A}, {"hu", 0x0E}, {"hy", 0x2B}, {"id", 0x21}, {"ig", 0x70}, {"is", 0x0F},  {"it", 0x10},
    {"iu", 0x5D}, {"ja", 0x11}, {"ka", 0x37}, {"kk", 0x3F}, {"kl", 0x6F}, {"km", 0x53},  {"kn", 0x4B},
    {"ko", 0x12}, {"ky", 0x40}, {"lb", 0x6E}, {"lo", 0x54}, {"lt", 0x27}, {"lv", 0x26},  {"mi", 0x81},
    {"mk", 0x2F}, {"ml", 0x4C}, {"mn", 0x50}, {"mr", 0x4E}, {"ms", 0x3E}, {"mt", 0x3A},  {"nb", 0x14},
    {"ne", 0x61}, {"nl", 0x13}, {"nn", 0x14}, {"no", 0x14}, {"oc", 0x82}, {"or", 0x48},  {"pa", 0x46},
    {"pl", 0x15}, {"ps", 0x63}, {"pt", 0x16}, {"rm", 0x17}, {"ro", 0x18}, {"ru", 0x19},  {"rw", 0x87},
    {"sa", 0x4F}, {"si", 0x5B}, {"sk", 0x1B}, {"sl", 0x24}, {"sq", 0x1C}, {"sr", 0x1A},  {"sv", 0x1D},
    {"sw", 0x41}, {"ta", 0x49}, {"te", 0x4A}, {"tg", 0x28}, {"th", 0x1E}, {"tk", 0x42},  {"tn", 0x32},
    {"tr", 0x1F}, {"tt", 0x44}, {"ug", 0x80}, {"uk", 0x22}, {"ur", 0x20}, {"uz", 0x43},  {"vi", 0x2A},
    {"wo", 0x88}, {"xh", 0x34}, {"yo", 0x6A}, {"zh", 0x04}, {"zu", 0x35}, {"kok", 0x57}, {"syr", 0x5A},
};

struct Region {
    const char* m_Tag; // language and region, lower case, joined by "-"
    uint32_t m_Sublanguage;
};
// The regions whose sublanguage numbers readers are known to tell apart; other regions of a
// language get its primary identifier alone.
const Region REGIONS[] = {
    {"ar-sa", 1},  {"ar-iq", 2},  {"ar-eg", 3},  {"ar-ly", 4},  {"ar-dz", 5},   {"ar-ma", 6},   {"ar-tn", 7},
    {"ar-om", 8},  {"ar-ye", 9},  {"ar-sy", 10}, {"ar-jo", 11}, {"ar-lb", 12},  {"ar-kw", 13},  {"ar-ae", 14},
    {"ar-bh", 15}, {"ar-qa", 16}, {"de-de", 1},  {"de-ch", 2},  {"de-at", 3},   {"de-lu", 4},   {"de-li", 5},
    {"en-us", 1},  {"en-gb", 2},  {"en-au", 3},  {"en-ca", 4},  {"en-nz", 5},   {"en-ie", 6},   {"en-za", 7},
    {"en-jm", 8},  {"en-bz", 10}, {"en-tt", 11}, {"en-zw", 12}, {"en-ph", 13},  {"en-in", 16},  {"en-my", 17},
    {"en-sg", 18}, {"es-es", 3},  {"es-mx", 2},  {"es-gt", 4},  {"es-cr", 5},   {"es-pa", 6},   {"es-do", 7},
    {"es-ve", 8},  {"es-co", 9},  {"es-pe", 10}, {"es-ar", 11}, {"es-ec", 12},  {"es-cl", 13},  {"es-uy", 14},
    {"es-py", 15}, {"es-bo", 16}, {"es-sv", 17}, {"es-hn", 18}, {"es-ni", 19},  {"es-pr", 20},  {"es-us", 21},
    {"fr-fr", 1},  {"fr-be", 2},  {"fr-ca", 3},  {"fr-ch", 4},  {"fr-lu", 5},   {"fr-mc", 6},   {"it-it", 1},
    {"it-ch", 2},  {"ja-jp", 1},  {"ko-kr", 1},  {"nl-nl", 1},  {"nl-be", 2},   {"nb-no", 1},   {"no-no", 1},
    {"nn-no", 2},  {"pt-br", 1},  {"pt-pt", 2},  {"ru-ru", 1},  {"sv-se", 1},   {"sv-fi", 2},   {"zh-tw", 1},
    {"zh-cn", 2},  {"zh-hk", 3},  {"zh-sg", 4},  {"zh-mo", 5},  {"zh-hant", 1}, {"zh-hans", 2},
};

} // namespace

uint32_t KindleLocaleOf(const std::string& languageTag)
{
    std::string tag = ToLowerCopy(Trimmed(languageTag));
    if (tag.empty()) return 0;
    for (char& c : tag)
        if (c == '_') c = '-';
    const std::string language = tag.substr(0, tag.find('-'));
    uint32_t primary = 0;
    for (const Primary& p : PRIMARIES)
        if (language == p.m_Tag) primary = p.m_Id;
    if (primary == 0) return 0;
    // "zh-Hant-TW": the region is the last subtag that the table knows with this language.
    uint32_t sublanguage = 0;
    for (size_t dash = tag.find('-'); dash != std::string::npos; dash = tag.find('-', dash + 1)) {
        const size_t end = tag.find('-', dash + 1);
        const std::string key = language + tag.substr(dash, end == std::string::npos ? end : end - dash);
        for (const Region& r : REGIONS)
            if (key == r.m_Tag) sublanguage = r.m_Sublanguage;
    }
    return sublanguage << SUBLANGUAGE_SHIFT | primary;
}

uint32_t KindleLocaleFor(const std::string& languageTag, uint32_t previous)
{
    if (Trimmed(languageTag).empty()) return previous;
    const uint32_t id = KindleLocaleOf(languageTag);
    if (id != 0 && id <= PRIMARY_MASK && (previous & PRIMARY_MASK) == id) return previous;
    return id;
}
