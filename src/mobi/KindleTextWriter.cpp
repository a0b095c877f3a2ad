// The page walk the Kindle text writers share.
#include "mobi/KindleTextWriter.h"

#include "ebook/HtmlParse.h"
#include "mobi/Ebook_MobiBase.h"

CKindleTextWriter::CKindleTextWriter(const CIntermediateBook& book, const std::string& tempDirectory,
                                     CRunLog* log, bool keepsDoctype)
    : m_Book(book), m_TempDirectory(tempDirectory), m_Log(log), m_KeepsDoctype(keepsDoctype)
{
}

void CKindleTextWriter::BeginPage(CHtmlParse& parse)
{
    m_Parse = &parse;
    m_Depth = 0;
}

void CKindleTextWriter::EndPage()
{
    m_Parse = nullptr;
}

void CKindleTextWriter::PrintChildren(TidyNode node, std::string& out)
{
    for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child))
        PrintNode(child, out);
}

void CKindleTextWriter::PrintNode(TidyNode node, std::string& out)
{
    if (!IsElementToPrint(*m_Parse, node, m_Depth, true, m_KeepsDoctype, out)) return;
    ++m_Depth;
    PrintElement(node, out);
    --m_Depth;
}
