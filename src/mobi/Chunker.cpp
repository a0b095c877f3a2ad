// The KF8 chunker. The skeleton and the rebuilt file are both written in document order: every
// start tag, fragment and end tag lands after the ones before it, so a fragment's insert offset is
// the rebuilt file's length when it is made.
#include "mobi/Chunker.h"

#include "base/RunLog.h"
#include "ebook/HtmlParse.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace
{

// The longest character reference the printers write ("&#1114111;") plus its "&".
constexpr size_t MAX_REFERENCE_LENGTH = 10;
// How far back from the limit a cut looks for a blank to end on.
constexpr size_t BLANK_WINDOW = 256;

bool GetAid(TidyNode element, std::string& aid)
{
    for (TidyAttr attr = tidyAttrFirst(element); attr != nullptr; attr = tidyAttrNext(attr)) {
        const char* name = tidyAttrName(attr);
        if (name == nullptr || std::strcmp(name, AID_MARK) != 0) continue;
        const char* value = tidyAttrValue(attr);
        aid = value != nullptr ? value : "";
        return true;
    }
    return false;
}

TidyNode ChildWithId(TidyNode parent, TidyTagId id)
{
    if (parent == nullptr) return nullptr;
    for (TidyNode child = tidyGetChild(parent); child != nullptr; child = tidyGetNext(child))
        if (CHtmlParse::IsElement(child) && tidyNodeGetId(child) == id) return child;
    return nullptr;
}

std::string Selector(char marker, const std::string& aid)
{
    return std::string(1, marker) + "-//*[@aid='" + aid + "']";
}

} // namespace

size_t ChunkCutLength(const std::string& text, size_t from)
{
    size_t remaining = text.size() - from;
    if (remaining <= CHUNK_SIZE) return remaining;
    size_t end = from + CHUNK_SIZE;
    size_t last = end - 1;
    if (static_cast<unsigned char>(text[last]) >= 0x80) {
        // A lead byte is at most three bytes back; without one the bytes are no UTF-8 and any
        // cut is as good as another.
        size_t k = last;
        while (k > last - 3 && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80)
            --k;
        if (static_cast<unsigned char>(text[k]) >= 0xC0) end = k;
    }
    // A reference cut in two would come back as literal text.
    size_t window = end - from > MAX_REFERENCE_LENGTH ? end - MAX_REFERENCE_LENGTH : from + 1;
    for (size_t k = end; k > window;) {
        --k;
        if (text[k] == ';') break;
        if (text[k] == '&') {
            end = k;
            break;
        }
    }
    // Printers put a line end after every end tag; a word cut in two would come back as two words.
    size_t lowest = end - from > BLANK_WINDOW ? end - BLANK_WINDOW : from + 1;
    for (size_t k = end; k > lowest;) {
        --k;
        char c = text[k];
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') return k + 1 - from;
    }
    return end - from;
}

bool CChunker::Init(CHtmlParse& parse, const std::string& headText, uint32_t fileNumber,
                    uint32_t startPosition, uint32_t& sequence, ChunkedFile& output)
{
    TARVO_LOG(m_Log, LOG_INFO, "CChunker IN GetChunks IN");
    m_Parse = &parse;
    m_Printed.clear();
    m_Spans.clear();
    m_Fragments.clear();
    m_Skeleton = headText;
    m_Rebuilt = headText;
    output = ChunkedFile();

    TidyNode body = ChildWithId(ChildWithId(parse.GetRoot(), TidyTag_HTML), TidyTag_BODY);
    bool ok = body != nullptr;
    if (!ok) TARVO_LOG(m_Log, LOG_ERROR, "file %u has no body element", fileNumber);
    if (ok) {
        Measure(body, 0);
        ok = GetChunks(body, 0);
    }
    m_Printed.clear();
    m_Spans.clear();
    if (!ok) {
        TARVO_LOG(m_Log, LOG_ERROR, "CChunker IN GetChunks OUT Failed");
        return false;
    }
    m_Skeleton += "</html>";
    m_Rebuilt += "</html>";

    TARVO_LOG(m_Log, LOG_INFO, "CChunker IN GetChunks OUT & MergeChunks IN");
    MergeChunks();
    TARVO_LOG(m_Log, LOG_INFO, "CChunker IN MergeChunks OUT");
    TARVO_LOG(m_Log, LOG_INFO, "CChunker IN CreateTables IN");
    ok = CreateTables(fileNumber, startPosition, sequence, output);
    TARVO_LOG(m_Log, LOG_INFO, "CChunker IN CreateTables OUT");
    return ok;
}

