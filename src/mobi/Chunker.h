// Cutting one KF8 content file into a skeleton (the file with the content of its larger elements
// taken out) and fragments (the pieces taken out, each with the place it goes back in).
#pragma once

#include <tidy/tidy.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class CHtmlParse;
class CRunLog;

// The attribute that carries an element's aid while the text builder's output is parsed again for
// cutting; the chunker prints it as "aid". The HTML library looks a name it does not know up in its
// whole attribute table, a case-insensitive compare per known name, which made that parse three
// times slower with "aid" itself. The builder removes every "onclick" of the book, so the name is
// free, and the library finds it at once.
constexpr const char* AID_MARK = "onclick";

// Elements printed longer than this are split further; text is cut into pieces of at most this
// many bytes, and neighbouring fragments are merged up to it.
constexpr size_t CHUNK_SIZE = 8192;

struct ChunkFragment {
    std::string m_Text;
    size_t m_InsertOffset = 0; // where the fragment starts in the rebuilt file
    std::string m_Selector;    // "P-//*[@aid='...']" (inside) or "S-//*[@aid='...']" (after)
    bool m_StartsElement = false;
    std::vector<std::string> m_Begins; // aid values of the elements whose content begins here
    std::vector<std::string> m_Ends;   // ... and of those whose content ends here
};

struct SkeletonTableEntry {
    std::string m_Name; // "SKEL" and the file number in ten digits
    uint32_t m_FileNumber = 0;
    uint32_t m_FragmentCount = 0;
    uint32_t m_StartPosition = 0; // in the book's text stream
    uint32_t m_Length = 0;        // of the skeleton text alone; its fragments follow it
};

struct FragmentTableEntry {
    uint32_t m_InsertPosition = 0; // in the book's rebuilt text
    std::string m_Selector;
    uint32_t m_FileNumber = 0;
    uint32_t m_SequenceNumber = 0; // counted over the whole book
    uint32_t m_StartOffset = 0;    // from the end of its skeleton
    uint32_t m_Length = 0;
};

struct ChunkedFile {
    std::string m_Text;    // the skeleton, then its fragments, as the text stream holds them
    std::string m_Rebuilt; // the file as a reader puts it back together
    std::vector<SkeletonTableEntry> m_Skeletons;
    std::vector<FragmentTableEntry> m_Fragments;
};

class CChunker
{
  public:
    explicit CChunker(CRunLog* log = nullptr) : m_Log(log) {}

    // parse holds the content file, whose body and every element that may be split carry an
    // "aid"; headText is everything of the file before the body start tag. sequence is the book's
    // fragment counter and moves on by the fragments made. False when the body has no aid or the
    // file does not fit the 32-bit positions of the text stream.
    bool Init(CHtmlParse& parse, const std::string& headText, uint32_t fileNumber, uint32_t startPosition,
              uint32_t& sequence, ChunkedFile& output);

    const std::vector<ChunkFragment>& Fragments() const { return m_Fragments; }
    const std::string& Skeleton() const { return m_Skeleton; }

  private:
    struct Span {
        size_t m_Start = 0;
        size_t m_ContentStart = 0; // after the start tag
        size_t m_ContentEnd = 0;   // before the end tag
        size_t m_End = 0;
    };

    void Measure(TidyNode node, int depth);
    bool GetChunks(TidyNode element, int depth);
    void CutText(const Span& span);
    void AddFragment(std::string text);
    void MergeChunks();
    bool CreateTables(uint32_t fileNumber, uint32_t startPosition, uint32_t& sequence, ChunkedFile& output);

    CRunLog* m_Log;
    CHtmlParse* m_Parse = nullptr;
    // The body printed once; every element's and text's bytes are a span of it, so a deep tree
    // is not printed again at every level.
    std::string m_Printed;
    std::unordered_map<TidyNode, Span> m_Spans;
    std::string m_Skeleton;
    std::string m_Rebuilt;
    std::vector<ChunkFragment> m_Fragments;
    std::string m_Selector; // the marker and aid the next fragment takes
};

// Length of the next piece of at most CHUNK_SIZE bytes of text from from on, ending neither
// inside a UTF-8 character nor inside a character reference, and after a blank when one is near.
size_t ChunkCutLength(const std::string& text, size_t from);
