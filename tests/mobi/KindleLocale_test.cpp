#include "mobi/KindleLocale.h"

#include <gtest/gtest.h>

namespace
{

struct TagCase {
    const char* tag;
    uint32_t locale;
};

TEST(KindleLocale, TagsGiveTheirLanguageAndRegion)
{
    const TagCase cases[] = {
        {"en", 0x09},        {"en-US", 0x0409}, {"EN_gb", 0x0809}, {" fr-CA ", 0x0C0C},
        {"pt-BR", 0x0416},   {"pt-PT", 0x0816}, {"ja", 0x11},      {"zh-Hant-TW", 0x0404},
        {"zh-Hans", 0x0804}, {"de-XX", 0x07},   {"sr-Latn", 0x1A}, {"kok", 0x57},
        {"english", 0},      {"xx", 0},         {"", 0},           {"-US", 0},
    };
    for (const TagCase& c : cases)
        EXPECT_EQ(KindleLocaleOf(c.tag), c.locale) << c.tag;
}

struct ForCase {
    const char* tag;
    uint32_t previous;
    uint32_t locale;
};

TEST(KindleLocale, ASourceHeaderKeepsItsRegionOnlyForTheSameLanguage)
{
    const ForCase cases[] = {
        {"en", 0x0409, 0x0409},    // the tag names no region: the source's stays
        {"en-GB", 0x0409, 0x0809}, // the tag's region wins
        {"fr", 0x0409, 0x0C},      // another language: nothing of the old one stays
        {"", 0x0409, 0x0409},      // no language to go by
        {"xx", 0x0409, 0},         // a language we cannot name must not keep the old one
        {"ja", 0, 0x11},
    };
    for (const ForCase& c : cases)
        EXPECT_EQ(KindleLocaleFor(c.tag, c.previous), c.locale) << c.tag << " after " << c.previous;
}

} // namespace
