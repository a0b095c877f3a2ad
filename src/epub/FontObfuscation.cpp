#include "epub/FontObfuscation.h"

#include "base/Files.h"
#include "base/Href.h"
#include "base/Paths.h"
#include "base/RunLog.h"
#include "base/Sha1.h"
#include "base/Text.h"
#include "base/Zip.h"
#include "epub/ParseOpf.h"

#include <tinyxml2.h>

#include <algorithm>
#include <unordered_map>

namespace
{

const char* const IDPF_ALGORITHM = "http://www.idpf.org/2008/embedding";
const char* const ADOBE_ALGORITHM = "http://ns.adobe.com/pdf/enc#RC";
constexpr size_t IDPF_LENGTH = 1040;
constexpr size_t ADOBE_LENGTH = 1024;

const char* AttributeOf(const tinyxml2::XMLElement* element, const char* name)
{
    const char* value = element ? element->Attribute(name) : nullptr;
    return value ? value : "";
}

// XOR is its own inverse: the candidate key that turns the head into a font is the book's.
std::string KeyGivingAFont(FontObfuscation method, const std::string& head,
                           const std::vector<std::string>& identifiers)
{
    std::string fallback;
    for (const std::string& identifier : identifiers) {
        std::string key = ObfuscationKey(method, identifier);
        if (key.empty()) continue;
        if (fallback.empty()) fallback = key;
        std::string trial = head;
        XorHead(trial, key, ObfuscatedLength(method));
        if (HasFontSignature(trial)) return key;
    }
    return fallback;
}

} // namespace

FontObfuscation ObfuscationOf(const std::string& algorithm)
{
    if (algorithm == IDPF_ALGORITHM) return FontObfuscation::Idpf;
    if (algorithm == ADOBE_ALGORITHM) return FontObfuscation::Adobe;
    return FontObfuscation::None;
}

bool ReadEncryptionXml(const std::string& xml, std::vector<EncryptedResource>& resources)
{
    resources.clear();
    tinyxml2::XMLDocument doc;
    if (doc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS || doc.RootElement() == nullptr)
        return false;
    for (const tinyxml2::XMLElement* data = doc.RootElement()->FirstChildElement(); data;
         data = data->NextSiblingElement()) {
        if (LocalName(data->Name()) != "encrypteddata") continue;
        EncryptedResource resource;
        resource.m_Method =
            ObfuscationOf(AttributeOf(ChildByLocalName(data, "encryptionmethod"), "Algorithm"));
        resource.m_Uri =
            AttributeOf(ChildByLocalName(ChildByLocalName(data, "cipherdata"), "cipherreference"), "URI");
        resource.m_Path = ResolvedInBook("", PercentDecode(resource.m_Uri));
        resources.push_back(std::move(resource));
    }
    return true;
}

bool IsFontResource(const std::string& path, const std::string& mediaType)
{
    const std::string type = ToLowerCopy(mediaType);
    if (type.find("font") != std::string::npos || type.find("opentype") != std::string::npos) return true;
    std::string extension;
    if (!GetExtension(path, extension)) return false;
    for (const char* font : {"ttf", "otf", "ttc", "woff", "woff2"})
        if (extension == font) return true;
    return false;
}

bool HasFontSignature(const std::string& head)
{
    static const char* const SIGNATURES[] = {"OTTO", "true", "typ1", "ttcf", "wOFF", "wOF2"};
    if (head.size() < 4) return false;
    if (head.compare(0, 4, std::string("\x00\x01\x00\x00", 4)) == 0) return true;
    for (const char* signature : SIGNATURES)
        if (head.compare(0, 4, signature) == 0) return true;
    return false;
}

