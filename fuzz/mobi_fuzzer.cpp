// Opens an arbitrary Kindle file held in memory and runs every reading step over each book part:
// text decoding, resource unpacking into a scratch folder, the cover, the indexes and the text
// turned into HTML files. Every record
// that looks like a primary index record is also read by each index reader directly.
#include "FuzzScratch.h"
#include "mobi/Ebook_Azw3.h"
#include "mobi/Ebook_Prc.h"
#include "mobi/Index.h"
#include "mobi/MOBIHeader.h"
#include "mobi/PalmDb.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace
{

const std::string& Scratch()
{
    return FuzzScratch("/tmp/mobi-fuzz-XXXXXX");
}

// Resources come from the first part; a KF8 part of a joint file refers to them.
void RunPart(CMobiHeader& part, CMobiHeader& resources)
{
    const std::string& dir = Scratch();
    part.UnpackTextRecord(dir);
    if (&part == &resources) part.UnpackAllRecord(dir);
    part.GetCoverImage(dir + "cover.img");
    if (part.GetIndexRecord() != RC_OK) return;
    std::unique_ptr<CEbookMobiBase> text;
    if (part.IsKf8())
        text = std::make_unique<CEbookAzw3>(part, resources, dir, nullptr);
    else
        text = std::make_unique<CEbookPrc>(part, resources, dir, nullptr);
    text->MakeFileListToMetaData();
}

void ReadIndexesDirectly(const CPalmDb& db)
{
    // Up to 8 candidate primaries, each with the records that follow it.
    int candidates = 0;
    std::string record;
    for (uint32_t i = 0; i + 1 < db.RecordCount() && candidates < 8; ++i) {
        if (db.ReadRecordHead(i, 4, record) != RC_OK || record != "INDX") continue;
        ++candidates;
        std::vector<std::string> records;
        for (uint32_t k = i; k + 1 < db.RecordCount() && records.size() < 6; ++k) {
            if (db.ReadRecord(k, record) != RC_OK) break;
            records.push_back(record);
        }
        CNcxIndexMobi ncx;
        CSkelIndex skel;
        CChunkIndex chunk;
        CGuideIndex guide;
        ncx.ReadRecords(records);
        skel.ReadRecords(records);
        chunk.ReadRecords(records);
        guide.ReadRecords(records);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CPalmDb db;
    if (db.OpenMemory(bytes) != RC_OK) return 0;
    CMobiHeader first, kf8;
    bool joint = false;
    ResultCode rc = OpenMobiParts(db, first, kf8, joint, nullptr);
    // A missing end-of-file record still leaves readable parts worth exercising.
    if (rc == RC_OK || rc == RC_MOBI_EOF_RECORD) {
        RunPart(first, first);
        if (joint) RunPart(kf8, first);
    }
    ReadIndexesDirectly(db);
    return 0;
}
