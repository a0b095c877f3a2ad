// What a text builder hands the record writer for one part of a Kindle file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct MobiPartText {
    std::string m_Text; // UTF-8; a KF8 part's flows follow its HTML
    // Primary, data and CNCX records of every index of the part, index after index.
    std::vector<std::string> m_IndexRecords;
    // Position of each index's primary record in m_IndexRecords; -1 when the part has none.
    int32_t m_ChunkIndex = -1;
    int32_t m_SkeletonIndex = -1;
    int32_t m_GuideIndex = -1;
    int32_t m_NcxIndex = -1;
    std::string m_Fdst; // empty when the part has no flows
    uint32_t m_FdstSections = 0;
};
