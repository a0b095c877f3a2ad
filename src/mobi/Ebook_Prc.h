// MOBI 6 text to the intermediate book: page-break pieces, filepos links, recindex images, and the
// guide and NCX of the part.
#pragma once

#include "mobi/Ebook_MobiBase.h"
#include "mobi/MobiPart.h"
#include "mobi/MobiResources.h"

#include <string>
#include <vector>

struct TextPiece {
    size_t m_Start = 0;
    size_t m_End = 0; // exclusive
    std::string m_Name;
};

class CEbookPrc : public CEbookMobiBase
{
  public:
    using CEbookMobiBase::CEbookMobiBase;

    ResultCode MakeFileListToMetaData() override;
    // Output: the book's HTML files joined into one MOBI 6 text with its guide head, filepos links,
    // recindex images and the NCX index; resources collects what the text refers to.
    ResultCode ParseText(CMobiResources& resources, MobiPartText& part);

    // Cuts the part's text at its page breaks and fills the anchor map.
    void SplitHtmlFile();
    void GetGuideList();
    void FixNcxListContentSrcName();
    const std::vector<TextPiece>& Pieces() const { return m_Pieces; }

  protected:
    void PrintElement(TidyNode element, std::string& out) override;

  private:
    void AddPiece(size_t start, size_t end);

    std::vector<TextPiece> m_Pieces;
    size_t m_BodyStart = std::string::npos; // just after the body start tag
};

// Position just after the first body start tag (<\s*body[^<>]*>), or npos.
size_t FindBodyStart(const std::string& text);
