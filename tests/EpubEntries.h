// Reading back an EPUB the program wrote: its entries, and what epubcheck says of it.
#pragma once

#include "TestSupport.h"
#include "base/Files.h"
#include "base/Zip.h"

#include <algorithm>
#include <map>
#include <string>

// Every entry of an archive by name; empty when it cannot be listed.
inline std::map<std::string, std::string> ArchiveEntries(const std::string& path)
{
    std::map<std::string, std::string> entries;
    CZip zip;
    if (zip.Open(path, false, false) != RC_OK || zip.ReadDirectory() != RC_OK) return entries;
    for (const ZipEntry& e : zip.m_Entries)
        zip.GetFileBuffer(e.m_Name, entries[e.m_Name]);
    return entries;
}

constexpr const char* EPUBCHECK_JAR = "/usr/share/java/epubcheck.jar";

inline bool EpubcheckInstalled()
{
    return FileExists(EPUBCHECK_JAR) && FileExists("/usr/bin/java");
}

// epubcheck's ERROR and FATAL lines; empty when there are none.
inline std::string EpubcheckErrors(const std::string& epub)
{
    const std::string report = RunProgramCapture("/usr/bin/java", {"-jar", EPUBCHECK_JAR, epub}, "").out;
    std::string errors;
    for (size_t at = 0; at < report.size();) {
        const size_t end = std::min(report.find('\n', at), report.size());
        if (report.compare(at, 5, "ERROR") == 0 || report.compare(at, 5, "FATAL") == 0)
            errors += report.substr(at, end - at + 1);
        at = end + 1;
    }
    return errors;
}
