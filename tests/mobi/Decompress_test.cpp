#include "mobi/Decompress.h"

#include "base/Files.h"
#include "base/Text.h"
#include "mobi/MOBIHeader.h"
#include "mobi/MobiTestBook.h"
#include "mobi/PalmDb.h"

#include <gtest/gtest.h>

using namespace mobitest;

namespace
{

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

// PalmDOC back reference token: distance and length 3..10.
std::string Ref(int distance, int length)
{
    uint32_t v = 0x8000u | (uint32_t(distance) << 3) | uint32_t(length - 3);
    return Bytes({int(v >> 8), int(v & 0xFF)});
}

const uint8_t* U8(const std::string& s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

struct PalmDocCase {
    const char* label;
    std::string input;
    bool ok;
    std::string output;
};

TEST(Decompress, PalmDocTokens)
{
    std::string run = "a";
    for (int i = 0; i < 500; ++i)
        run += Ref(1, 10); // would give 5,001 bytes
    const PalmDocCase cases[] = {
        {"empty", "", true, ""},
        {"plain bytes", "abc\x7F", true, "abc\x7F"},
        {"zero byte", std::string("a\0b", 3), true, std::string("a\0b", 3)},
        {"literal run", "\x03\x80\xC0\x01z", true, "\x80\xC0\x01z"},
        {"literal run cut by the record end",
         "\x05"
         "ab",
         true, "ab"},
        {"space pair", "x\xC1", true, "x A"},
        {"back reference", "abcd" + Ref(4, 4), true, "abcdabcd"},
        {"overlapping reference", "a" + Ref(1, 5), true, "aaaaaa"},
        {"reference before the start", "ab" + Ref(3, 3), false, ""},
        {"reference of distance 0", "ab" + Ref(0, 3), false, ""},
        {"pair cut by the record end", "ab\x80", true, "ab"},
        {"stops after 4096 bytes", run, true, std::string(4101, 'a')},
    };
    for (const PalmDocCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::string out = "prefix:";
        EXPECT_EQ(PalmDocDecode(U8(c.input), c.input.size(), out), c.ok);
        EXPECT_EQ(out, "prefix:" + c.output);
    }
}

struct ExtraCase {
    const char* label;
    uint16_t flags;
    std::string record;
    int64_t length;
};

TEST(Decompress, ExtraDataCutting)
{
    const ExtraCase cases[] = {
        {"no flags", 0, "hello", 5},
        {"trailing entry then multibyte", 0x0003,
         "hello\x01"
         "\x41\x82",
         4},
        {"two trailing entries", 0x0006, "textQ\x82\x81", 4},
        {"entry larger than the record counts 0", 0x0002, "abc\x90", 4},
        {"record under 4 bytes has no entry", 0x0002, "a\x81", 2},
        {"multibyte only", 0x0001, "abc\x02", 1},
        {"multibyte past the start", 0x0001, "\x03", -3},
    };
    for (const ExtraCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(CutExtraData(U8(c.record), c.record.size(), c.flags), c.length);
    }
}

// ---- HUFF/CDIC over a hand-made dictionary ---------------------------------------------------------

// Every code is 8 bits and terminal; slot i is coded as the byte 255 - i.
std::string HuffRecord()
{
    std::string r = "HUFF" + Be32(24) + Be32(24) + Be32(24 + 1024) + Be32(24 + 1024 + 256) + Be32(0);
    for (int i = 0; i < 256; ++i)
        r += Be32((255u << 8) | 0x80u | 8u);
    r += std::string(256, '\0');
    return r;
}

struct Entry {
    std::string bytes;
    bool decoded;
};

std::string CdicRecord(const std::vector<Entry>& entries, uint32_t total = 0)
{
    std::string r = "CDIC" + Be32(16) + Be32(total ? total : static_cast<uint32_t>(entries.size())) + Be32(8);
    std::string body;
    std::string offsets;
    size_t base = 2 * entries.size();
    for (const Entry& e : entries) {
        AppendU16(offsets, static_cast<uint32_t>(base + body.size()));
        AppendU16(body, static_cast<uint32_t>(e.bytes.size()) | (e.decoded ? 0x8000u : 0u));
        body += e.bytes;
    }
    return r + offsets + body;
}

int Code(int slot)
{
    return 255 - slot;
}

// A canonical code over dictionary slots 0..n-1 (lengths non-decreasing by slot). Shorter codes sit
// at the top of the code space, as the decoder expects: the standard canonical codes, inverted.
class CanonicalCode
{
  public:
    explicit CanonicalCode(std::vector<int> lengths) : m_Lengths(std::move(lengths))
    {
        uint32_t code = 0;
        int previous = m_Lengths.empty() ? 0 : m_Lengths[0];
        for (size_t i = 0; i < m_Lengths.size(); ++i) {
            code <<= (m_Lengths[i] - previous);
            previous = m_Lengths[i];
            m_Codes.push_back(((1u << m_Lengths[i]) - 1) - code);
            ++code;
        }
    }

    std::string Huff() const
    {
        uint32_t low[33] = {}, high[33] = {};
        int shorter = 0; // last length that has codes
        for (int n = 1; n <= 32; ++n) {
            int first = -1, last = -1;
            for (size_t i = 0; i < m_Lengths.size(); ++i)
                if (m_Lengths[i] == n) (first < 0 ? first : last) = int(i), last = int(i);
            if (first >= 0) {
                low[n] = m_Codes[size_t(last)];
                high[n] = uint32_t(first) + m_Codes[size_t(first)];
                shorter = n;
            } else {
                // Everything longer lies below the last shorter length's lowest code.
                low[n] = shorter ? low[shorter] << (n - shorter) : (n < 32 ? 1u << n : 0xFFFFFFFFu);
            }
        }
        std::string r = "HUFF" + Be32(24) + Be32(24) + Be32(24 + 1024) + Be32(24 + 1024 + 256) + Be32(0);
        for (uint32_t prefix = 0; prefix < 256; ++prefix) {
            uint32_t entry = 0x80u | 8u; // unused prefix: decodes past every slot
            bool terminal = false;
            int shortest = 33;
            for (size_t i = 0; i < m_Lengths.size(); ++i) {
                int n = m_Lengths[i];
                if (n <= 8 && (prefix >> (8 - n)) == m_Codes[i]) {
                    entry = (high[n] << 8) | 0x80u | uint32_t(n);
                    terminal = true;
                }
                if (n > 8 && (m_Codes[i] >> (n - 8)) == prefix && n < shortest) shortest = n;
            }
            if (!terminal && shortest <= 32) entry = uint32_t(shortest);
            r += Be32(entry);
        }
        for (int n = 1; n <= 32; ++n)
            r += Be32(low[n]) + Be32(high[n]);
        return r;
    }

    std::string Encode(const std::vector<int>& slots) const
    {
        std::string out;
        uint64_t bits = 0;
        int count = 0;
        for (int slot : slots) {
            int n = m_Lengths[size_t(slot)];
            bits = (bits << n) | m_Codes[size_t(slot)];
            count += n;
            while (count >= 8) {
                out.push_back(static_cast<char>((bits >> (count - 8)) & 0xFF));
                count -= 8;
            }
        }
        if (count > 0) out.push_back(static_cast<char>((bits << (8 - count)) & 0xFF));
        return out;
    }

  private:
    std::vector<int> m_Lengths;
    std::vector<uint32_t> m_Codes;
};

// Slots of the test dictionary: four short codes, the rest 10 bits long (and 5 beyond the dictionary).
enum : int {
    HELLO = 0,
    SPACE = 1,
    WORLD = 2,
    PHRASE = 3,
    CHAIN60 = 10,
    CHAIN100 = 70,
    SELF = 200,
    MUTUAL_A = 201,
    MUTUAL_B = 202,
    BIG = 203,
    BOMB = 204,
    SLOTS = 205,
    CODED_SLOTS = 210,
};

const CanonicalCode& TestCode()
{
    static const CanonicalCode code = [] {
        std::vector<int> lengths = {2, 2, 3, 3};
        lengths.resize(CODED_SLOTS, 10);
        return CanonicalCode(lengths);
    }();
    return code;
}

std::vector<Entry> TestDictionary()
{
    const CanonicalCode& code = TestCode();
    std::vector<Entry> d(SLOTS, Entry{"-", true});
    d[HELLO] = {"Hello", true};
    d[SPACE] = {" ", true};
    d[WORLD] = {"World", true};
    d[PHRASE] = {code.Encode({HELLO, SPACE, WORLD}), false};
    for (int i = CHAIN60; i < CHAIN60 + 59; ++i)
        d[size_t(i)] = {code.Encode({i + 1}), false};
    d[CHAIN60 + 59] = {"end60", true};
    for (int i = CHAIN100; i < CHAIN100 + 99; ++i)
        d[size_t(i)] = {code.Encode({i + 1}), false};
    d[CHAIN100 + 99] = {"end100", true};
    d[SELF] = {code.Encode({SELF}), false};
    d[MUTUAL_A] = {code.Encode({MUTUAL_B}), false};
    d[MUTUAL_B] = {code.Encode({MUTUAL_A}), false};
    d[BIG] = {std::string(1000, 'A'), true};
    d[BOMB] = {code.Encode(std::vector<int>(100, BIG)), false};
    return d;
}

// The dictionary spread over CDIC records of 64 entries each.
ResultCode DecodeWithCanonical(const std::vector<int>& slots, std::string& out)
{
    const std::vector<Entry> dictionary = TestDictionary();
    CHuffCdicDecoder decoder;
    ResultCode rc = decoder.LoadHuff(TestCode().Huff());
    for (size_t first = 0; rc == RC_OK && first < dictionary.size(); first += 64) {
        std::vector<Entry> part(dictionary.begin() + long(first),
                                dictionary.begin() + long(std::min(first + 64, dictionary.size())));
        std::string cdic = CdicRecord(part, static_cast<uint32_t>(dictionary.size()));
        PutU32At(cdic, 12, 6);
        rc = decoder.AddCdic(cdic);
    }
    if (rc == RC_OK && decoder.EntryCount() != dictionary.size()) return RC_MOBI_CDIC_ITEM;
    const std::string record = TestCode().Encode(slots);
    if (rc == RC_OK) rc = decoder.Decode(U8(record), record.size(), out);
    return rc;
}

struct HuffCase {
    const char* label;
    std::vector<int> slots;
    ResultCode rc;
    std::string output;
};

TEST(Decompress, HuffCdicDictionaryExpansion)
{
    const HuffCase cases[] = {
        {"decoded entries", {HELLO, SPACE, WORLD}, RC_OK, "Hello World"},
        {"entry made of entries, used twice", {PHRASE, SPACE, PHRASE}, RC_OK, "Hello World Hello World"},
        {"slot past the dictionary ends the record", {HELLO, SLOTS + 2, WORLD}, RC_OK, "Hello"},
        {"entry refers to itself", {SELF, SPACE}, RC_OK, TestCode().Encode({SELF}) + " "},
        {"two entries refer to each other", {MUTUAL_A}, RC_OK, TestCode().Encode({MUTUAL_B})},
        {"chain of 60 entries", {CHAIN60, SPACE, CHAIN60 + 30}, RC_OK, "end60 end60"},
        {"chain of 100 entries is too deep", {CHAIN100}, RC_MOBI_CDIC_ITEM, ""},
        {"expansion bomb", {BOMB}, RC_MOBI_CDIC_ITEM, ""},
        {"empty record", {}, RC_OK, ""},
    };
    for (const HuffCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::string out;
        EXPECT_EQ(DecodeWithCanonical(c.slots, out), c.rc);
        if (c.rc == RC_OK) {
            EXPECT_EQ(out, c.output);
        }
    }
}

struct TableCase {
    const char* label;
    std::string huff;
    std::string cdic;
    ResultCode rc;
};

TEST(Decompress, HuffCdicTableFaults)
{
    std::string goodCdic = CdicRecord({{"x", true}});
    std::string badMagic = HuffRecord();
    badMagic[0] = 'h';
    std::string table2At1000 = HuffRecord();
    PutU32At(table2At1000, 12, 24 + 1000);
    std::string lengthZero = HuffRecord();
    PutU32At(lengthZero, 24 + 4 * 7, 0x80u);
    std::string shortNotTerminal = HuffRecord();
    PutU32At(shortNotTerminal, 24, 5u);
    std::string cutTables = HuffRecord().substr(0, 600);
    std::string cdicBadMagic = goodCdic;
    cdicBadMagic[1] = 'X';
    std::string entryOutside = goodCdic;
    PutU16At(entryOutside, 16, 0x4000);
    std::string entryTooLong = goodCdic;
    PutU16At(entryTooLong, 18, 0x8000u | 50u);
    std::string tableCut = "CDIC" + Be32(16) + Be32(4) + Be32(8) + Bytes({0, 8});
    const TableCase cases[] = {
        {"valid", HuffRecord(), goodCdic, RC_OK},
        {"HUFF magic", badMagic, goodCdic, RC_MOBI_HUFF_MAGIC},
        {"table 2 at 1000 bytes", table2At1000, goodCdic, RC_MOBI_HUFF_ITEM},
        {"code length 0", lengthZero, goodCdic, RC_MOBI_HUFF_ITEM},
        {"short code not terminal", shortNotTerminal, goodCdic, RC_MOBI_HUFF_ITEM},
        {"tables cut by the record end", cutTables, goodCdic, RC_MOBI_HUFF_ITEM},
        {"CDIC magic", HuffRecord(), cdicBadMagic, RC_MOBI_CDIC_MAGIC},
        {"entry offset outside", HuffRecord(), entryOutside, RC_MOBI_CDIC_ITEM},
        {"entry runs past the record", HuffRecord(), entryTooLong, RC_MOBI_CDIC_ITEM},
        {"offset table cut", HuffRecord(), tableCut, RC_MOBI_CDIC_ITEM},
    };
    for (const TableCase& c : cases) {
        SCOPED_TRACE(c.label);
        CHuffCdicDecoder decoder;
        ResultCode rc = decoder.LoadHuff(c.huff);
        if (rc == RC_OK) rc = decoder.AddCdic(c.cdic);
        EXPECT_EQ(rc, c.rc);
    }
}

TEST(Decompress, HuffCdicBookThroughTheHeader)
{
    struct Case {
        const char* label;
        uint32_t huffRecord;
        ResultCode rc;
    };
    const Case cases[] = {{"tables in the part", 2, RC_OK}, {"tables past the part", 3, RC_MOBI_HUFF_INDEX}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Record0 header;
        header.compression = COMPRESSION_HUFF_CDIC;
        header.huffRecord = c.huffRecord;
        header.huffCount = 2;
        header.extraFlags = 0x0002;
        header.minVersion = 6;
        // One trailing entry of 2 bytes after the codes.
        std::string text = Bytes({Code(0), Code(1), Code(2)}) + Bytes({'z', 0x82});
        std::string file =
            BuildPalmDb({header.Build(), text, HuffRecord(),
                         CdicRecord({{"Hello", true}, {", ", true}, {"you", true}}), EndOfFileRecord()});
        CPalmDb db;
        ASSERT_EQ(db.OpenMemory(file), RC_OK);
        CMobiHeader part;
        ASSERT_EQ(part.Init(db, 0, nullptr), RC_OK);
        EXPECT_EQ(part.UnpackTextRecord(ScratchDirectory()), c.rc);
        if (c.rc == RC_OK) {
            EXPECT_EQ(part.m_Text, "Hello, you");
            EXPECT_EQ(part.m_RecordsToUnpack, std::vector<uint32_t>{4});
        }
    }
}

// ---- real books ------------------------------------------------------------------------------------

struct Decoded {
    std::string first;
    std::string second;
};

Decoded DecodeBook(const std::string& name)
{
    Decoded d;
    CFile file;
    EXPECT_EQ(file.Open(DataPath(name), false, false), RC_OK);
    CPalmDb db;
    EXPECT_EQ(db.Open(file), RC_OK);
    CMobiHeader first, kf8;
    bool joint = false;
    EXPECT_EQ(OpenMobiParts(db, first, kf8, joint, nullptr), RC_OK);
    std::string dir = ScratchDirectory();
    EXPECT_EQ(first.UnpackTextRecord(dir), RC_OK);
    EXPECT_EQ(first.m_Text.size(), first.Fields().m_TextLength);
    d.first = first.m_Text;
    if (joint) {
        EXPECT_EQ(kf8.UnpackTextRecord(dir), RC_OK);
        EXPECT_EQ(kf8.m_Text.size(), kf8.Fields().m_TextLength);
        d.second = kf8.m_Text;
    }
    return d;
}

TEST(Decompress, HuffCdicBookEqualsItsUncompressedTwin)
{
    Decoded huff = DecodeBook("huffdic-joint.mobi");
    Decoded plain = DecodeBook("uncompressed-joint.mobi");
    EXPECT_EQ(huff.first.size(), 111701u);
    EXPECT_EQ(huff.first, plain.first);
    // The two samples' KF8 parts differ in one declared charset only.
    std::string kf8 = plain.second;
    ReplaceAll(kf8, "<meta charset=\"cp-1252\"/>", "<meta charset=\"utf-8\"/>");
    EXPECT_EQ(huff.second, kf8);
}

TEST(Decompress, PalmDocBooksDecodeToTheirDeclaredLength)
{
    for (const char* name : {"qs-eng-mobi6.mobi", "qs-eng-joint.mobi", "qs-eng-kf8.azw3", "cp1252-mobi6.mobi",
                             "font-kf8.mobi", "ncx-joint.mobi"}) {
        SCOPED_TRACE(name);
        Decoded d = DecodeBook(name);
        EXPECT_TRUE(d.first.compare(0, 6, "<html>") == 0 || d.first.compare(0, 5, "<?xml") == 0);
    }
}

} // namespace
