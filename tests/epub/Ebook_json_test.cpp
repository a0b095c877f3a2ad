#include "epub/Ebook_json.h"

#include "base/Files.h"
#include "base/IntermediateBook.h"
#include "base/Text.h"

#include "TestSupport.h"

#include <json/json.h>

#include <memory>

namespace
{

bool ParseJson(const std::string& text, Json::Value& root)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
}

struct IndexCase {
    const char* label;
    std::vector<std::string> paths;
    const char* listText; // the bytes between "[" and "]"
};

TEST(JsonHandler, IndexQuotesEveryPathSoAParserReadsItBack)
{
    const IndexCase cases[] = {
        {"no documents", {}, ""},
        {"two documents", {"out/a.html", "out/text/b.html"}, "\"out/a.html\",\"out/text/b.html\""},
        {"quote and backslash", {"a\"b\\c.html"}, "\"a\\\"b\\\\c.html\""},
        {"control bytes", {std::string("t\tn\nx\x01.html")}, "\"t\\tn\\nx\\u0001.html\""},
        {"non-ASCII kept", {"章/一.html"}, "\"章/一.html\""},
    };
    CIntermediateBook book;
    book.SetValue("title", "Tom \"&\" Jerry\\");
    book.SetValue("creator", "Ann");
    std::string metadata;
    book.ToJson(metadata);
    for (const IndexCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string index = BuildJsonIndex(metadata, c.paths);
        EXPECT_NE(index.find(std::string(",\"HtmlList\":[") + c.listText + "]}"), std::string::npos) << index;
        Json::Value root;
        ASSERT_TRUE(ParseJson(index, root)) << index;
        ASSERT_TRUE(root["MetaData"].isString());
        EXPECT_EQ(root["MetaData"].asString(), metadata);
        ASSERT_TRUE(root["HtmlList"].isArray());
        ASSERT_EQ(root["HtmlList"].size(), c.paths.size());
        for (Json::ArrayIndex i = 0; i < root["HtmlList"].size(); ++i)
            EXPECT_EQ(root["HtmlList"][i].asString(), c.paths[i]);
        CIntermediateBook again;
        ASSERT_EQ(again.FromJson(root["MetaData"].asString()), RC_OK);
        std::string title;
        again.GetValue("title", title);
        EXPECT_EQ(title, "Tom \"&\" Jerry\\");
    }
}

TEST(TarvoCmdJson, IndexOfARealBookNamesFilesThatOpen)
{
    ScratchDir scratch;
    CommandRun run =
        RunTarvoCmd({"c", DataPath("epub/qs-eng.epub"), "js/dir/book.json", "T"}, scratch.Path());
    ASSERT_TRUE(EndsWith(run.out, "succeed\nreturn 0\n")) << run.out;
    const std::string index = ReadWholeFile(scratch / "js/dir/book.json");
    EXPECT_EQ(index.find('\n'), std::string::npos) << "one line";
    Json::Value root;
    ASSERT_TRUE(ParseJson(index, root));
    ASSERT_EQ(root["HtmlList"].size(), 14u);
    for (const Json::Value& path : root["HtmlList"]) {
        ASSERT_TRUE(path.isString());
        EXPECT_TRUE(StartsWith(path.asString(), "js/dir/book_json_files/")) << path.asString();
        EXPECT_FALSE(ReadWholeFile(scratch / path.asString()).empty()) << path.asString();
    }
    EXPECT_TRUE(FileExists(scratch / "js/dir/book_json_files/content.opf"));
    // An independent parser reads the same index.
    CommandRun python = RunProgramCapture(
        "/usr/bin/python3",
        {"-c",
         "import json,sys; d=json.load(open(sys.argv[1])); m=json.loads(d['MetaData']); print(m['title'])",
         scratch / "js/dir/book.json"},
        "");
    EXPECT_EQ(python.out, "Quick Start Guide\n");
}

} // namespace
