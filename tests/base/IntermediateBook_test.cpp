#include "base/IntermediateBook.h"

#include <gtest/gtest.h>

namespace
{

std::string JsonOf(CIntermediateBook& book)
{
    std::string text;
    book.ToJson(text);
    return text;
}

TEST(MetadataText, WriterJoinsValuesInKeyOrder)
{
    CIntermediateBook book;
    book.AddValue("title", "Dune");
    book.AddValue("creator", "A");
    book.AddValue("creator", "B");
    EXPECT_EQ(JsonOf(book), R"({"creator":"A & B","title":"Dune"})");
}

TEST(MetadataText, WriterLeavesOutCoverAndRawExthKeys)
{
    CIntermediateBook book;
    book.AddValue("coverimage", "Image00001.jpg");
    book.AddValue("MOBI_ID_00000201", std::string("\0\0\0\x0c", 4));
    EXPECT_EQ(JsonOf(book), "{}");
    EXPECT_EQ(book.m_MetaData.count("coverimage"), 0u);
    EXPECT_EQ(book.m_MetaData.count("MOBI_ID_00000201"), 1u);

    CIntermediateBook empty;
    EXPECT_EQ(JsonOf(empty), "");
}

struct QuoteCase {
    const char* label;
    std::string value;
    std::string quoted;
};

TEST(MetadataText, QuotingEscapesOnlyQuotesBackslashesAndControls)
{
    const QuoteCase cases[] = {
        {"quote and newline", "say \"hi\"\nnow", R"("say \"hi\"\nnow")"},
        {"utf-8 passes", "caf\xC3\xA9 \xE2\x82\xAC", "\"caf\xC3\xA9 \xE2\x82\xAC\""},
        {"backslash and tab", "a\\b\tc", R"("a\\b\tc")"},
        {"other controls", std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\x7f\""},
        {"cr, bs, ff", "\r\b\f", R"("\r\b\f")"},
        {"slash untouched", "a/b", R"("a/b")"},
    };
    for (const QuoteCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(QuoteJsonString(c.value), c.quoted);
    }
}

struct CutCase {
    const char* label;
    MetaDataMap map;
    std::map<std::string, size_t> kept; // bytes kept of each value that is cut
};

// Over-long values are cut, never dropped, and each member keeps its place: what the shorter
// values leave is shared by the longer ones, cut between two UTF-8 characters.
TEST(MetadataText, WriterCutsTheLongestValuesToFit)
{
    const std::string e = "\xC3\xA9", smile = "\xF0\x9F\x98\x80";
    auto times = [](const std::string& unit, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out += unit;
        return out;
    };
    // "{", "\"title\":\"", the value and "\"," end 65,534 characters short of the limit.
    const CutCase cases[] = {
        {"one long title", {{"title", {std::string(70000, 'x')}}}, {{"title", 65521}}},
        {"two-byte characters cut whole", {{"title", {times(e, 35000)}}}, {{"title", 65520}}},
        {"four-byte characters cut whole", {{"title", {times(smile, 20000)}}}, {{"title", 65520}}},
        {"escaped quotes count twice", {{"title", {std::string(40000, '"')}}}, {{"title", 32760}}},
        {"the shorter long value is kept whole",
         {{"a", {std::string(40000, 'x')}}, {"b", {std::string(30000, 'y')}}, {"c", {"small"}}},
         {{"a", 65532 - 30007 - 12 - 7}}},
        {"equal values share alike",
         {{"description", {std::string(50000, 'd')}}, {"title", {std::string(50000, 't')}}},
         {{"description", 32766 - 17}, {"title", 32766 - 11}}},
        {"a value that fits is untouched", {{"title", {std::string(65521, 'x')}}}, {}},
    };
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook book;
        book.AssignMap(c.map);
        std::string text;
        std::map<std::string, size_t> kept;
        for (const CIntermediateBook::CutValue& cut : book.ToJson(text)) {
            EXPECT_EQ(cut.m_Length, c.map.at(cut.m_Key).front().size());
            kept[cut.m_Key] = cut.m_Kept;
        }
        EXPECT_EQ(kept, c.kept);
        EXPECT_LT(text.size(), 65534u);
        CIntermediateBook back;
        ASSERT_EQ(back.FromJson(text), RC_OK);
        ASSERT_EQ(back.m_MetaData.size(), c.map.size()) << "no member is dropped";
        for (const auto& [key, values] : c.map) {
            const std::string& value = back.m_MetaData[key].front();
            const size_t expected = kept.count(key) ? kept[key] : values.front().size();
            EXPECT_EQ(value, values.front().substr(0, expected)) << key;
        }
    }
}

