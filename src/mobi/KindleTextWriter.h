// What the KF8 and MOBI 6 text writers share: the book they write from and the walk over a parsed
// page that leaves out the markup no reader shows.
#pragma once

#include "base/IntermediateBook.h"

#include <tidy/tidy.h>

#include <string>

class CHtmlParse;
class CRunLog;

class CKindleTextWriter
{
  public:
    // tempDirectory ends with a separator; the book's files lie in it.
    CKindleTextWriter(const CIntermediateBook& book, const std::string& tempDirectory, CRunLog* log,
                      bool keepsDoctype);
    virtual ~CKindleTextWriter() = default;
    CKindleTextWriter(const CKindleTextWriter&) = delete;
    CKindleTextWriter& operator=(const CKindleTextWriter&) = delete;

  protected:
    // The walk over the page of parse starts at depth 0; PrintChildren and PrintNode print from it.
    void BeginPage(CHtmlParse& parse);
    void EndPage();
    // Markup no reader shows is dropped, the document type kept only when the writer keeps it,
    // and elements go to PrintElement.
    void PrintChildren(TidyNode node, std::string& out);
    void PrintNode(TidyNode node, std::string& out);
    virtual void PrintElement(TidyNode element, std::string& out) = 0;

    const CIntermediateBook& m_Book;
    const std::string m_TempDirectory;
    CRunLog* const m_Log;
    CHtmlParse* m_Parse = nullptr; // the page being printed
    int m_Depth = 0;

  private:
    const bool m_KeepsDoctype;
};
