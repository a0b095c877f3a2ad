// KF8 text to the intermediate book: FDST flows, files rebuilt from skeletons and fragments, and
// "kindle:" references turned into file names and links.
#pragma once

#include "mobi/Ebook_MobiBase.h"
#include "mobi/Ebook_Prc.h"
#include "mobi/Index.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A fixed-width base-32 number ("0"-"9", "A"-"V"); false when text is too short or holds another
// character.
bool ReadBase32(const std::string& text, size_t at, size_t width, int64_t& value);

class CEbookAzw3 : public CEbookMobiBase
{
  public:
    using CEbookMobiBase::CEbookMobiBase;

    ResultCode MakeFileListToMetaData() override;
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
    std::map<int64_t, std::string> m_FlowMap;    // flow number -> file name
    std::map<int64_t, int64_t> m_FragmentInsert; // sequence number -> insert position
    std::string m_Rebuilt;
    std::vector<TextPiece> m_Files;
};
