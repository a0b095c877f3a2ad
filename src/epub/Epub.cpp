// EPUB reading: the container, the package path and the DRM checks. Nothing is ever decrypted.
#include "epub/Epub.h"

#include "base/Images.h"
#include "base/Paths.h"
#include "base/RunLog.h"
#include "base/Text.h"
#include "epub/FontObfuscation.h"

#include <tinyxml2.h>

#include <unordered_set>

namespace
{

const tinyxml2::XMLElement* ChildNamedNoCase(const tinyxml2::XMLElement* parent, const char* name)
{
    if (parent == nullptr) return nullptr;
    for (const tinyxml2::XMLElement* c = parent->FirstChildElement(); c; c = c->NextSiblingElement())
        if (EqualsNoCase(c->Name(), name)) return c;
    return nullptr;
}

bool LooksLikeMarkup(const std::string& data)
{
    return data.find("<html") != std::string::npos || data.find("<body") != std::string::npos ||
           data.find("xml") != std::string::npos || data.find("<svg") != std::string::npos;
}

bool LooksLikeImage(const std::string& data)
{
    return !ImageTypeOf(data).empty();
}

// How much of a sampled file is read first.
constexpr size_t SAMPLE_PREFIX = 4096;

} // namespace

// All of a short list (up to 11), a third of a longer one, at most 50.
size_t DrmSampleLimit(size_t count)
{
    return count / 3 <= 3 ? count : std::min<size_t>(count / 3, 50);
}

std::string FindContainerRootfile(const std::string& containerXml)
{
    tinyxml2::XMLDocument doc;
    if (doc.Parse(containerXml.data(), containerXml.size()) != tinyxml2::XML_SUCCESS) return "";
    const tinyxml2::XMLElement* rootfile =
        ChildNamedNoCase(ChildNamedNoCase(doc.RootElement(), "rootfiles"), "rootfile");
    if (rootfile == nullptr) return "";
    for (const tinyxml2::XMLAttribute* a = rootfile->FirstAttribute(); a; a = a->Next())
        if (EqualsNoCase(a->Name(), "full-path")) return a->Value();
    return "";
}

CEpub::CEpub()
{
    m_KindleKeys = {{"cdetype", {}}, {"thumbimage", {}}, {"languageid", {}}};
}

void CEpub::RemoveKindleKeys(MetaDataMap& map) const
{
    for (const auto& entry : m_KindleKeys)
        map.erase(entry.first);
}

ResultCode CEpub::GetOpfXml(const std::string& path, std::string& opfText, std::string& opfPath)
{
    TARVO_LOG(m_ZipLog, LOG_INFO, "GetOpfXml INIT IN...");
    // A damaged archive is rebuilt as a copy in the working directory and read from there: the
    // user's file is never rewritten just to be read.
    const std::string repaired = m_WorkingDirectory + GetFileName(ToOsPath(path)) + ".repaired.epub";
    ResultCode rc = Open(path, false, false);
    if (rc != RC_OK) return FixEpub(repaired);
    rc = ReadDirectory();
    if (rc != RC_OK) {
        TARVO_LOG(m_ZipLog, LOG_WARNING, "archive is damaged, rebuilding it as \"%s\"", repaired.c_str());
        rc = FixEpub(repaired);
        if (rc != RC_OK) return rc;
    }
    TARVO_LOG(m_ZipLog, LOG_INFO, "GetOpfXml INIT OUT...");

    TARVO_LOG(m_ZipLog, LOG_INFO, "GetOpfXml DATA...");
    std::string container;
    TARVO_LOG(m_ZipLog, LOG_INFO, "GetFileBuffer IN...");
    rc = GetFileBuffer("META-INF/container.xml", container);
    TARVO_LOG(m_ZipLog, LOG_INFO, "GetFileBuffer OUT...");
    if (rc != RC_OK) return rc;
    m_OpfPath = FindContainerRootfile(container);
    // Without a usable rootfile the book cannot be read: treated like an unknown protection.
    if (m_OpfPath.empty()) return RC_DRM_UNKNOWN;
    opfPath = m_OpfPath;
    rc = GetFileBuffer(UrlDecode(m_OpfPath), opfText);
    TARVO_LOG(m_ZipLog, LOG_INFO, "GetOpfXml END...");
    return rc;
}

