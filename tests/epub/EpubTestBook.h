// Small EPUB archives written by the tests themselves.
#pragma once

#include "base/Zip.h"

#include <string>
#include <utility>
#include <vector>

using ArchiveFiles = std::vector<std::pair<std::string, std::string>>;

inline const char* TestContainer()
{
    return "<?xml version=\"1.0\"?><container version=\"1.0\" "
           "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><rootfiles>"
           "<rootfile full-path=\"OEBPS/content.opf\" media-type=\"application/oebps-package+xml\"/>"
           "</rootfiles></container>";
}

// A package with the given documents (spine order) and images.
inline std::string TestOpf(const std::vector<std::string>& documents,
                           const std::vector<std::string>& images = {})
{
    std::string manifest, spine;
    int n = 0;
    for (const std::string& d : documents) {
        std::string id = "d" + std::to_string(++n);
        manifest += "<item id=\"" + id + "\" href=\"" + d + "\" media-type=\"application/xhtml+xml\"/>";
        spine += "<itemref idref=\"" + id + "\"/>";
    }
    for (const std::string& i : images)
        manifest +=
            "<item id=\"i" + std::to_string(++n) + "\" href=\"" + i + "\" media-type=\"image/jpeg\"/>";
    return "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"2.0\" "
           "unique-identifier=\"id\"><metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
           "<dc:title>Test</dc:title><dc:identifier id=\"id\">x</dc:identifier></metadata><manifest>" +
           manifest + "</manifest><spine>" + spine + "</spine></package>";
}

inline bool WriteTestArchive(const std::string& path, const ArchiveFiles& files)
{
    CZip zip;
    for (const auto& [name, data] : files)
        zip.AddFile(name, data);
    if (!zip.m_Entries.empty() && zip.m_Entries.front().m_Name == "mimetype")
        zip.m_Entries.front().m_Method = 0;
    return zip.WriteArchive(path, zip.m_Entries, false, false) == RC_OK;
}

inline std::string Markup(const std::string& body)
{
    return "<?xml version=\"1.0\"?><html "
           "xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>t</title></head><body>" +
           body + "</body></html>";
}

inline std::string Noise(size_t size)
{
    std::string bytes;
    uint32_t state = 12345;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes += static_cast<char>('A' + (state >> 16) % 26);
    }
    return bytes;
}
