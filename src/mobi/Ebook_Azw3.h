// KF8 text to the intermediate book: FDST flows, files rebuilt from skeletons and fragments, and
// "kindle:" references turned into file names and links.
#pragma once

#include "mobi/Chunker.h"
#include "mobi/Ebook_MobiBase.h"
#include "mobi/Ebook_Prc.h"
#include "mobi/Index.h"

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// A fixed-width base-32 number ("0"-"9", "A"-"V"); false when text is too short or holds another
// character.
bool ReadBase32(const std::string& text, size_t at, size_t width, int64_t& value);

class CEbookAzw3 : public CEbookMobiBase
{
  public:
    using CEbookMobiBase::CEbookMobiBase;

    ResultCode MakeFileListToMetaData() override;
    // Output: the book's HTML files printed with aid attributes and flow references, cut into
    // skeletons and fragments, with the fragment, skeleton, guide and NCX indexes and the FDST record.
    ResultCode ParseText(CMobiResources& resources, bool verticalWriting, MobiPartText& part);

    // Writes the flows after the first as "flow%04d.css" and records them in the flow map.
    // Whether a page may show a flow (an SVG picture, say) in place of an image.
    bool PagesMayTakeFlows() const;
    void ReadFlows();
    // Every "kindle:embed:" reference of a flow replaced by its resource file name.
    std::string ReplaceEmbeds(const std::string& flow) const;
    // Rebuilds the files from skeletons and fragments into the rebuilt text and the anchor map.
    void RebuildFiles();
    void FixNcxListContentSrcName();
    // Rebuilt-text position of an offset into the fragment with a sequence number.
    int64_t FragmentPosition(int64_t sequence, int64_t offset) const;

    const std::string& RebuiltText() const { return m_Rebuilt; }
    const std::vector<TextPiece>& Files() const { return m_Files; }
    const std::map<int64_t, std::string>& FlowMap() const { return m_FlowMap; }
    bool m_InlinedFlow = false; // the page being printed took a flow's SVG text as it is

  protected:
    void PrintElement(TidyNode element, std::string& out) override;

  private:
    // ---- output ----
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

    ResultCode OutputFileText(OutputFile& file, uint32_t& sequence, MobiPartText& part);
    ResultCode ChunkPrinted(OutputFile& file, std::string& printed, uint32_t& sequence, MobiPartText& part);
    const std::string* PieceFlowLink(const std::string& css) const;
    void NotePieceFlowLink(const std::string& css, const std::string& link);
    void PrintOutputElement(TidyNode element, std::string& out) override;
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
    void HandleALink(std::string& text) const;
    void HandleFlowEmbedRES();
    void MakeChunkIndex(const std::vector<GuideEntry>& guide, const std::vector<NcxEntry>& ncx,
                        MobiPartText& part) const;

    CMobiResources* m_OutResources = nullptr;
    bool m_Vertical = false;
    bool m_VerticalLinked = false; // for the file being printed
    bool m_HeadPrinted = false;
    int m_TableDepth = 0;
    uint64_t m_AidCounter = 0;
    uint64_t m_InnerFlowCounter = 0;
    size_t m_CurrentFile = 0;
    std::string m_FileDirectory;     // of the file being printed, relative to the book's directory
    std::string m_ResourceDirectory; // the same relative to the TempDirectory
    std::string m_NodeNames;         // the "node.txt" diagnostics
    std::vector<OutputFile> m_OutFiles;
    std::unordered_map<std::string, size_t> m_FileByKey;
    std::vector<LinkTarget> m_Links; // placeholder number - 1 -> target
    std::map<std::pair<size_t, std::string>, uint32_t> m_TargetPositions;
    std::vector<SkeletonTableEntry> m_OutSkeletons;
    std::vector<FragmentTableEntry> m_OutFragments;
    std::unordered_map<std::string, std::string> m_InlineFlowDirectory; // flow reference -> referrer's folder
    size_t m_Piece = 0, m_PieceCount = 1;                               // of the page being printed
    std::unordered_map<std::string, std::string> m_PieceFlowLinks;      // style text -> link, first piece's

    // ---- input ----
    std::map<int64_t, std::string> m_FlowMap;    // flow number -> file name
    std::map<int64_t, int64_t> m_FragmentInsert; // sequence number -> insert position
    std::string m_Rebuilt;
    std::vector<TextPiece> m_Files;
};
