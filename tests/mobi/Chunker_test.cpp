#include "mobi/Chunker.h"

#include "ebook/HtmlParse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

const char HEAD[] = "<!DOCTYPE html>\r\n<html>\r\n<head><title>t</title></head>\r\n";

struct Chunked {
    bool ok = false;
    ChunkedFile file;
    std::vector<ChunkFragment> fragments;
    uint32_t sequence = 0;
};

Chunked Chunk(const std::string& body, uint32_t start = 0, uint32_t sequence = 0)
{
    Chunked result;
    CHtmlParse parse;
    std::string html = "<html><head><title>t</title></head>" + body + "</html>";
    EXPECT_EQ(parse.Init(html), RC_OK);
    CChunker chunker;
    result.sequence = sequence;
    result.ok = chunker.Init(parse, HEAD, 3, start, result.sequence, result.file);
    result.fragments = chunker.Fragments();
    return result;
}

// What a reader does with the tables: the skeleton from the front of the file's text, then each
// fragment from behind it, inserted at its position.
std::string Reassemble(const ChunkedFile& file)
{
    if (file.m_Skeletons.size() != 1) return "no skeleton";
    const SkeletonTableEntry& skeleton = file.m_Skeletons[0];
    std::string out = file.m_Text.substr(0, skeleton.m_Length);
    for (const FragmentTableEntry& f : file.m_Fragments) {
        size_t from = skeleton.m_Length + f.m_StartOffset;
        if (from + f.m_Length > file.m_Text.size() || f.m_InsertPosition < skeleton.m_StartPosition ||
            f.m_InsertPosition - skeleton.m_StartPosition > out.size())
            return "fragment out of range";
        out.insert(f.m_InsertPosition - skeleton.m_StartPosition, file.m_Text, from, f.m_Length);
    }
    return out;
}

std::string Repeat(const std::string& piece, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

struct CutCase {
    const char* label;
    std::string text;
    size_t expected;
};

TEST(Chunker, CutNeverSplitsACharacterOrReference)
{
    const std::string a8190(8190, 'a');
    const CutCase cases[] = {
        {"short text is one piece", "abc", 3},
        {"exactly the limit", std::string(8192, 'a'), 8192},
        {"ascii at 8191", std::string(9000, 'a'), 8192},
        {"two-byte lead at 8191", std::string(8191, 'a') + "\xC3\xA9" + "tail", 8191},
        {"two-byte character ending at 8191", a8190 + "\xC3\xA9" + "tail", 8190},
        {"three-byte character across the cut", a8190 + "\xE2\x82\xAC" + "tail", 8190},
        {"four-byte character across the cut", std::string(8189, 'a') + "\xF0\x9F\x98\x80" + "tail", 8189},
        {"continuation bytes without a lead", std::string(8180, 'a') + std::string(40, '\x80'), 8192},
        {"reference across the cut", std::string(8189, 'a') + "&amp;tail", 8189},
        {"reference ending at the cut", std::string(8187, 'a') + "&amp;tail", 8192},
        {"numeric reference across the cut", std::string(8186, 'a') + "&#x20AC;tail", 8186},
        {"a blank near the limit ends the piece", std::string(8000, 'a') + " " + std::string(1000, 'b'),
         8001},
        {"a blank too far back does not", std::string(7000, 'a') + " " + std::string(2000, 'b'), 8192},
        {"a line end counts as a blank", std::string(8190, 'a') + "\nbbbb", 8191},
    };
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(ChunkCutLength(c.text, 0), c.expected);
    }
    std::string offset = "xyz" + std::string(8189, 'a') + "&amp;";
    EXPECT_EQ(ChunkCutLength(offset, 3), 8189u) << "counted from the start given";
}

struct ShapeCase {
    const char* label;
    std::string body;
    // Per fragment after merging: its length class (S small, L about 8192) and whether it is
    // wrapped in a span.
    std::vector<std::string> shape;
    std::vector<std::string> selectors;
};

std::string ShapeOf(const ChunkFragment& f)
{
    bool wrapped = f.m_Text.compare(0, 6, "<span>") == 0;
    std::string size = f.m_Text.size() > 40000 ? "H" : f.m_Text.size() >= 8000 ? "L" : "S";
    return size + (wrapped ? "span" : "");
}

