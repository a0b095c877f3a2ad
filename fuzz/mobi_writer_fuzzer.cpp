// Builds a small book from the fuzz bytes (two HTML files, a style sheet, an image and a table of
// contents), writes it as a KF8 file and as a joint file, and reads both back with our own reader.
// The pieces of the input are separated by the byte 0xFF; the last piece drives the NavPoints.
#include "FuzzScratch.h"
#include "base/Files.h"
#include "base/Folders.h"
#include "base/Text.h"
#include "mobi/Ebook_MobiFrame.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

const std::string& Scratch()
{
    return FuzzScratch("/tmp/mobi-writer-fuzz-XXXXXX");
}

std::vector<std::string> SplitPieces(const std::string& bytes)
{
    std::vector<std::string> pieces(1);
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) == 0xFF && pieces.size() < 5)
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    pieces.resize(5);
    return pieces;
}

const char* const TARGETS[] = {"a.html", "b.html", "a.html#x", "b.html#y", "c.html", "../a.html"};

CIntermediateBook MakeBook(const std::string& tocBytes)
{
    CIntermediateBook book;
    book.m_HtmlFileList = {"a.html", "b.html"};
    book.m_ResourceList = {"s.css", "i.png"};
    book.m_RelativeToContentDirectory = false;
    for (size_t i = 0; i + 1 < tocBytes.size() && book.m_NavPoints.size() < 64; i += 2) {
        NavPoint point;
        point.m_Label = "Entry " + std::to_string(i / 2);
        point.m_Src = TARGETS[static_cast<unsigned char>(tocBytes[i]) % 6];
        int parent = static_cast<int>(static_cast<unsigned char>(tocBytes[i + 1])) - 128;
        point.m_Parent = parent >= 0 && static_cast<size_t>(parent) < book.m_NavPoints.size() ? parent : -1;
        point.m_Depth = point.m_Parent < 0 ? 0 : book.m_NavPoints[point.m_Parent].m_Depth + 1;
        point.m_OwnIndex = static_cast<int32_t>(book.m_NavPoints.size());
        book.m_NavPoints.push_back(point);
    }
    for (size_t i = 0; i < book.m_NavPoints.size(); ++i) {
        int32_t parent = book.m_NavPoints[i].m_Parent;
        if (parent < 0) continue;
        NavPoint& p = book.m_NavPoints[static_cast<size_t>(parent)];
        if (p.m_FirstChild < 0) p.m_FirstChild = static_cast<int32_t>(i);
        p.m_LastChild = static_cast<int32_t>(i);
    }
    book.m_GuideItems.push_back(GuideItem{"text", "Start", "a.html#x", 0, 0});
    book.SetValue("title", tocBytes.substr(0, 16));
    book.SetValue("coverimage", "i.png");
    return book;
}

void WriteAndReadBack(CIntermediateBook& book, const std::string& temp, const std::string& outputName)
{
    const std::string output = Scratch() + outputName;
    CEbookMobiFrame writer;
    writer.m_FormatId = EndsWith(outputName, ".azw3") ? FORMAT_AZW3 : FORMAT_MOBI;
    ConvertOutputContext out{"", book, temp, Scratch(), ""};
    if (writer.Convert_Output(output, out) != RC_OK) return;

    CEbookMobiFrame reader;
    ConvertInputContext in{Scratch() + "back/", Scratch(), FORMAT_EPUB, ""};
    MakeDirectory(in.m_TempDirectory);
    reader.Convert_Input(output, in);
    DeleteFile(output);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> pieces = SplitPieces(std::string(reinterpret_cast<const char*>(data), size));
    const std::string temp = Scratch() + "book/";
    MakeDirectory(temp);
    // A PNG signature in front, so the bytes count as an image whatever follows.
    static const std::string PNG("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    if (WriteWholeFile(temp + "a.html", pieces[0]) != RC_OK ||
        WriteWholeFile(temp + "b.html", pieces[1]) != RC_OK ||
        WriteWholeFile(temp + "s.css", pieces[2]) != RC_OK ||
        WriteWholeFile(temp + "i.png", PNG + pieces[3]) != RC_OK)
        return 0;
    CIntermediateBook book = MakeBook(pieces[4]);
    WriteAndReadBack(book, temp, "out.azw3");
    book = MakeBook(pieces[4]);
    WriteAndReadBack(book, temp, "out.mobi");
    return 0;
}
