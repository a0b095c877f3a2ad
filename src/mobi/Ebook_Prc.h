// MOBI 6 text to the intermediate book: page-break pieces, filepos links, recindex images, and the
// guide and NCX of the part.
#pragma once

#include "mobi/Ebook_MobiBase.h"
#include "mobi/Index.h"

#include <cstddef>
#include <map>
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
    // Cuts the part's text at its page breaks and fills the anchor map. A page that shows nothing
    // is left out; positions in it lead to the page before.
    void SplitHtmlFile();
    void GetGuideList();
    void FixNcxListContentSrcName();
    // Calibre-made books keep the nesting, and entries that share a position, only in their
    // contents page: when the index is flat and the page lists at least as many entries, its
    // links and their indentation become the table of contents.
    void ReadContentsPage();
    const std::vector<TextPiece>& Pieces() const { return m_Pieces; }

  protected:
    void PrintElement(TidyNode element, std::string& out) override;

  private:
    void AddPiece(size_t start, size_t end);
    // font and u have no place in XHTML; their looks go to a span's style.
    void PrintAsSpan(TidyNode element, const AttributeList& attributes, std::string& out);
    // body and blockquote hold only blocks in XHTML: runs of text and inline markup go into a div,
    // which shows the same as the anonymous block a browser makes of them.
    void PrintBlockChildren(TidyNode element, std::string& out);
    // Removes an li's value where the list would count the same number itself.
    void DropCountedValue(AttributeList& attributes);
    bool IndexHasNesting() const;

    std::vector<TextPiece> m_Pieces;
    size_t m_BodyStart = std::string::npos; // just after the body start tag
    int64_t m_ContentsPosition = -1;        // filepos of the guide's "toc" reference
    std::vector<int64_t> m_ListNumbers;     // per open list, its next item's number; -1 for ul
};

// Position just after the first body start tag (<\s*body[^<>]*>), or npos.
size_t FindBodyStart(const std::string& text);
// True when text[from, to) holds something a reader sees: text, or an element other than those
// that show nothing while empty (a, div, p, br, span and the like). Comments show nothing.
bool ShowsSomething(const std::string& text, size_t from, size_t to);