TEST(Chunker, FragmentsFollowTheElementsWithAids)
{
    const std::string big(20000, 'x');
    const ShapeCase cases[] = {
        {"20000 bytes of text under an aid element: plain, span, plain",
         "<body onclick=\"0\"><p onclick=\"1\">" + big + "</p></body>",
         {"L", "Lspan", "S"},
         {"P-//*[@aid='1']", "P-//*[@aid='1']", "P-//*[@aid='1']"}},
        {"a 50000-byte child without an aid stays whole",
         "<body onclick=\"0\"><div>" + std::string(50000, 'y') + "</div></body>",
         {"H"},
         {"P-//*[@aid='0']"}},
        {"an element without children gives CR LF",
         "<body onclick=\"0\"></body>",
         {"S"},
         {"P-//*[@aid='0']"}},
        {"small neighbours merge",
         "<body onclick=\"0\"><p>a</p><p>b</p><p>c</p></body>",
         {"S"},
         {"P-//*[@aid='0']"}},
        {"merging stops at 8192 bytes",
         "<body onclick=\"0\">" + Repeat("<p>" + std::string(3000, 'z') + "</p>", 3) + "</body>",
         {"S", "S"},
         {"P-//*[@aid='0']", "P-//*[@aid='0']"}},
        {"what follows a split element goes after it",
         "<body onclick=\"0\"><p>before</p><div onclick=\"1\"><p>" + std::string(9000, 'q') + "</p><p>" +
             std::string(9000, 'r') + "</p></div><p>after</p></body>",
         {"S", "L", "L", "S"},
         {"P-//*[@aid='0']", "P-//*[@aid='1']", "P-//*[@aid='1']", "S-//*[@aid='1']"}},
    };
    for (const ShapeCase& c : cases) {
        SCOPED_TRACE(c.label);
        Chunked r = Chunk(c.body, 1000, 5);
        ASSERT_TRUE(r.ok);
        std::vector<std::string> shape, selectors;
        for (const ChunkFragment& f : r.fragments) {
            shape.push_back(ShapeOf(f));
            selectors.push_back(f.m_Selector);
        }
        EXPECT_EQ(shape, c.shape);
        EXPECT_EQ(selectors, c.selectors);

        // The tables put the file back together, and nothing but the span wrappers was added.
        EXPECT_EQ(Reassemble(r.file), r.file.m_Rebuilt);
        std::string unwrapped = r.file.m_Rebuilt;
        for (size_t at; (at = unwrapped.find("<span>")) != std::string::npos;)
            unwrapped.erase(at, 6);
        for (size_t at; (at = unwrapped.find("</span>")) != std::string::npos;)
            unwrapped.erase(at, 7);
        EXPECT_EQ(unwrapped.compare(0, sizeof HEAD - 1, HEAD), 0);
        EXPECT_EQ(unwrapped.size() >= 7 && unwrapped.compare(unwrapped.size() - 7, 7, "</html>") == 0, true);

        ASSERT_EQ(r.file.m_Skeletons.size(), 1u);
        const SkeletonTableEntry& s = r.file.m_Skeletons[0];
        EXPECT_EQ(s.m_Name, "SKEL0000000003");
        EXPECT_EQ(s.m_StartPosition, 1000u);
        EXPECT_EQ(s.m_FragmentCount, r.fragments.size());
        size_t total = s.m_Length;
        uint32_t expectedSequence = 5, expectedStart = 0;
        for (const FragmentTableEntry& f : r.file.m_Fragments) {
            EXPECT_EQ(f.m_FileNumber, 3u);
            EXPECT_EQ(f.m_SequenceNumber, expectedSequence++);
            EXPECT_EQ(f.m_StartOffset, expectedStart);
            expectedStart += f.m_Length;
            total += f.m_Length;
        }
        EXPECT_EQ(r.sequence, expectedSequence);
        EXPECT_EQ(total, r.file.m_Text.size());
    }
}

TEST(Chunker, MarksWhereElementsBeginAndEnd)
{
    Chunked r = Chunk("<body onclick=\"0\"><p onclick=\"1\">" + std::string(20000, 'x') + "</p></body>");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.fragments.size(), 3u);
    EXPECT_TRUE(r.fragments[0].m_StartsElement);
    EXPECT_EQ(r.fragments[0].m_Begins, (std::vector<std::string>{"1", "0"}));
    EXPECT_EQ(r.fragments[2].m_Ends, (std::vector<std::string>{"1", "0"}));
    EXPECT_TRUE(r.fragments[1].m_Begins.empty() && r.fragments[1].m_Ends.empty());
}

TEST(Chunker, BodyWithoutAidFails)
{
    Chunked r = Chunk("<body><p onclick=\"1\">x</p></body>", 0, 7);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.sequence, 7u) << "no numbers taken";
    EXPECT_TRUE(r.file.m_Fragments.empty());
}

TEST(Chunker, DeepNestingIsBounded)
{
    // Thousands of nested elements with aids, each printed past the limit: the walk stops at the
    // depth limit instead of running out of stack.
    std::string body = "<body onclick=\"b\">";
    for (int i = 0; i < 4000; ++i)
        body += "<div onclick=\"" + std::to_string(i) + "\">";
    body += std::string(10000, 'd');
    for (int i = 0; i < 4000; ++i)
        body += "</div>";
    body += "</body>";
    Chunked r = Chunk(body);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Reassemble(r.file), r.file.m_Rebuilt);
}

} // namespace
