// Editing a package document in place for `s`: only what changes is rewritten, the rest of the
// text stays exactly as the book had it.
#pragma once

#include "base/IntermediateBook.h"

#include <string>

// Elements of the keys in newValues are replaced by new ones; every other element is kept, and so
// are those of a key whose values are the ones the package already reads as (joined as the metadata
// text joins them), with their roles, sort forms and refinements. The element the package names
// as its unique identifier is always kept (fonts may be obfuscated with it), and an identifier value
// it has is not added again. markKey (the producer) is written only along with another change:
// when nothing else changes the text comes back as it was.
std::string RewriteOpfMetadata(const std::string& opf, const MetaDataMap& newValues,
                               const std::string& markKey = std::string());

struct AddedCover {
    std::string m_ImageHref, m_ImageId, m_ImageMediaType;
    std::string m_PageHref, m_PageId;
};
// Adds the image and its page to the manifest, the page first in the spine, the cover meta and a
// cover guide reference.
std::string AddCoverToOpf(const std::string& opf, const AddedCover& cover);
