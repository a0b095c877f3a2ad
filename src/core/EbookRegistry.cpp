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

// Which way a conversion can use a handler. The Topaz handler only recognises its books to refuse
// them; HTMLZ has no writer and JSON no reader; PRC output is refused, and AZW4 holds a PDF that
// is unpacked, never made. FOLDER marks the writers that put the book's files in a COutputTree
// folder beside the output (FilesFolderName), which a caller moving outputs must move too.
enum Use : unsigned { READ = 1, WRITE = 2, BOTH = READ | WRITE, NEITHER = 0, FOLDER = 4 };

struct HandlerKind {
    const char* formatWord;
    FormatId formatId;
    std::function<std::unique_ptr<CEbook>()> make;
    unsigned uses;
};

template <class T> std::unique_ptr<CEbook> Make()
{
    return std::make_unique<T>();
}

// Listed in the order the usage names them, EPUB first.
const HandlerKind HANDLER_KINDS[] = {
    {"kobo", FORMAT_EPUB, Make<CEbookEpub>, BOTH},
    {"epub", FORMAT_EPUB, Make<CEbookEpub>, BOTH},
    {"mobi", FORMAT_MOBI, Make<CEbookMobiFrame>, BOTH},
    {"azw", FORMAT_MOBI, Make<CEbookMobiFrame>, BOTH},
    {"azw3", FORMAT_AZW3, Make<CEbookMobiFrame>, BOTH},
    {"prc", FORMAT_PRC, Make<CEbookMobiFrame>, READ},
    {"azw4", FORMAT_AZW4, Make<CEbookMobiFrame>, READ},
    {"pdf", FORMAT_PDF, Make<CEbookPdf>, BOTH},
    {"html", FORMAT_HTML, Make<CEbookHtml>, BOTH | FOLDER},
    {"htm", FORMAT_HTML, Make<CEbookHtml>, BOTH | FOLDER},
    {"xhtml", FORMAT_HTML, Make<CEbookHtml>, BOTH | FOLDER},
    {"shtml", FORMAT_HTML, Make<CEbookHtml>, BOTH | FOLDER},
    {"txt", FORMAT_TXT, Make<CEbookTxt>, BOTH},
    {"htmlz", FORMAT_HTMLZ, Make<CEbookHtmlz>, READ},
    {"opf", FORMAT_OPF, Make<CEbookOpf>, BOTH | FOLDER},
    {"json", FORMAT_JSON, Make<CEbookJson>, WRITE | FOLDER},
    {"tpz", FORMAT_TPZ, Make<CEbookTpz>, NEITHER},
    {"azw1", FORMAT_TPZ, Make<CEbookTpz>, NEITHER},
    {"topaz", FORMAT_TPZ, Make<CEbookTpz>, NEITHER},
};

const HandlerKind* KindOf(const std::string& formatWord)
{
    for (const HandlerKind& kind : HANDLER_KINDS)
        if (formatWord == kind.formatWord) return &kind;
    return nullptr;
}

unsigned UseOf(ConversionSide side)
{
    return side == ConversionSide::Input ? READ : WRITE;
}

} // namespace

std::string FormatWordOf(const std::string& path)
{
    std::string extension;
    return GetExtension(path, extension) ? extension : NO_EXTENSION_WORD;
}

CEbook* CEbookRegistry::GetEbook(const std::string& path)
{
    std::string word = FormatWordOf(path);
    const HandlerKind* kind = KindOf(word);
    if (kind == nullptr) return nullptr;
    std::unique_ptr<CEbook> handler = kind->make();
    handler->m_FormatWord = word;
    handler->m_FormatId = kind->formatId;
    CEbook* raw = handler.get();
    m_Handlers.push_back(std::move(handler));
    return raw;
}

bool KnowsFormat(const std::string& formatWord)
{
    return KindOf(formatWord) != nullptr;
}

bool Converts(const std::string& formatWord, ConversionSide side)
{
    const HandlerKind* kind = KindOf(formatWord);
    return kind != nullptr && (kind->uses & UseOf(side)) != 0;
}

std::vector<std::string> ConvertedExtensions(ConversionSide side)
{
    std::vector<std::string> extensions;
    for (const HandlerKind& kind : HANDLER_KINDS)
        if ((kind.uses & UseOf(side)) != 0 && std::string(kind.formatWord) != NO_EXTENSION_WORD)
            extensions.push_back(kind.formatWord);
    return extensions;
}

std::vector<std::string> ExtensionsWithFilesFolder()
{
    std::vector<std::string> extensions;
    for (const HandlerKind& kind : HANDLER_KINDS)
        if ((kind.uses & (WRITE | FOLDER)) == (WRITE | FOLDER)) extensions.push_back(kind.formatWord);
    return extensions;
}

std::vector<std::string> RefusedExtensions()
{
    std::vector<std::string> extensions;
    for (const HandlerKind& kind : HANDLER_KINDS)
        if ((kind.uses & BOTH) == 0) extensions.push_back(kind.formatWord);
    return extensions;
}
