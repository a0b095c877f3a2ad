// Parse-and-print of a 2 MB XHTML chapter, and the ampersand repair over the printed text.
// "html_bench --dump=PATH" also writes the chapter to PATH, to time other tools on the same file.
#include "ebook/HtmlParse.h"

#include "base/Files.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

namespace
{

const std::string& Chapter()
{
    static const std::string chapter = [] {
        std::string text =
            "<?xml version='1.0' encoding='utf-8'?>\n<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" "
            "\"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">\n<html xmlns=\"http://www.w3.org/1999/xhtml\">"
            "<head><title>Chapter</title><link rel=\"stylesheet\" href=\"../styles/book.css\" "
            "type=\"text/css\"/></head>\n<body>\n";
        for (int n = 0; text.size() < (2u << 20); ++n) {
            if (n % 40 == 0) text += "<h2 class=\"chapter\">Part " + std::to_string(n / 40) + "</h2>\n";
            if (n % 97 == 0)
                text += "<div class=\"figure\"><img src=\"../images/fig" + std::to_string(n) +
                        ".png\" alt=\"Figure\"/></div>\n";
            text +=
                "<p class=\"body\">It was the <i>best</i> of times, it was the worst of times &#8212; the "
                "age of "
                "wisdom &amp; of foolishness, <a href=\"notes.html#n" +
                std::to_string(n) +
                "\">note</a>, the epoch of belief &lt;and&gt; of incredulity, the season of <b>Light</b>, "
                "the season of Darkness.&#160;It was the spring of hope.</p>\n";
        }
        return text + "</body>\n</html>\n";
    }();
    return chapter;
}

void ParseAndPrint(benchmark::State& state)
{
    const std::string& chapter = Chapter();
    for (auto _ : state) {
        CHtmlParse parse;
        if (parse.Init(chapter) != RC_OK) state.SkipWithError("Init failed");
        std::string out;
        parse.PrintDocument(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(chapter.size()));
}
BENCHMARK(ParseAndPrint)->Unit(benchmark::kMillisecond);

void NakedAmpersand(benchmark::State& state)
{
    CHtmlParse parse;
    parse.Init(Chapter());
    std::string printed;
    parse.PrintDocument(printed);
    for (auto _ : state) {
        std::string text = printed;
        benchmark::DoNotOptimize(HandleNakedAmpersand(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(printed.size()));
}
BENCHMARK(NakedAmpersand)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--dump=", 7) == 0) WriteWholeFile(argv[i] + 7, Chapter());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
