// Init, the document printers and the ampersand repair over arbitrary bytes.
#include "ebook/HtmlParse.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    // The first byte picks the caller's flags, as the handlers pass them in their combinations.
    bool windows1252 = (data[0] & 1) != 0;
    bool cleanAndRepair = (data[0] & 2) == 0;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    CHtmlParse parse;
    if (parse.Init(text, windows1252, cleanAndRepair) != RC_OK) return 0;
    std::string out;
    parse.PrintDocument(out);
    HandleNakedAmpersand(out);
    std::string withIds, text2;
    parse.PrintDocumentWithHeadingIds(withIds);
    parse.PrintVisibleText(text2);
    HtmlResourceRecord record;
    parse.CollectResources(record);
    std::string linked;
    parse.PrintDocumentLinkingStyleSheet("style.css", linked);
    DecodeEntities(text2);
    return 0;
}