ResultCode CEpub::CheckDRM(const CIntermediateBook& book, const std::vector<std::string>& images,
                           bool relativeFlag1, bool relativeFlag2)
{
    // Encrypted data a sample may miss is still encrypted; obfuscated fonts are undone on reading.
    const EncryptionScope encryption = ReadEncryptionScope();
    if (encryption == EncryptionScope::More) return ClassifyProtection(encryption);

    const std::string base = relativeFlag1 && relativeFlag2 ? book.m_ContentDirectory : "";
    size_t documents = book.m_HtmlFileList.size(), imageCount = images.size();
    const size_t documentLimit = DrmSampleLimit(documents), imageLimit = DrmSampleLimit(imageCount);

    // A file's first bytes nearly always settle it; one that looks protected there is read whole
    // before the book is refused.
    auto sample = [this](const std::string& name, std::string& data, bool (*looksPlain)(const std::string&)) {
        ResultCode rc = GetFilePrefix(name, SAMPLE_PREFIX, data);
        if (rc == RC_OK && data.size() == SAMPLE_PREFIX && !looksPlain(data)) rc = GetFileBuffer(name, data);
        return rc == RC_OK && !data.empty();
    };
    for (size_t i = 0; i < book.m_HtmlFileList.size(); ++i) {
        std::string data;
        if (!sample(UrlDecode(base + book.m_HtmlFileList[i]), data, LooksLikeMarkup)) {
            --documents;
            continue;
        }
        if (data.size() >= 100 && !LooksLikeMarkup(data)) return ClassifyProtection(encryption);
        if (i > documentLimit) break;
    }
    for (size_t i = 0; i < images.size(); ++i) {
        std::string data;
        // Images are looked up where the documents are, so a damaged image is found too.
        if (!sample(UrlDecode(base + images[i]), data, LooksLikeImage)) {
            --imageCount;
            continue;
        }
        if (data.size() >= 20 && ImageTypeOf(data).empty()) return ClassifyProtection(encryption);
        if (i > imageLimit) break;
    }
    return documents > 0 || imageCount > 0 ? RC_OK : RC_HTML_LIST_EMPTY;
}

CEpub::EncryptionScope CEpub::ReadEncryptionScope()
{
    std::unordered_set<std::string> names;
    for (const ZipEntry& entry : m_Entries)
        names.insert(ToLowerCopy(entry.m_Name));
    if (names.count(ToLowerCopy(ENCRYPTION_XML)) == 0) return EncryptionScope::Absent;
    std::string xml;
    std::vector<EncryptedResource> resources;
    if (GetFileBuffer(ENCRYPTION_XML, xml) != RC_OK || !ReadEncryptionXml(xml, resources))
        return EncryptionScope::Unclear;
    size_t fonts = 0;
    for (const EncryptedResource& resource : resources) {
        const std::string path = ToLowerCopy(resource.m_Path);
        // What the archive lacks is encrypted nowhere.
        if (path.empty() || names.count(path) == 0) continue;
        auto type = m_MediaTypes.find(path);
        if (resource.m_Method == FontObfuscation::None ||
            !IsFontResource(path, type == m_MediaTypes.end() ? "" : type->second)) {
            TARVO_LOG(m_ZipLog, LOG_WARNING, "\"%s\" is encrypted", resource.m_Uri.c_str());
            return EncryptionScope::More;
        }
        ++fonts;
    }
    return fonts > 0 ? EncryptionScope::FontsOnly : EncryptionScope::Unclear;
}

ResultCode CEpub::ClassifyProtection(EncryptionScope encryptionScope)
{
    bool encryption = false, signatures = false, sinf = false, displayOptions = false, kobo = false;
    for (const ZipEntry& entry : m_Entries) {
        const std::string& name = entry.m_Name;
        if (EqualsNoCase(name, ENCRYPTION_XML))
            encryption = encryptionScope != EncryptionScope::FontsOnly;
        else if (EqualsNoCase(name, "META-INF/signatures.xml"))
            signatures = true;
        else if (EqualsNoCase(name, "META-INF/sinf.xml"))
            sinf = true;
        else if (EqualsNoCase(name, "META-INF/com.apple.ibooks.display-options.xml"))
            displayOptions = true;
        else if (name.find("rights.xml") != std::string::npos) {
            std::string rights;
            if (GetFileBuffer(name, rights) != RC_OK || rights.empty()) continue;
            size_t marker = rights.find("<encryptedKey");
            if (marker == std::string::npos) {
                marker = rights.find("<kdrm");
                if (marker != std::string::npos) kobo = true;
            }
            if (marker == std::string::npos) continue;
            size_t open = rights.find('>', marker);
            if (open == std::string::npos) continue;
            size_t close = rights.find("</encryptedKey>", open);
            if (close == std::string::npos) continue;
            size_t length = close - open - 1;
            if (length == 64) return RC_DRM_NOOK;
            if (length == 172) return RC_DRM_ADOBE;
        }
    }
    if (kobo) return RC_DRM_KOBO;
    if (encryption && ((signatures && sinf) || displayOptions)) return RC_DRM_IBOOKS;
    return RC_DRM_UNKNOWN;
}