std::string ObfuscationKey(FontObfuscation method, const std::string& identifier)
{
    if (method == FontObfuscation::Idpf) {
        std::string compact;
        for (char c : identifier)
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') compact += c;
        return compact.empty() ? "" : Sha1(compact);
    }
    if (method != FontObfuscation::Adobe) return "";
    std::string digits = identifier;
    if (StartsWith(ToLowerCopy(digits), "urn:uuid:")) digits.erase(0, 9);
    std::string key;
    int high = -1;
    for (char c : digits) {
        if (c == '-') continue;
        int value = HexDigitValue(c);
        if (value < 0 || key.size() == 16) return "";
        if (high < 0) {
            high = value;
        } else {
            key += static_cast<char>(high * 16 + value);
            high = -1;
        }
    }
    return key.size() == 16 && high < 0 ? key : "";
}

size_t ObfuscatedLength(FontObfuscation method)
{
    return method == FontObfuscation::Idpf    ? IDPF_LENGTH
           : method == FontObfuscation::Adobe ? ADOBE_LENGTH
                                              : 0;
}

void XorHead(std::string& bytes, const std::string& key, size_t length)
{
    if (key.empty()) return;
    const size_t end = std::min(length, bytes.size());
    for (size_t i = 0; i < end; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ key[i % key.size()]);
}

void DeobfuscateFonts(CZip& zip, const std::vector<std::string>& identifiers, CRunLog* log)
{
    std::string xml;
    if (zip.GetFileBuffer(ENCRYPTION_XML, xml) != RC_OK) return;
    // Extracted files are named as the archive names them; encryption.xml may spell them in
    // another case.
    std::unordered_map<std::string, const ZipEntry*> entries;
    for (const ZipEntry& entry : zip.m_Entries)
        entries.emplace(ToLowerCopy(entry.m_Name), &entry);
    auto fileOf = [&](const std::string& path) {
        auto found = entries.find(ToLowerCopy(path));
        return found == entries.end() ? std::string() : zip.m_WorkingDirectory + found->second->m_Name;
    };
    DeobfuscateFontFiles(xml, fileOf, identifiers, log);
}

void DeobfuscateFontFiles(const std::string& encryptionXml, const ExtractedFileOf& fileOf,
                          const std::vector<std::string>& identifiers, CRunLog* log)
{
    std::vector<EncryptedResource> resources;
    if (!ReadEncryptionXml(encryptionXml, resources)) {
        TARVO_LOG(log, LOG_WARNING, "%s is no XML document, no font de-obfuscated", ENCRYPTION_XML);
        return;
    }
    for (const EncryptedResource& resource : resources) {
        if (resource.m_Method == FontObfuscation::None) continue;
        const std::string path = resource.m_Path.empty() ? std::string() : fileOf(resource.m_Path);
        if (path.empty()) {
            TARVO_LOG(log, LOG_WARNING, "obfuscated font \"%s\" is not in the book, ignored",
                      resource.m_Uri.c_str());
            continue;
        }
        CFile file;
        std::string head(ObfuscatedLength(resource.m_Method), '\0');
        size_t got = head.size();
        if (file.Open(path, true, false) != RC_OK || file.ReadAt(&head[0], 0, got) != RC_OK) {
            TARVO_LOG(log, LOG_WARNING, "obfuscated font \"%s\" was not extracted, ignored", path.c_str());
            continue;
        }
        head.resize(got);
        if (HasFontSignature(head)) {
            TARVO_LOG(log, LOG_INFO, "font \"%s\" is listed as obfuscated but is plain", path.c_str());
            continue;
        }
        const std::string key = KeyGivingAFont(resource.m_Method, head, identifiers);
        if (key.empty()) {
            TARVO_LOG(log, LOG_WARNING, "no identifier gives a key for \"%s\", left obfuscated",
                      path.c_str());
            continue;
        }
        XorHead(head, key, head.size());
        if (!HasFontSignature(head))
            TARVO_LOG(log, LOG_WARNING, "font \"%s\" has no font signature after de-obfuscation",
                      path.c_str());
        // The file position is still 0: ReadAt does not move it.
        if (file.Write(head.data(), head.size()) != RC_OK)
            TARVO_LOG(log, LOG_ERROR, "font \"%s\" could not be rewritten", path.c_str());
    }
}
