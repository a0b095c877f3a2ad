// HTML files and the local pages they link to, as a book; and a book written out as HTML pages.
#pragma once

#include "base/Ebook.h"
#include "ebook/HtmlParse.h"

#include <string>
#include <vector>

class CEbookHtml : public CEbook
{
  public:
    ResultCode GetMetaData(const std::string& inputFile, GetMetaContext& ctx) override;
    ResultCode Convert_Input(const std::string& inputFile, ConvertInputContext& ctx) override;
    ResultCode Convert_Output(const std::string& outputFile, ConvertOutputContext& ctx) override;
    CIntermediateBook* GetIntermediateBook() override { return &m_Book; }

    // The first readable page becomes outputFolder + outputName; every other page and resource goes
    // under "<output name without extension>_files/" beside it, all in one COutputTree, which
    // refuses to replace anything in keep.
    ResultCode MoveFileToOutputPath(CIntermediateBook& book, const std::string& tempDirectory,
                                    const std::string& outputName, std::string outputFolder,
                                    const std::vector<std::string>& keep = {});

  private:
    // The page's <title> and author meta element into the book's metadata.
    ResultCode ReadPageMetadata(const std::string& inputFile);
    void FillResourceList();
    void FillHtmlFileList();

    CIntermediateBook m_Book;
    std::string m_StartFolder;
    CHtmlParse m_Parser;
};

// Runs of blanks, tabs and line ends become one blank, none at either end.
std::string CollapseSpace(const std::string& text);
// Sorts the entries by depth and entry number and turns child and parent links from entry numbers
// into positions in the list.
void CorrectNvPointOrder(CIntermediateBook& book);
// The relative reference from a file in fromFolder (relative, "/"-separated, may be empty) to target.
std::string RelativeReference(const std::string& fromFolder, const std::string& target);
