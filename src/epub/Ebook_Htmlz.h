// HTMLZ archives: HTML pages, their resources and a package document, read as a book.
#pragma once

#include "base/Ebook.h"

#include <string>
#include <vector>

class CParseOpf;
class CZip;

class CEbookHtmlz : public CEbook
{
  public:
    ~CEbookHtmlz() override;
    ResultCode GetMetaData(const std::string& inputFile, GetMetaContext& ctx) override;
    ResultCode Convert_Input(const std::string& inputFile, ConvertInputContext& ctx) override;
    CIntermediateBook* GetIntermediateBook() override { return &m_Book; }

  private:
    // Lists the archive (a damaged one through a repaired copy in the TempDirectory) and reads and
    // parses its package document.
    ResultCode ReadPackage(const std::string& inputFile, const std::string& tempDirectory, CZip& zip,
                           CParseOpf& parser, std::string& opfText);
    // A package without a spine (as most HTMLZ writers make them) is read as its first page and
    // the pages that page links to.
    ResultCode ReadPagesWithoutSpine(const CZip& zip, const std::string& tempDirectory);
    void DropNamesOutsideTheBook();
    // Lists every file that the style sheets among the resources, and the style blocks of the
    // pages, name and the archive holds, so that a background image or a font no page names
    // reaches the output. The files are copied from sourceDirectory, where the archive was
    // unpacked, into bookDirectory when the two differ.
    void KeepStyleSheetFiles(const std::string& bookDirectory, const std::string& sourceDirectory);
    // The package's cover image, or else an image the guide names as the cover.
    std::string CoverHref(const CParseOpf& parser) const;

    CIntermediateBook m_Book;
    std::string m_OpfPath;
};

// Gives a spine without a toc attribute toc="ncx" and the manifest an NCX item spelt as the
// manifest is; false when the package is left as it was.
bool CompleteHtmlzPackage(std::string& opf);
