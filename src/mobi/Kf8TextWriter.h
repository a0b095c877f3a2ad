// The KF8 text of a book: its HTML files printed with aid attributes and link placeholders, cut
// into skeletons and fragments, the style sheets and SVG pictures moved into flows, and the
// fragment, skeleton, guide and NCX indexes and the FDST record beside it.
#pragma once

#include "base/ResultCode.h"
#include "mobi/Chunker.h"
#include "mobi/Ebook_MobiBase.h"
#include "mobi/Index.h"
#include "mobi/KindleTextWriter.h"
#include "mobi/MobiPart.h"

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class CMobiResources;

class CKf8TextWriter : public CKindleTextWriter
{
  public:
    CKf8TextWriter(const CIntermediateBook& book, const std::string& tempDirectory, CRunLog* log);

    // The part's text and indexes; resources collects what the text refers to, flows among them.
    ResultCode Write(CMobiResources& resources, bool verticalWriting, MobiPartText& part);

  private:
    struct OutputFile {
        std::string m_Name;    // as listed, for messages
        std::string m_Key;     // normalised, relative to the book's directory
        int32_t m_Number = -1; // skeleton number; -1 when the file was left out
        uint32_t m_Start = 0;  // in the text stream, which is also the rebuilt text
        uint32_t m_End = 0;
        size_t m_FirstLink = 0; // the file's placeholders are m_Links[m_FirstLink, m_EndLink)
        size_t m_EndLink = 0;
    };
    struct LinkTarget {
        size_t m_File;
        std::string m_Id; // empty: the file itself
    };
    // Of the file being printed.
    struct FileState {
        size_t m_Index = 0;
        std::string m_Directory;         // relative to the book's directory
        std::string m_ResourceDirectory; // the same relative to the TempDirectory
        std::unordered_map<std::string, std::string> m_PieceFlowLinks; // style text -> link, first piece's
    };
    // Of the page, or the piece of a big page, being printed.
    struct PageState {
        size_t m_Piece = 0, m_PieceCount = 1;
        bool m_VerticalLinked = false;
        bool m_HeadPrinted = false;
        int m_TableDepth = 0;
    };
    // Everything one Write builds up, made afresh by each.
    struct RunState {
        CMobiResources* m_Resources = nullptr;
        bool m_Vertical = false;
        uint64_t m_AidCounter = 0;
        uint64_t m_InnerFlowCounter = 0;
        std::string m_NodeNames; // the "node.txt" diagnostics
        std::vector<OutputFile> m_Files;
        std::unordered_map<std::string, size_t> m_FileByKey;
        std::vector<LinkTarget> m_Links; // placeholder number - 1 -> target
        std::map<std::pair<size_t, std::string>, uint32_t> m_TargetPositions;
        std::vector<SkeletonTableEntry> m_Skeletons;
        std::vector<FragmentTableEntry> m_Fragments;
        std::unordered_map<std::string, std::string>
            m_InlineFlowDirectory; // flow reference -> referrer's folder
        FileState m_File;
        PageState m_Page;
    };

    void ListFiles();
    ResultCode WriteFiles(MobiPartText& part);
    ResultCode OutputFileText(OutputFile& file, uint32_t& sequence, MobiPartText& part);
    ResultCode ChunkPrinted(OutputFile& file, std::string& printed, uint32_t& sequence, MobiPartText& part);
    void NoteTargets(const std::string& rebuilt, uint32_t start, bool first);
    ResultCode AppendFlows(uint32_t htmlLength, MobiPartText& part);
    const std::string* PieceFlowLink(const std::string& css) const;
    void NotePieceFlowLink(const std::string& css, const std::string& link);
    void PrintElement(TidyNode element, std::string& out) override;
    void PrintLink(AttributeList& attributes);
    void PrintStyle(TidyNode element, std::string& out);
    void PrintSvg(TidyNode element, std::string& out);
    void PrintSvgNode(TidyNode node, int depth, std::string& out);
    std::string VerticalWritingLink();
    void NoteNodeName(const char* name);
    // href resolved against directory (relative to the book's directory) to a file of the book and
    // an id; "#id" alone names currentFile. lastHash: the id starts after the last "#", not the first.
    bool ResolveHref(const std::string& href, const std::string& directory, size_t currentFile, bool lastHash,
                     LinkTarget& target) const;
    // The rebuilt-text position of a target; false when the file or the id is unknown.
    bool PositionOf(const LinkTarget& target, uint32_t& position) const;
    // As PositionOf, but a target whose id its file lacks is the file's start (idMissing set).
    bool PositionOrFileStart(const LinkTarget& target, uint32_t& position, bool& idMissing) const;
    // Fragment sequence number and offset that a reader turns back into position.
    void FragmentAndOffset(uint32_t position, uint32_t& sequence, uint32_t& offset) const;
    void GetGuideList(std::vector<GuideEntry>& guide) const;
    void GetNcxList(uint32_t textLength, std::vector<NcxEntry>& ncx) const;
    // Where each NavPoint leads; one that leads nowhere in the book leads where the one before does.
    std::vector<uint32_t> NavPointPositions() const;
    void HandleALink(std::string& text) const;
    void HandleFlowEmbedRES();
    void MakeChunkIndex(const std::vector<GuideEntry>& guide, const std::vector<NcxEntry>& ncx,
                        MobiPartText& part) const;

    RunState m_Run;
};
