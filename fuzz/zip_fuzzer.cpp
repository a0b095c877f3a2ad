// Lists an arbitrary archive, extracts it into a scratch folder nested a few levels deep and rewrites
// it as an EPUB; any other file that appears outside that folder was written where no entry may go.
#include "base/Zip.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace
{

const fs::path& Base()
{
    static const fs::path base = [] {
        char pattern[] = "/tmp/zip-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) std::abort();
        return fs::path(made);
    }();
    return base;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fs::path& base = Base();
    const fs::path work = base / "1/2/3/4/5/6/7/8/work";
    std::error_code ec;
    fs::create_directories(work, ec);
    const std::string input = (base / "in.zip").string();
    if (WriteWholeFile(input, std::string(reinterpret_cast<const char*>(data), size)) != RC_OK) std::abort();

    CZip zip;
    zip.m_MaxEntrySize = size_t(16) << 20;
    zip.m_WorkingDirectory = work.string() + "/";
    if (zip.Open(input, false, false) != RC_OK) std::abort();
    zip.ReadDirectory(); // a failed listing keeps what it found, which is extracted all the same
    zip.UnCompress();
    std::string bytes;
    if (!zip.m_Entries.empty()) {
        zip.GetFileBuffer(zip.m_Entries.front().m_Name, bytes);
        zip.GetFilePrefix(zip.m_Entries.back().m_Name, 4096, bytes);
    }

    // The same archive rewritten as "s" does, entries copied as they are packed.
    const std::string rewritten = (base / "out.epub").string();
    CZip copy;
    copy.m_MaxEntrySize = size_t(16) << 20;
    if (copy.Open(input, false, false) != RC_OK) std::abort();
    copy.ReadDirectory();
    copy.RewriteEpub(rewritten);

    const std::string inside = work.string() + "/";
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(base)) {
        const std::string path = e.path().string();
        const bool onTheWay = e.is_directory() && inside.compare(0, path.size() + 1, path + "/") == 0;
        if (path.compare(0, inside.size(), inside) != 0 && !onTheWay && path != input && path != rewritten) {
            std::fprintf(stderr, "written outside the working directory: %s\n", path.c_str());
            std::abort();
        }
    }
    // libFuzzer ends without running exit handlers, so nothing is left for one to clean.
    fs::remove_all(base, ec);
    return 0;
}
