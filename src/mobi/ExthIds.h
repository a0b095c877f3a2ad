// The EXTH record types the Kindle reader and writers give a meaning beyond their metadata key.
#pragma once

#include <cstdint>

constexpr int32_t EXTH_CREATOR = 100;
constexpr int32_t EXTH_PUBLISHER = 101;
constexpr int32_t EXTH_DESCRIPTION = 103;
constexpr int32_t EXTH_ISBN = 104;
constexpr int32_t EXTH_SUBJECT = 105;
constexpr int32_t EXTH_PUBLICATION_DATE = 106;
constexpr int32_t EXTH_CONTRIBUTOR = 108;
constexpr int32_t EXTH_ASIN = 113;
constexpr int32_t EXTH_KF8_BOUNDARY = 121; // record number of the KF8 part's record 0
constexpr int32_t EXTH_FIXED_LAYOUT = 122; // "true"
constexpr int32_t EXTH_RESOURCE_COUNT = 125;
constexpr int32_t EXTH_KF8_COVER_URI = 129; // "kindle:embed:" reference of the cover
constexpr int32_t EXTH_RESOURCE_COUNT_KF8 = 131;
constexpr int32_t EXTH_COVER_OFFSET = 201; // resource numbers, counted from the first
constexpr int32_t EXTH_THUMB_OFFSET = 202;
constexpr int32_t EXTH_FAKE_COVER = 203;
constexpr int32_t EXTH_ORIGINAL_RESOLUTION = 307; // "WxH" of a fixed-layout page
constexpr int32_t EXTH_DOCUMENT_TYPE = 501;       // "EBOK", "PDOC"
constexpr int32_t EXTH_TITLE = 503;
constexpr int32_t EXTH_LANGUAGE = 524;
constexpr int32_t EXTH_WRITING_MODE = 525;     // "horizontal-lr", "horizontal-rl", "vertical-rl"
constexpr int32_t EXTH_PAGE_PROGRESSION = 527; // "ltr", "rtl"
constexpr int32_t EXTH_CONTAINER_CONTENT = 539;
