// Unpacked OPF packages: a package document on disk with its documents and resources beside it.
#pragma once

#include "base/Ebook.h"

#include <string>
#include <vector>

class COutputTree;
class CParseOpf;

class CEbookOpf : public CEbook
{
  public:
    ~CEbookOpf() override;
    ResultCode GetMetaData(const std::string& inputFile, GetMetaContext& ctx) override;
    ResultCode SetMetaData(const std::string& inputFile, SetMetaContext& ctx) override;
    ResultCode Convert_Input(const std::string& inputFile, ConvertInputContext& ctx) override;
    ResultCode Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx) override;
    CIntermediateBook* GetIntermediateBook() override { return &m_Book; }

  protected:
    // Every document (reprinted as XHTML) and resource of the book into the tree's files folder at
    // its relative path, and "toc.ncx" there too; package is the package document's text, its
    // hrefs starting with hrefPrefix. The documents really written are listed in written, relative
    // to the files folder.
    ResultCode WritePackage(COutputTree& tree, const std::string& hrefPrefix, ConvertOutputContext& ctx,
                            std::string& package, std::vector<std::string>& written);

    CIntermediateBook m_Book;

  private:
    // Parses the package document and fills the metadata and file lists; names that lie outside
    // the package's folder are left out.
    ResultCode ReadPackage(const std::string& inputFile, CParseOpf& parser, std::string& opfText);
    // The bytes of a file named relative to the package folder, read only when the file really
    // lies inside that folder (no "..", no link out of it).
    bool ReadInsidePackage(const std::string& href, std::string& bytes) const;
    bool LiesInsidePackage(const std::string& href) const;
    // The href's path, decoded and resolved, when it names a file the package folder really holds.
    bool ResolveInsidePackage(const std::string& href, std::string& path) const;
    void DropNamesOutsideThePackage();
    ResultCode CopyBookIntoTempDirectory(const std::string& tempDirectory);
    // Fonts an unpacked EPUB's encryption.xml lists as obfuscated, made plain in their copies.
    void DeobfuscateCopiedFonts(const std::string& inputFile, const std::string& tempDirectory,
                                const CParseOpf& parser);
    ResultCode SetCover(const std::string& coverPath, const CParseOpf& parser, std::string& opf);

    std::string m_PackageFolder; // ends with a separator; empty for the working folder
};