// Prints as CHtmlParse::PrintNode does, noting where each node's bytes lie.
void CChunker::Measure(TidyNode node, int depth)
{
    Span span;
    span.m_Start = m_Printed.size();
    if (depth < CHtmlParse::MAX_DEPTH) {
        if (CHtmlParse::IsElement(node)) {
            m_Parse->PrintStartTag(node, m_Printed);
            static const std::string mark = std::string(" ") + AID_MARK + "=\"";
            size_t found = m_Printed.find(mark, span.m_Start);
            if (found != std::string::npos) m_Printed.replace(found + 1, std::strlen(AID_MARK), "aid");
            span.m_ContentStart = m_Printed.size();
            for (TidyNode child = tidyGetChild(node); child != nullptr; child = tidyGetNext(child))
                Measure(child, depth + 1);
            span.m_ContentEnd = m_Printed.size();
            if (!CHtmlParse::IsSelfClosing(tidyNodeGetName(node))) CHtmlParse::PrintEndTag(node, m_Printed);
        } else {
            m_Parse->PrintRendered(node, m_Printed);
            span.m_ContentStart = span.m_Start;
            span.m_ContentEnd = m_Printed.size();
        }
    } else {
        span.m_ContentStart = span.m_ContentEnd = span.m_Start;
    }
    span.m_End = m_Printed.size();
    m_Spans[node] = span;
}

bool CChunker::GetChunks(TidyNode element, int depth)
{
    std::string aid;
    if (!GetAid(element, aid)) {
        TARVO_LOG(m_Log, LOG_ERROR, "element <%s> to be split has no aid", tidyNodeGetName(element));
        return false;
    }
    const Span& span = m_Spans[element];
    m_Selector = Selector('P', aid);
    m_Skeleton.append(m_Printed, span.m_Start, span.m_ContentStart - span.m_Start);
    m_Rebuilt.append(m_Printed, span.m_Start, span.m_ContentStart - span.m_Start);
    size_t first = m_Fragments.size();

    TidyNode child = tidyGetChild(element);
    if (child == nullptr) AddFragment("\r\n");
    for (; child != nullptr; child = tidyGetNext(child)) {
        auto found = m_Spans.find(child);
        if (found == m_Spans.end()) continue;
        const Span& childSpan = found->second;
        if (!CHtmlParse::IsElement(child)) {
            CutText(childSpan);
            continue;
        }
        std::string childAid;
        if (childSpan.m_End - childSpan.m_Start > CHUNK_SIZE && depth + 1 < CHtmlParse::MAX_DEPTH &&
            GetAid(child, childAid)) {
            if (!GetChunks(child, depth + 1)) return false;
        } else {
            AddFragment(m_Printed.substr(childSpan.m_Start, childSpan.m_End - childSpan.m_Start));
        }
    }

    if (m_Fragments.size() > first) {
        m_Fragments[first].m_StartsElement = true;
        m_Fragments[first].m_Begins.push_back(aid);
        m_Fragments.back().m_Ends.push_back(aid);
    }
    m_Skeleton.append(m_Printed, span.m_ContentEnd, span.m_End - span.m_ContentEnd);
    m_Rebuilt.append(m_Printed, span.m_ContentEnd, span.m_End - span.m_ContentEnd);
    m_Selector = Selector('S', aid);
    return true;
}

