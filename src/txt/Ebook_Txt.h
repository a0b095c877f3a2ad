// Plain text in any encoding to a one-page book, and a book back to UTF-8 text.
#pragma once

#include "base/Ebook.h"

#include <functional>
#include <string>
#include <string_view>

class CEbookTxt : public CEbook
{
  public:
    ResultCode GetMetaData(const std::string& inputFile, GetMetaContext& ctx) override;
    ResultCode Convert_Input(const std::string& inputFile, ConvertInputContext& ctx) override;
    ResultCode Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx) override;
    CIntermediateBook* GetIntermediateBook() override { return &m_Book; }

    ResultCode ParseTxt(const std::string& inputFile, const std::string& tempDirectory);

  private:
    CIntermediateBook m_Book;
    std::string m_Title;
};

// Bracketed names ("<...>" or the double angle brackets) of the text, joined by "_".
std::string TitleFromText(const std::string& text);
// The file name without folders, cut before its first ".".
std::string TitleFromFileName(const std::string& path);
// Takes each whole page in turn; its first failure ends the text.
using PageSink = std::function<ResultCode(const std::string& page)>;
// XHTML pages holding the text as one paragraph per non-empty line: one page for most texts,
// consecutive pages of about a megabyte each for long ones.
ResultCode WriteTextPages(const std::string& title, std::string_view text, const PageSink& sink);
class CHtmlParse;
// The readable text of a parsed document, one blank-line separated block per paragraph.
std::string DocumentText(CHtmlParse& parser);
// The UTF-8 head of a text export: byte order mark, title, authors, identifiers, generator.
std::string BuildTextHead(const CIntermediateBook& book);
