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
    };
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(StyleSheetUrls(c.css), c.urls);
    }
}

} // namespace
