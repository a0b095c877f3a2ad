#include "core/EbookRegistry.h"

#include "base/Platform.h"
#include "epub/Ebook_Htmlz.h"
#include "epub/Ebook_epub.h"
#include "epub/Ebook_json.h"
#include "epub/Ebook_opf.h"
#include "html/Ebook_Html.h"
#include "mobi/Ebook_MobiFrame.h"
#include "mobi/Ebook_Tpz.h"
#include "pdf/Ebook_Pdf.h"
#include "txt/Ebook_Txt.h"

#include <functional>

namespace
{

struct HandlerKind {
    const char* formatWord;
    FormatId formatId;
    std::function<std::unique_ptr<CEbook>()> make;
};

template <class T> std::unique_ptr<CEbook> Make()
{
    return std::make_unique<T>();
}

const HandlerKind HANDLER_KINDS[] = {
    {"kobo", FORMAT_EPUB, Make<CEbookEpub>},     {"mobi", FORMAT_MOBI, Make<CEbookMobiFrame>},
    {"azw", FORMAT_MOBI, Make<CEbookMobiFrame>}, {"azw3", FORMAT_AZW3, Make<CEbookMobiFrame>},
    {"prc", FORMAT_PRC, Make<CEbookMobiFrame>},  {"azw4", FORMAT_AZW4, Make<CEbookMobiFrame>},
    {"epub", FORMAT_EPUB, Make<CEbookEpub>},     {"pdf", FORMAT_PDF, Make<CEbookPdf>},
    {"html", FORMAT_HTML, Make<CEbookHtml>},     {"htm", FORMAT_HTML, Make<CEbookHtml>},
    {"xhtml", FORMAT_HTML, Make<CEbookHtml>},    {"shtml", FORMAT_HTML, Make<CEbookHtml>},
    {"txt", FORMAT_TXT, Make<CEbookTxt>},        {"htmlz", FORMAT_HTMLZ, Make<CEbookHtmlz>},
    {"opf", FORMAT_OPF, Make<CEbookOpf>},        {"json", FORMAT_JSON, Make<CEbookJson>},
    {"tpz", FORMAT_TPZ, Make<CEbookTpz>},        {"azw1", FORMAT_TPZ, Make<CEbookTpz>},
    {"topaz", FORMAT_TPZ, Make<CEbookTpz>},
};

} // namespace

std::string FormatWordOf(const std::string& path)
{
    std::string extension;
    return GetExtension(path, extension) ? extension : "kobo";
}

CEbook* CEbookRegistry::GetEbook(const std::string& path)
{
    std::string word = FormatWordOf(path);
    for (const HandlerKind& kind : HANDLER_KINDS) {
        if (word != kind.formatWord) continue;
        std::unique_ptr<CEbook> handler = kind.make();
        handler->m_FormatWord = word;
        handler->m_FormatId = kind.formatId;
        CEbook* raw = handler.get();
        m_Handlers.push_back(std::move(handler));
        return raw;
    }
    return nullptr;
}
