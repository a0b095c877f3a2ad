// The MOBI 6 text of a book: its HTML files joined into one text with the guide in its head,
// links as byte positions ("filepos") into that same text, recindex images, and the NCX index.
#pragma once

#include "base/ResultCode.h"
#include "mobi/Ebook_MobiBase.h"
#include "mobi/Index.h"
#include "mobi/KindleTextWriter.h"
#include "mobi/MobiPart.h"

#include <cstddef>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

class CMobiResources;

class CMobi6TextWriter : public CKindleTextWriter
{
  public:
    CMobi6TextWriter(const CIntermediateBook& book, const std::string& tempDirectory, CRunLog* log);

    // The part's text and NCX index; resources collects what the text refers to.
    ResultCode Write(CMobiResources& resources, MobiPartText& part);

  private:
    // Everything one Write builds up, made afresh by each.
    struct RunState {
        CMobiResources* m_Resources = nullptr;
        std::map<size_t, std::string> m_LinkMap; // position of a "filepos=" placeholder -> target
        std::unordered_map<std::string, size_t> m_TargetMap;
        std::vector<NcxEntry> m_NcxEntries;
        std::string m_CurrentFile;   // relative to the book's directory
        std::string m_CurrentFolder; // of the current file, relative to the TempDirectory
    };

    void AppendGuideHead(std::string& text);
    ResultCode PrintFiles(std::string& text, size_t& printed);
    ResultCode PrintFile(const std::string& bytes, std::string& text);
    void PrintElement(TidyNode element, std::string& out) override;
    void RecordTarget(const std::string& id, size_t position);
    // Target text (book-relative file, "#" and the raw fragment) of an href met in a file of
    // directory; empty when it names nothing inside the book.
    static std::string NormalTarget(const std::string& directory, const std::string& href);
    bool FindTarget(const std::string& target, size_t& position) const;
    // Where each NavPoint leads; one whose file is no document of the book leads where the one
    // before does.
    std::vector<size_t> NavPointOffsets(const std::string& text) const;
    void GetNcxList(const std::string& text);
    void HandleALink(std::string& text) const;
    void MakeNcxIndex(MobiPartText& part) const;

    RunState m_Run;
};
