// PDF in and out through helper programs of ours, found only in the program's own helper folder
// (HelperPath): "pdftohtml" turns a PDF into one HTML page that is then read as an HTML book, "cov"
// renders the book's pages into one PDF with the style sheet "fix.css", and "pdfmeta" reads a PDF's
// metadata and renders its first page as the cover.
#pragma once

#include "base/Ebook.h"
#include "base/IntermediateBook.h"

#include <cstddef>
#include <string>
#include <vector>

class CEbookPdf : public CEbook
{
  public:
    ResultCode GetMetaData(const std::string& inputFile, GetMetaContext& ctx) override;
    ResultCode Convert_Input(const std::string& inputFile, ConvertInputContext& ctx) override;
    ResultCode Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx) override;
    CIntermediateBook* GetIntermediateBook() override { return &m_Book; }

    ResultCode ParsePdf(const std::string& inputFile, ConvertInputContext& ctx);
    ResultCode ConvertToPdf(const std::string& outputFile, ConvertOutputContext& ctx);
    // The arguments of "cov" after its leading options: style sheet, pages and the PDF to write.
    // Pages that would not fit in room bytes of argument space go to a list file instead.
    ResultCode GetCmdParam(const std::string& pdfFile, ConvertOutputContext& ctx, size_t room,
                           std::vector<std::string>& param);
    // Tests hand over stand-in helpers in a folder of their own (ending in "/").
    void UseHelpersFrom(const std::string& folder) { m_HelperDirectory = folder; }

  private:
    ResultCode RunPdfToHtml(const std::string& inputFile, const std::string& outputBase,
                            const std::string& options);
    ResultCode ReadGeneratedBook(const std::string& inputFile, const std::string& htmlPath,
                                 ConvertInputContext& ctx);
    void PutCoverFirst(CIntermediateBook& book, const std::string& bookDirectory);
    bool PreparePage(std::string& entry, const std::string& bookDirectory, std::string& path);
    std::string HelperFile(const char* name) const;
    ResultCode RenderPdf(const std::string& pdfFile, const std::vector<std::string>& arguments);
    // A cover that could not be rendered leaves the book without one; one that cannot be written
    // fails g as any other handler's does.
    ResultCode DeliverFirstPage(const std::string& rendered, const std::string& coverImageFile);

    std::string m_WorkName;
    std::string m_HelperDirectory; // empty: the program's own helper folder
    CIntermediateBook m_Book;
};

// Prints a content file again for the renderer: svg wrappers give way to a plain img of their
// image, img keeps only alt, src and xlink:href, and head declares UTF-8. A file the HTML library
// cannot parse stays as it is.
void RepairSvg(const std::string& path, CRunLog* log);

// The book's metadata as PDF writes it: "cov" options for the title, the authors, the description,
// the subjects as keywords, the language and the publication date, character references shown as
// the characters they name.
std::vector<std::string> MetadataArguments(const CIntermediateBook& book);
// The metadata keys of a PDF from what "pdfmeta" wrote: info, its information dictionary as
// pdfinfo prints it (UTF-8, ISO dates), and xmp, its XMP packet or nothing.
void ReadPdfMetadata(const std::string& info, const std::string& xmp, CIntermediateBook& book);
