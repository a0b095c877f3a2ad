// EPUB books (and files without an extension): reading, metadata, cover, and EPUB 2 output.
#pragma once

#include "base/Ebook.h"

#include <string>
#include <vector>

class CEpub;
class CHtmlParse;
class CParseOpf;

class CEbookEpub : public CEbook
{
  public:
    ResultCode GetMetaData(const std::string& inputFile, GetMetaContext& ctx) override;
    ResultCode SetMetaData(const std::string& inputFile, SetMetaContext& ctx) override;
    ResultCode Convert_Input(const std::string& inputFile, ConvertInputContext& ctx) override;
    ResultCode Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx) override;
    CIntermediateBook* GetIntermediateBook() override { return &m_Book; }

  private:
    // Package path, content directory and the parsed package; the steps every operation shares.
    ResultCode ReadPackage(const std::string& inputFile, const std::string& tempDirectory, CEpub& epub,
                           CParseOpf& parser, std::string& opfText);
    ResultCode CheckBookDRM(CEpub& epub, const CParseOpf& parser);
    ResultCode GetCoverImage(CEpub& epub, const std::string& coverImageFile);
    void ReadTableOfContents(CEpub& epub, const CParseOpf& parser);
    // Folder inside the archive that the book's file names are relative to.
    std::string ArchiveBase() const;
    void DropNamesOutsideTheBook();

    using DocumentPrint = void (*)(CHtmlParse& parser, const std::string& name, std::string& out);
    struct DocumentPass {
        DocumentPrint m_Print;
        ResultCode m_Failure; // for a document that does not parse; RC_OK leaves it as it was
        bool m_OnlyReprints;  // gives a printed document back unchanged
    };
    // The steps' prints: the language fix, the vertical-mode stylesheet link, the plain reprint.
    static void SetOutXhtmlForIbooks(CHtmlParse& parser, const std::string& name, std::string& out);
    static void FixEpubLanguage(CHtmlParse& parser, const std::string& name, std::string& out);
    static void SetVerticalMode(CHtmlParse& parser, const std::string& name, std::string& out);
    // Runs the passes over one document's text, in memory.
    ResultCode ReprintDocument(const std::string& name, const std::vector<DocumentPass>& passes,
                               bool printedAlready, std::string& text);
    ResultCode Compress(const std::string& outputFile, CIntermediateBook& book,
                        const std::string& tempDirectory, const std::vector<DocumentPass>& passes);

    CIntermediateBook m_Book;
    std::string m_OpfPath;
    std::vector<std::string> m_Images;
    bool m_OpfInSubdirectory = false;
    bool m_RelativeToContent = true;
    bool m_Converting = false; // progress lines are for conversions; `g` and `s` print only the result
};

// The EPUB handler's producer credit, written as a book-producer contributor under this key.
extern const char* const PRODUCER_KEY;
// What s writes into a package: the given values without the cover (returned in coverPath, it is a
// file, not a value) and Kindle-only keys, with this program named as producer.
MetaDataMap PackageMetadataToWrite(const MetaDataMap& given, std::string& coverPath);
// The text of "VerticalMode.css".
const char* VerticalModeCss();
// "./VerticalMode.css" for a document at the top, "../" once per folder above it otherwise.
std::string StyleSheetHrefFrom(const std::string& documentName);
// The page shown for a cover added by `s`.
std::string AddedCoverPage(const std::string& imageHref);
