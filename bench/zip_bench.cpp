// Extraction and writing of a book-sized archive (about 20 MB, a few hundred files) against the
// standard unzip and zip tools on the same files, with the ratios printed at the end.
// Run: cmake -S . -B build -DTARVO_BENCH=ON && cmake --build build --target zip_bench &&
// build/bench/zip_bench
#include "base/Folders.h"
#include "base/Zip.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

struct Corpus {
    std::string root;    // ends with "/"
    std::string source;  // the files, ends with "/"
    std::string archive; // the files zipped by the standard tool at level 9
    std::vector<std::string> names;
};

void Run(const std::string& command)
{
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// Chapters of word-like text (compressing about 3:1, as book text does) and incompressible images.
Corpus MakeCorpus()
{
    Corpus c;
    char pattern[] = "/tmp/zip-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::exit(1);
    c.root = std::string(pattern) + "/";
    c.source = c.root + "book/";
    MakePath(c.source + "OEBPS/Text/");
    MakePath(c.source + "OEBPS/Images/");
    std::mt19937 rng(42);
    std::vector<std::string> words;
    for (int i = 0; i < 4000; ++i) {
        std::string w;
        for (size_t n = 2 + rng() % 9; n > 0; --n)
            w += static_cast<char>('a' + rng() % 26);
        words.push_back(w);
    }
    c.names.push_back("mimetype");
    WriteWholeFile(c.source + "mimetype", "application/epub+zip");
    for (int i = 0; i < 220; ++i) {
        std::string text = "<html><body>\n";
        while (text.size() < 50000) {
            text += "<p>";
            for (int w = 0; w < 60; ++w)
                text += words[(rng() % 200) * (rng() % 20)] + ' ';
            text += "</p>\n";
        }
        const std::string name = "OEBPS/Text/ch" + std::to_string(i) + ".xhtml";
        WriteWholeFile(c.source + name, text + "</body></html>\n");
        c.names.push_back(name);
    }
    for (int i = 0; i < 90; ++i) {
        std::string image(170000 + rng() % 20000, '\0');
        for (char& b : image)
            b = static_cast<char>(rng());
        const std::string name = "OEBPS/Images/img" + std::to_string(i) + ".jpg";
        WriteWholeFile(c.source + name, image);
        c.names.push_back(name);
    }
    c.archive = c.root + "book.zip";
    Run("cd '" + c.source + "' && zip -9 -q -r '" + c.archive + "' .");
    return c;
}

const Corpus& TheCorpus()
{
    static const Corpus corpus = MakeCorpus();
    return corpus;
}

void FreshFolder(const std::string& path)
{
    Run("rm -rf '" + path + "' && mkdir -p '" + path + "'");
}

void ExtractOurs(benchmark::State& state)
{
    const Corpus& c = TheCorpus();
    const std::string out = c.root + "ours/";
    for (auto _ : state) {
        state.PauseTiming();
        FreshFolder(out);
        state.ResumeTiming();
        CZip zip;
        zip.m_WorkingDirectory = out;
        if (zip.Open(c.archive, false, false) != RC_OK || zip.ReadDirectory() != RC_OK ||
            zip.UnCompress() != RC_OK)
            state.SkipWithError("extraction failed");
    }
}

void ExtractUnzip(benchmark::State& state)
{
    const Corpus& c = TheCorpus();
    const std::string out = c.root + "unzip/";
    for (auto _ : state) {
        state.PauseTiming();
        FreshFolder(out);
        state.ResumeTiming();
        Run("unzip -q -o '" + c.archive + "' -d '" + out + "'");
    }
}

void WriteOurs(benchmark::State& state)
{
    const Corpus& c = TheCorpus();
    const std::string out = c.root + "ours.zip";
    for (auto _ : state) {
        CZip zip;
        for (const std::string& name : c.names) {
            std::string data;
            ReadFileBytes(c.source + name, data);
            zip.AddFile(name, data);
        }
        zip.m_Entries[0].m_Method = 0;
        if (zip.WriteArchive(out, std::move(zip.m_Entries), false, false) != RC_OK)
            state.SkipWithError("writing failed");
    }
}

void WriteZip(benchmark::State& state)
{
    const Corpus& c = TheCorpus();
    const std::string out = c.root + "zip.zip";
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(out.c_str()); // zip would otherwise update the archive
        state.ResumeTiming();
        Run("cd '" + c.source + "' && zip -9 -q -r '" + out + "' .");
    }
}

BENCHMARK(ExtractOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(ExtractUnzip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(WriteOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(WriteZip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Keeps each benchmark's time per iteration so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter
{
  public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            m_Times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    double Ratio(const std::string& ours, const std::string& theirs) const
    {
        auto a = m_Times.find(ours), b = m_Times.find(theirs);
        return a == m_Times.end() || b == m_Times.end() || b->second == 0 ? 0 : a->second / b->second;
    }

  private:
    std::map<std::string, double> m_Times;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const Corpus& c = TheCorpus();
    std::string archive;
    ReadFileBytes(c.archive, archive);
    std::printf("archive: %zu files, %.1f MB\n", c.names.size(), archive.size() / 1e6);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf(
        "read  ratio (CZip extract / unzip -q):      %.2f\n",
        reporter.Ratio("ExtractOurs/iterations:10/real_time", "ExtractUnzip/iterations:10/real_time"));
    std::printf("write ratio (CZip write / zip -9 -q -r):    %.2f\n",
                reporter.Ratio("WriteOurs/iterations:3/real_time", "WriteZip/iterations:3/real_time"));
    Run("rm -rf '" + c.root + "'");
    benchmark::Shutdown();
    return 0;
}