// `s` refuses what the writer would cut, so the two must agree to the byte: "{", "\"title\":\"",
// the value as quoted and "\"," must stay under 65,534 characters.
TEST(MetadataText, FitsExactlyWhenTheWriterKeepsEveryMember)
{
    const struct {
        const char* label;
        std::string key;
        std::string value;
        bool fits;
    } cases[] = {
        {"longest title kept", "title", std::string(65521, 'x'), true},
        {"one more is cut", "title", std::string(65522, 'x'), false},
        {"escaped quotes, just fitting", "title", std::string(32760, '"'), true},
        {"escaped quotes count twice", "title", std::string(32761, '"'), false},
        {"cover path is never written", "coverimage", std::string(70000, 'x'), true},
        {"raw EXTH is never written", "MOBI_ID_00000201", std::string(70000, 'x'), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook book;
        book.AddValue(c.key, c.value);
        std::string leftOut;
        EXPECT_EQ(book.FitsMetadataText(leftOut), c.fits);
        EXPECT_EQ(leftOut, c.fits ? "" : c.key);
        if (c.key == "title") {
            std::string text;
            EXPECT_EQ(book.ToJson(text).empty(), c.fits) << "the writer agrees";
        }
    }
}

TEST(MetadataText, ReaderRoundTripsTheWriter)
{
    CIntermediateBook book;
    book.AddValue("title", "Quote \" back\\slash \xC3\xA9\x01");
    book.AddValue("description", "line1\r\nline2");
    std::string text = JsonOf(book);
    CIntermediateBook back;
    ASSERT_EQ(back.FromJson(text), RC_OK);
    EXPECT_EQ(back.m_MetaData, book.m_MetaData);
}

struct ReadCase {
    const char* label;
    const char* text;
    ResultCode rc;
    MetaDataMap map;
};

TEST(MetadataText, ReaderTakesOnlyStringMembers)
{
    const ReadCase cases[] = {
        {"string and number", R"({"title":"T","pages":12})", RC_OK, {{"title", {"T"}}}},
        {"joined value stays one", R"({"creator":"A & B"})", RC_OK, {{"creator", {"A & B"}}}},
        {"comments allowed", "// c\n{\"title\":/*x*/\"T\"}", RC_OK, {{"title", {"T"}}}},
        {"array at top", R"(["a"])", RC_OK, {}},
        {"empty string value", R"({"title":""})", RC_OK, {}},
        {"not json", "{title", RC_META_GET_JSON, {}},
        {"empty text", "", RC_META_GET_JSON, {}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.label);
        CIntermediateBook book;
        EXPECT_EQ(book.FromJson(c.text), c.rc);
        EXPECT_EQ(book.m_MetaData, c.map);
    }
}

// The metadata text joins values with " & "; `s` splits back only the keys that hold one value per
// person or identifier, so a title or a subject keeps its ampersand.
TEST(MetadataText, JoinedPeopleAndIdentifiersSplitBack)
{
    const struct {
        const char* key;
        const char* value;
        std::vector<std::string> split; // empty: the key is gone
    } cases[] = {
        {"creator", "A One & B Two", {"A One", "B Two"}},
        {"contributor_edt", "Ed & Ted & Fred", {"Ed", "Ted", "Fred"}},
        {"identifier", "urn:uuid:1 & isbn:2", {"urn:uuid:1", "isbn:2"}},
        {"identifier_ISBN", "111 & 222", {"111", "222"}},
        {"creator", "Tom&Jerry & Simon &Co", {"Tom&Jerry", "Simon &Co"}},
        {"creator", "A One &  & B Two", {"A One", "B Two"}},
        {"creator", " & ", {}},
        {"title", "Salt & Pepper", {"Salt & Pepper"}},
        {"subject", "Arts & Crafts", {"Arts & Crafts"}},
        {"description", "A & B", {"A & B"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + ": " + c.value);
        CIntermediateBook book;
        std::string json;
        book.AddValue(c.key, c.value);
        book.ToJson(json);
        CIntermediateBook read;
        ASSERT_EQ(read.FromJson(json), RC_OK);
        read.SplitJoinedValues();
        if (c.split.empty())
            EXPECT_EQ(read.m_MetaData.count(c.key), 0u);
        else
            EXPECT_EQ(read.m_MetaData[c.key], c.split);
    }
}

TEST(MetadataMap, SetValueReplacesCreatesAndRemoves)
{
    CIntermediateBook book;
    book.SetValue("title", "");
    EXPECT_TRUE(book.m_MetaData.empty()) << "an empty value never creates a key";
    book.AddValue("title", "a");
    book.AddValue("title", "b");
    book.SetValue("title", "c");
    EXPECT_EQ(book.m_MetaData["title"], std::vector<std::string>{"c"});
    book.SetValue("title", "");
    EXPECT_EQ(book.m_MetaData.count("title"), 0u);
}

TEST(MetadataMap, GetValueLeavesTextAloneForAbsentKeys)
{
    CIntermediateBook book;
    std::string text = "unchanged";
    EXPECT_EQ(book.GetValue("title", text), RC_META_GET_ITEM);
    EXPECT_EQ(text, "unchanged");
    book.AddValue("creator", "A");
    book.AddValue("creator", "B");
    EXPECT_EQ(book.GetValue("creator", text), RC_OK);
    EXPECT_EQ(text, "A & B");
}

TEST(MetadataMap, ExthIdsAndKeys)
{
    EXPECT_EQ(CIntermediateBook::GetKeyByExthId(503), "title");
    EXPECT_EQ(CIntermediateBook::GetKeyByExthId(201), "MOBI_ID_00000201");
    EXPECT_EQ(CIntermediateBook::GetExthIdByKey("language"), 524);
    EXPECT_EQ(CIntermediateBook::GetExthIdByKey("MOBI_ID_00000201"), 201);
    EXPECT_EQ(CIntermediateBook::GetExthIdByKey("nothing"), -1);

    CIntermediateBook book;
    book.AddValueByExthId(201, std::string("\0\0\0\x0c", 4));
    book.AddValueByExthId(202, "abc");
    EXPECT_EQ(book.GetUint32ByExthId(201), 12u);
    EXPECT_EQ(book.GetUint32ByExthId(202), 0xFFFFFFFFu);
    EXPECT_EQ(book.GetUint32ByExthId(203), 0xFFFFFFFFu);
}

TEST(MetadataMap, KeepFirstValuesOnlyForSingleValuedKeys)
{
    CIntermediateBook book;
    for (const char* key : {"title", "title_sort", "creator", "language"}) {
        book.AddValue(key, "1");
        book.AddValue(key, "2");
    }
    book.KeepFirstValues();
    EXPECT_EQ(book.m_MetaData["title"].size(), 1u);
    EXPECT_EQ(book.m_MetaData["title_sort"].size(), 1u) << "the test is a prefix test";
    EXPECT_EQ(book.m_MetaData["language"].size(), 1u);
    EXPECT_EQ(book.m_MetaData["creator"].size(), 2u);
}

struct DateCase {
    const char* a;
    const char* b;
    std::string merged;
};

TEST(Dates, MergeDateKeepsTheEarliest)
{
    const DateCase cases[] = {
        {"2012-05-20T10:00:00Z", "2011", "2011"},
        {"2015", "2016-05-01", "2015"},
        {"2012", "", "2012"},
        {"", "2013-01-01", "2013-01-01"},
        {"2012-05", "2012-04-01", "2012-04-01"},
        {"2010-01-01T12:00", "2011-02-02", "2010-01-01T12:00"},
        {"2011-02-02", "2010-01-01T12:00", "2010-01-01T12:00"},
        {"abc", "2010-03-04T05:06", "2010-03-04"},
        {"2010-03-04", "2010-03-02", "2010-03-02"},
        {"2010-03-02", "2010-03-02T09:00", "2010-03-02"},
        {"x", "y", ""},
    };
    for (const DateCase& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " | " + c.b);
        EXPECT_EQ(MergeDate(c.a, c.b), c.merged);
    }
}

TEST(Dates, MergeDateTimeAddsOneDatePublication)
{
    CIntermediateBook book;
    book.AddValue("date", "2010-01-01");
    book.AddValue("title", "T");
    book.MergeDateTime();
    EXPECT_EQ(book.m_MetaData["date"], std::vector<std::string>{"2010-01-01"});
    EXPECT_EQ(book.m_MetaData["date_publication"], std::vector<std::string>{"2010-01-01"});

    CIntermediateBook noDates;
    noDates.AddValue("title", "T");
    noDates.MergeDateTime();
    EXPECT_EQ(noDates.m_MetaData["date_publication"], std::vector<std::string>{""});

    CIntermediateBook empty;
    empty.MergeDateTime();
    EXPECT_TRUE(empty.m_MetaData.empty());

    book.RemoveDateKeys();
    EXPECT_EQ(book.m_MetaData.size(), 1u);
}

TEST(BookModel, PrepareForOutputFindsTheCoverByIndex)
{
    CIntermediateBook book;
    book.m_ResourceList = {"Image00002.jpg", "Image00012.png", "Image00120.jpg"};
    book.m_CoverImageIndex = 12;
    book.AddValue("MOBI_ID_00000201", "x");
    book.PrepareForOutput();
    EXPECT_EQ(book.m_CoverImageName, "Image00012.png");
    EXPECT_EQ(book.m_MetaData["coverimage"], std::vector<std::string>{"Image00012.png"});
    EXPECT_EQ(book.m_MetaData.count("MOBI_ID_00000201"), 0u);
}

TEST(BookModel, BookDirectoryNeedsBothFlags)
{
    CIntermediateBook book;
    book.m_ContentDirectory = "OEBPS/";
    EXPECT_EQ(book.BookDirectory("/t/"), "/t/");
    book.m_PackageInSubdirectory = true;
    EXPECT_EQ(book.BookDirectory("/t/"), "/t/OEBPS/");
    book.m_RelativeToContentDirectory = false;
    EXPECT_EQ(book.BookDirectory("/t/"), "/t/");
}

TEST(BookModel, RebaseStripsDotsAndPrefixesTheContentDirectory)
{
    CIntermediateBook book;
    book.m_ContentDirectory = "OEBPS/";
    book.m_HtmlFileList = {"./././text/a.html", "../cover.html", "b.html", "../../out.html"};
    book.m_ResourceList = {"../images/cover.jpg", "./css/s.css"};
    book.RebaseOntoTempDirectory();
    EXPECT_EQ(book.m_HtmlFileList,
              (std::vector<std::string>{"OEBPS/text/a.html", "cover.html", "OEBPS/b.html", "../../out.html"}))
        << "a name above the book stays as written, for the reader to leave out";
    EXPECT_EQ(book.m_ResourceList, (std::vector<std::string>{"images/cover.jpg", "OEBPS/css/s.css"}));
    EXPECT_FALSE(book.m_RelativeToContentDirectory);
}

TEST(BookModel, ResetKeepsCoverNameAndSpareText)
{
    CIntermediateBook book;
    book.m_CoverImageName = "c.jpg";
    book.m_SpareText = "folder/";
    book.m_CoverPageName = "cover.html";
    book.m_HtmlFileList = {"a"};
    book.m_RelativeToContentDirectory = false;
    book.Reset();
    EXPECT_EQ(book.m_CoverImageName, "c.jpg");
    EXPECT_EQ(book.m_SpareText, "folder/");
    EXPECT_TRUE(book.m_CoverPageName.empty());
    EXPECT_TRUE(book.m_HtmlFileList.empty());
    EXPECT_TRUE(book.m_RelativeToContentDirectory);
}

} // namespace

namespace
{

struct PlayOrderCase {
    const char* label;
    std::vector<std::pair<int32_t, const char*>> points; // parent, target
    std::vector<std::string> orders;
};

TEST(IntermediateBook, AssignPlayOrderFollowsReadingOrderAndSharesTargets)
{
    const PlayOrderCase cases[] = {
        {"index lists roots before children", {{-1, "a"}, {-1, "c"}, {0, "b"}}, {"1", "3", "2"}},
        {"same target, same number", {{-1, "a"}, {0, "b"}, {-1, "a"}}, {"1", "2", "1"}},
        {"a parent cycle still numbers everything", {{1, "a"}, {0, "b"}}, {"1", "2"}},
    };
    for (const PlayOrderCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<NavPoint> points;
        for (const auto& [parent, target] : c.points) {
            NavPoint p;
            p.m_Parent = parent;
            p.m_Src = target;
            points.push_back(p);
        }
        AssignPlayOrder(points);
        for (size_t i = 0; i < points.size(); ++i)
            EXPECT_EQ(points[i].m_PlayOrder, c.orders[i]) << i;
    }
}

} // namespace
