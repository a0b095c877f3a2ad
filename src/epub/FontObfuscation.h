// Fonts that EPUB containers obfuscate so that they cannot simply be copied out of the book. Both
// methods in use XOR the head of the font file with a key made from the package's unique
// identifier; the fonts listed in META-INF/encryption.xml are turned back into plain fonts once the
// book is extracted. Real encryption is never undone: a book that uses it is refused as protected.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class CZip;
class CRunLog;

enum class FontObfuscation { None, Idpf, Adobe };

// One EncryptedData element of encryption.xml.
struct EncryptedResource {
    std::string m_Uri;  // as written
    std::string m_Path; // decoded and resolved against the container root; empty when it leaves it
    FontObfuscation m_Method = FontObfuscation::None; // None for every other algorithm
};

const char* const ENCRYPTION_XML = "META-INF/encryption.xml";

FontObfuscation ObfuscationOf(const std::string& algorithm);
// False when the text is no XML document.
bool ReadEncryptionXml(const std::string& xml, std::vector<EncryptedResource>& resources);
// A font by its manifest media type, else by its extension.
bool IsFontResource(const std::string& path, const std::string& mediaType);
// TrueType, OpenType, a collection, Type 1 in an sfnt, or WOFF 1 or 2.
bool HasFontSignature(const std::string& head);
// Empty when the identifier gives no key (Adobe: not 32 hexadecimal digits once its "urn:uuid:"
// and dashes are taken off).
std::string ObfuscationKey(FontObfuscation method, const std::string& identifier);
size_t ObfuscatedLength(FontObfuscation method);
// XORs the first length bytes, or as many as there are, with the key repeated.
void XorHead(std::string& bytes, const std::string& key, size_t length);

// Undoes the obfuscation of the fonts encryption.xml lists, in the files UnCompress wrote under
// zip.m_WorkingDirectory. identifiers: the unique identifier first, then the package's others,
// tried in turn when a key does not give a font (a tool may have changed the unique identifier).
void DeobfuscateFonts(CZip& zip, const std::vector<std::string>& identifiers, CRunLog* log);
// The same for a book not read from an archive: fileOf gives the file a path relative to the
// container root was copied to, or nothing when the book has no such file.
using ExtractedFileOf = std::function<std::string(const std::string& containerPath)>;
void DeobfuscateFontFiles(const std::string& encryptionXml, const ExtractedFileOf& fileOf,
                          const std::vector<std::string>& identifiers, CRunLog* log);
