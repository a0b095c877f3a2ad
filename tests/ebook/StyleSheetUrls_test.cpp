#include "ebook/StyleSheetUrls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

struct UrlCase {
    const char* label;
    const char* css;
    std::vector<std::string> urls;
};

TEST(StyleSheetUrls, FindsEveryFileASheetNames)
{
    const UrlCase cases[] = {
        {"bare, quoted and blank-padded",
         "a{background:url(a.png)} b{background:url( \"b c.png\" )} c{src:url('c.ttf') format('truetype')}",
         {"a.png", "b c.png", "c.ttf"}},
        {"upper-case function, several in one declaration",
         "x{src:URL(f.woff),url(g.otf)}",
         {"f.woff", "g.otf"}},
        {"@import by string and by url",
         "@import \"one.css\";@import url(two.css) screen;@IMPORT 'three.css';",
         {"one.css", "two.css", "three.css"}},
        {"comments hide what they hold",
         "/* url(no.png) @import \"no.css\"; */a{background:url(yes.png)}",
         {"yes.png"}},
        {"a function that only ends in url", "a{mask:myurl(no.png);b:x-url(no.png)}", {}},
        {"empty values", "a{background:url()} b{background:url(\"\")}", {}},
        {"quoted value with a bracket", "a{background:url(\"x).png\")}", {"x).png"}},
        {"left open at the end", "a{background:url(open.png", {"open.png"}},
        {"comment left open", "a{background:url(a.png)} /* url(b.png)", {"a.png"}},
        {"a value begun in a comment ends with it",
         "/* url(no.png */ a{background:url(yes.png)}",
         {"yes.png"}},
    };
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(StyleSheetUrls(c.css), c.urls);
    }
}

struct SpanCase {
    const char* label;
    const char* css;
    const char* written; // the reference's span
    const char* value;
    char quote;
    bool import, closed, inComment;
};

// Writers replace a reference by its span, so each span must cover the value as written, no more.
TEST(StyleSheetUrls, ReferencesCoverTheirValuesAsWritten)
{
    const SpanCase cases[] = {
        {"bare, blank-padded", "a{background:url( a.png )}", " a.png ", "a.png", 0, false, true, false},
        {"quoted, to the bracket", "a{src:url( 'b.ttf' ) format('x')}", " 'b.ttf' ", "b.ttf", '\'', false,
         true, false},
        {"@import string keeps its quotes", "@import \"c.css\" screen;", "\"c.css\"", "c.css", '"', true,
         true, false},
        {"inside a comment, ended by it", "/* url(d.png */ x{}", "d.png ", "d.png", 0, false, false, true},
        {"bracket in a bare value", "a{background:url(e(1).png)}", "e(1", "e(1", 0, false, true, false},
        {"left open at the end", "a{background:url(\"f.png", "\"f.png", "f.png", '"', false, false, false},
    };
    for (const SpanCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string css = c.css;
        const std::vector<StyleSheetReference> references = StyleSheetReferences(css);
        ASSERT_FALSE(references.empty());
        const StyleSheetReference& r = references.front();
        EXPECT_EQ(css.substr(r.m_Offset, r.m_Length), c.written);
        EXPECT_EQ(r.m_Value, c.value);
        EXPECT_EQ(r.m_Quote, c.quote);
        EXPECT_EQ(r.m_Import, c.import);
        EXPECT_EQ(r.m_Closed, c.closed);
        EXPECT_EQ(r.m_InComment, c.inComment);
    }
}

} // namespace