// Long text becomes several fragments; the middle pieces are wrapped in a span so that each of
// them is an element of its own.
void CChunker::CutText(const Span& span)
{
    std::string text = m_Printed.substr(span.m_Start, span.m_End - span.m_Start);
    size_t from = 0;
    bool firstPiece = true;
    while (text.size() - from > CHUNK_SIZE) {
        size_t length = ChunkCutLength(text, from);
        if (firstPiece)
            AddFragment(text.substr(from, length));
        else
            AddFragment("<span>" + text.substr(from, length) + "</span>");
        firstPiece = false;
        from += length;
    }
    AddFragment(text.substr(from));
}

void CChunker::AddFragment(std::string text)
{
    if (text.empty()) return;
    ChunkFragment fragment;
    fragment.m_InsertOffset = m_Rebuilt.size();
    fragment.m_Selector = m_Selector;
    m_Rebuilt += text;
    fragment.m_Text = std::move(text);
    m_Fragments.push_back(std::move(fragment));
}

void CChunker::MergeChunks()
{
    if (m_Fragments.size() < 2) return;
    std::vector<ChunkFragment> merged;
    merged.reserve(m_Fragments.size());
    merged.push_back(std::move(m_Fragments[0]));
    for (size_t i = 1; i < m_Fragments.size(); ++i) {
        ChunkFragment& current = merged.back();
        ChunkFragment& next = m_Fragments[i];
        // Only neighbours with nothing of the skeleton between them can share an insert offset.
        bool adjacent = next.m_InsertOffset == current.m_InsertOffset + current.m_Text.size();
        if (next.m_Begins.empty() && current.m_Ends.empty() && adjacent &&
            current.m_Text.size() + next.m_Text.size() <= CHUNK_SIZE) {
            current.m_Text += next.m_Text;
            current.m_Ends = std::move(next.m_Ends);
        } else {
            merged.push_back(std::move(next));
        }
    }
    m_Fragments = std::move(merged);
}

bool CChunker::CreateTables(uint32_t fileNumber, uint32_t startPosition, uint32_t& sequence,
                            ChunkedFile& output)
{
    size_t total = m_Skeleton.size();
    for (const ChunkFragment& f : m_Fragments)
        total += f.m_Text.size();
    if (total > std::numeric_limits<uint32_t>::max() - startPosition) {
        TARVO_LOG(m_Log, LOG_ERROR, "file %u of 0x%zx bytes at 0x%x passes the 32-bit text positions",
                  fileNumber, total, startPosition);
        return false;
    }
    char name[32];
    std::snprintf(name, sizeof name, "SKEL%010u", fileNumber);
    SkeletonTableEntry skeleton;
    skeleton.m_Name = name;
    skeleton.m_FileNumber = fileNumber;
    skeleton.m_FragmentCount = static_cast<uint32_t>(m_Fragments.size());
    skeleton.m_StartPosition = startPosition;
    skeleton.m_Length = static_cast<uint32_t>(m_Skeleton.size());
    output.m_Skeletons.push_back(skeleton);

    output.m_Text.reserve(total);
    output.m_Text = m_Skeleton;
    uint32_t startOffset = 0;
    for (const ChunkFragment& f : m_Fragments) {
        FragmentTableEntry entry;
        entry.m_InsertPosition = startPosition + static_cast<uint32_t>(f.m_InsertOffset);
        entry.m_Selector = f.m_Selector;
        entry.m_FileNumber = fileNumber;
        entry.m_SequenceNumber = sequence++;
        entry.m_StartOffset = startOffset;
        entry.m_Length = static_cast<uint32_t>(f.m_Text.size());
        startOffset += entry.m_Length;
        output.m_Fragments.push_back(std::move(entry));
        output.m_Text += f.m_Text;
    }
    output.m_Rebuilt = std::move(m_Rebuilt);
    m_Rebuilt.clear();
    return true;
}
