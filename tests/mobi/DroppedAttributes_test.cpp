#include "mobi/DroppedAttributes.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct DropCase {
    const char* label;
    std::string text;
    std::string expected;
};

TEST(DroppedAttributes, AidsGoOnlyWhereThatIsSafe)
{
    const std::string cut = "<p class=\"c\">x</p>";
    const DropCase cases[] = {
        {"after another attribute", "<p class=\"c\" aid=\"0A\">x</p>", cut},
        {"before another attribute, single quotes, blanks around =", "<p aid = '0A'\nclass=\"c\">x</p>",
         "<p\nclass=\"c\">x</p>"},
        {"in a self-closed tag", "<img src=\"a.jpg\" aid=\"1\"/>", "<img src=\"a.jpg\"/>"},
        {"after the declarations",
         "<?xml version='1.0' encoding='utf-8'?><!DOCTYPE html><html class=\"h\" aid=\"0\">",
         "<?xml version='1.0' encoding='utf-8'?><!DOCTYPE html><html class=\"h\">"},
        {"past a comment, a lone < and a style sheet",
         "<!-- <p aid=\"1\"> -->a < b<style>p{}</style><p class=\"c\" aid=\"2\">x</p>",
         "<!-- <p aid=\"1\"> -->a < b<style>p{}</style>" + cut},
        // The library may prune an empty element that has no attribute at all.
        {"alone on its element", "<div aid=\"1\"></div>", "<div aid=\"1\"></div>"},
        {"unquoted, upper case or another name", "<p class=\"c\" aid=1 AID=\"2\" data-aid=\"3\" aidx=\"4\">",
         "<p class=\"c\" aid=1 AID=\"2\" data-aid=\"3\" aidx=\"4\">"},
        // Markup inside script text or a value with "<" or ">" could be read two ways: the rest of
        // the file is left as it stands.
        {"after script text holding markup",
         "<script>s='<p class=\"c\" aid=\"1\">'</script><p class=\"c\" aid=\"2\">x</p>",
         "<script>s='<p class=\"c\" aid=\"1\">'</script><p class=\"c\" aid=\"2\">x</p>"},
        {"after a value holding >", "<p title=\"a>b\" aid=\"1\"><p class=\"c\" aid=\"2\">",
         "<p title=\"a>b\" aid=\"1\"><p class=\"c\" aid=\"2\">"},
        {"after an unclosed comment", "<!-- <p class=\"c\" aid=\"1\">", "<!-- <p class=\"c\" aid=\"1\">"},
        {"in a tag cut off by the end", "<p class=\"c\" aid=\"1\"", "<p class=\"c\" aid=\"1\""},
    };
    for (const DropCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(WithoutAidAttributes(c.text, 0, c.text.size()), c.expected);
        // Only the range is read, and a range past the text is cut to it.
        std::string framed = "<p class=\"c\" aid=\"9\">" + c.text + "<p class=\"c\" aid=\"9\">";
        EXPECT_EQ(WithoutAidAttributes(framed, 21, 21 + c.text.size()), c.expected);
        EXPECT_EQ(WithoutAidAttributes(c.text, 0, c.text.size() + 100), c.expected);
    }
}

TEST(DroppedAttributes, ZeroLengthsGoFromBlocksOnly)
{
    const DropCase cases[] = {
        {"zero width beside a height that counts", "<p height=\"1em\" width=\"0pt\">x</p>",
         "<p height=\"1em\">x</p>"},
        {"both, beside a list number, any case and unit",
         "<li value=\"2\" HEIGHT=\"0\" Width='-0.0em'>x</li>", "<li value=\"2\">x</li>"},
        {"an image keeps its size", "<img src=\"a.jpg\" width=\"0\"/>", "<img src=\"a.jpg\" width=\"0\"/>"},
        {"lengths that show something", "<p height=\"0.5em\" width=\"10\" title=\"t\">",
         "<p height=\"0.5em\" width=\"10\" title=\"t\">"},
        {"alone on its element", "<blockquote width=\"0pt\"><p></p></blockquote>",
         "<blockquote width=\"0pt\"><p></p></blockquote>"},
        // The parser keeps one of two values of a name, and which one is its own choice.
        {"a name given twice", "<p width=\"0pt\" WIDTH=\"2em\" title=\"t\">",
         "<p width=\"0pt\" WIDTH=\"2em\" title=\"t\">"},
        {"unquoted or written as a reference", "<p width=0 height=\"&#48;\" title=\"t\">",
         "<p width=0 height=\"&#48;\" title=\"t\">"},
    };
    for (const DropCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(WithoutZeroLengths(c.text, 0, c.text.size()), c.expected);
    }
}

} // namespace
