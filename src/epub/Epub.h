// EPUB containers: finding and reading the package document, recognising DRM, and the package
// writer's texts (container, OPF, NCX, cover pages).
#pragma once

#include "base/IntermediateBook.h"
#include "base/Zip.h"

#include <initializer_list>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

class CRunLog;

class CEpubBase : public CZip
{
  public:
    // The whole package text for the book, with CR LF line ends.
    std::string BuildOpf(const CIntermediateBook& book);
    std::string BuildNcx(CIntermediateBook& book);
    static std::string BuildContainer(const std::string& opfPath);

    std::vector<std::string> m_SpineIds;
    std::string m_UniqueIdentifierId = "bookid";
    std::string m_IdentifierValue = "urn:uuid:273fd756-62f2-4858-8d67-99e08f24bba9";
    std::string m_CoverImageId = "cover-image";
    std::string m_CoverImagePath; // relative to the package folder
    // Put before every href of the package: the folder the book's files lie in, as seen from the
    // package document, escaped and ending in "/"; empty when they lie beside it.
    std::string m_HrefPrefix;
    bool m_HasCover = false;
    bool m_RightToLeft = false;
    int m_NavPointCounter = 0;
};

class CEpub : public CEpubBase
{
  public:
    CEpub();
    // Finds the package through META-INF/container.xml; repairs a damaged archive in place first.
    ResultCode GetOpfXml(const std::string& path, std::string& opfText, std::string& opfPath);
    // Samples the documents and images; suspicious data is classified by the archive's entries.
    ResultCode CheckDRM(const CIntermediateBook& book, const std::vector<std::string>& images,
                        bool relativeFlag1, bool relativeFlag2);
    // Removes the keys that only Kindle books carry.
    void RemoveKindleKeys(MetaDataMap& map) const;

    std::string m_OpfPath;
    MetaDataMap m_KindleKeys;
    // The manifest's media types by archive path in lower case, set before CheckDRM: they tell
    // which entries are fonts.
    std::unordered_map<std::string, std::string> m_MediaTypes;

  private:
    // What META-INF/encryption.xml covers of the entries the archive has.
    enum class EncryptionScope { Absent, Unclear, FontsOnly, More };
    EncryptionScope ReadEncryptionScope();
    ResultCode ClassifyProtection(EncryptionScope encryption);
};

// How metadata elements are written into a package someone else made.
struct MetadataForm {
    // EPUB 3 has no opf: attributes: roles and file-as go into meta elements refining the element.
    bool m_Epub3 = false;
    // Each element declares the dc and opf prefixes it uses (the package binds them nowhere above).
    bool m_CarryNamespaces = false;
    // Ids of refined elements are this plus "-N"; it must occur nowhere in the package.
    std::string m_IdPrefix = "tarvo";
};
// A person's name -> the form it sorts by (the book's m_SortNames).
using SortNames = std::map<std::string, std::string>;
// Package metadata lines (eight blanks, one element, CR LF) for every key we write, in key order.
// Creators and contributors whose name sortNames holds get it as their file-as.
std::string MetadataLines(const MetaDataMap& metadata, const MetadataForm& form = MetadataForm(),
                          const SortNames& sortNames = SortNames());
// Escapes markup characters; "&#...;" references to characters XML allows stay references. Control
// characters XML does not allow are left out.
std::string XmlEscape(const std::string& text);
std::string MediaTypeOf(const std::string& href);
// The name's last component ends in "." and one of the extensions, in any case.
bool HasExtension(const std::string& name, std::initializer_list<const char*> extensions);
// Gives a printed XHTML document what EPUB 2 reading systems validate against: the XHTML 1.1
// doctype, a charset declaration in the http-equiv form (the HTML5 form is not XHTML 1.1), no
// script, HTML5's elements as the div or span they stand for, its attributes dropped or made a class
// or a style, and inline content straight in body or blockquote put in a div.
void MakeEpub2Document(std::string& document);
// An SVG image of an EPUB 3 book without the attributes (ARIA, EPUB 3 semantics) SVG 1.1 lacks.
void MakeEpub2Svg(std::string& image);

// The rootfile's "full-path" of a container.xml, names compared without regard to case; empty
// when there is none.
std::string FindContainerRootfile(const std::string& containerXml);
// How many documents (or images) of a list of count are sampled for protection.
size_t DrmSampleLimit(size_t count);
