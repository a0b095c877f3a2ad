// HTML output of real books: the start page at the path asked for, the book's other files in one
// folder beside it, and every local link of every written page naming a written file.
#include "base/Files.h"
#include "base/Folders.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "ebook/HtmlParse.h"

#include "TestSupport.h"

#include <filesystem>
#include <set>

namespace
{

namespace fs = std::filesystem;

std::set<std::string> NamesIn(const std::string& folder)
{
    std::set<std::string> names;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error))
        names.insert(entry.path().filename().string());
    return names;
}

// The quoted values of href, src and xlink:href attributes, found by plain text search.
std::vector<std::string> LinkValues(const std::string& page)
{
    std::vector<std::string> values;
    for (const char* attribute : {"href=", "src=", "xlink:href="}) {
        const std::string name = attribute;
        for (size_t at = page.find(name); at != std::string::npos; at = page.find(name, at + 1)) {
            const size_t quoteAt = at + name.size();
            if (at == 0 || !std::isspace(static_cast<unsigned char>(page[at - 1])) || quoteAt >= page.size())
                continue;
            const char quote = page[quoteAt];
            const size_t end = page.find(quote, quoteAt + 1);
            if ((quote == '"' || quote == '\'') && end != std::string::npos)
                values.push_back(page.substr(quoteAt + 1, end - quoteAt - 1));
        }
    }
    return values;
}

bool IsLocal(const std::string& path)
{
    return !path.empty() && path[0] != '/' && path.find(':') == std::string::npos;
}

// Every local link of every page under root that names no file inside root, as "page -> link".
std::vector<std::string> BrokenLinks(const std::string& root)
{
    std::vector<std::string> broken;
    const fs::path top = fs::canonical(root);
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(top)) {
        const std::string extension = ToLowerCopy(entry.path().extension().string());
        if (extension != ".html" && extension != ".xhtml" && extension != ".htm") continue;
        for (const std::string& value : LinkValues(ReadWholeFile(entry.path().string()))) {
            const std::string path = DecodeEntities(value.substr(0, value.find_first_of("?#")));
            if (!IsLocal(path)) continue;
            std::error_code error;
            const fs::path target = fs::weakly_canonical(entry.path().parent_path() / UrlDecode(path), error);
            const bool inside = !error && target.string().rfind(top.string() + "/", 0) == 0;
            if (!inside || !fs::is_regular_file(target))
                broken.push_back(fs::relative(entry.path(), top).string() + " -> " + value);
        }
    }
    return broken;
}

struct HtmlOutputCase {
    const char* label;
    const char* fixture;
    const char* output;       // relative to the working folder
    const char* outputFolder; // the folder that must hold only the page and its files folder
    const char* filesFolder;  // empty when the book has nothing but one page
};

const HtmlOutputCase kHtmlOutputCases[] = {
    {"pages kept in text/", "epub/qs-eng.epub", "h/out.html", "h", "out_files"},
    {"into the working folder", "epub/qs-eng.epub", "out.html", ".", "out_files"},
    {"navigation page outside the spine", "epub/policy.epub", "p/policy.htm", "p", "policy_files"},
    {"Japanese pages", "epub/lm-ja.epub", "ja/book.xhtml", "ja", "book_files"},
    {"name with blanks and marks", "html/qs-eng/index.html", "s/My #1 book.html", "s", "My #1 book_files"},
    {"Kindle book", "mobi/qs-eng-kf8.azw3", "k/deep/er/k.html", "k/deep/er", "k_files"},
    {"plain text, one page", "text/en-utf8.txt", "t/plain.htm", "t", ""},
};

TEST(TarvoCmdHtmlOutput, StartPageAtTheOutputPathAndEveryLinkResolves)
{
    for (const HtmlOutputCase& c : kHtmlOutputCases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(MakePath(scratch / "cwd/"), RC_OK);
        const std::string cwd = scratch / "cwd/";
        CommandRun run = RunTarvoCmd({"c", DataPath(c.fixture), c.output, scratch / "work/T"}, cwd);
        EXPECT_TRUE(EndsWith(run.out, "succeed\nreturn 0\n")) << run.out;
        EXPECT_TRUE(fs::is_regular_file(cwd + c.output)) << "the start page is the output path";

        std::set<std::string> expected = {GetFileName(c.output)};
        if (*c.filesFolder != '\0') expected.insert(c.filesFolder);
        EXPECT_EQ(NamesIn(cwd + c.outputFolder), expected) << "nothing spread among the user's files";
        EXPECT_EQ(BrokenLinks(cwd + c.outputFolder), std::vector<std::string>());
    }
}

TEST(TarvoCmdHtmlOutput, PagesLinkBackToTheRenamedStartPage)
{
    ScratchDir scratch;
    CommandRun run = RunTarvoCmd({"c", DataPath("epub/policy.epub"), scratch / "p/out.html", scratch / "T"});
    ASSERT_TRUE(EndsWith(run.out, "succeed\nreturn 0\n")) << run.out;
    const std::string nav = ReadWholeFile(scratch / "p/out_files/nav.xhtml");
    EXPECT_NE(nav.find("href=\"../out.html\""), std::string::npos)
        << "the spine's first page was index.xhtml";
    EXPECT_EQ(nav.find("href=\"index.xhtml"), std::string::npos);
    EXPECT_NE(ReadWholeFile(scratch / "p/out.html").find("href=\"out_files/"), std::string::npos);
}

} // namespace
