// The EPUB 3 navigation document: its table of contents ("toc" nav) and its landmarks; the page
// list is not kept.
#pragma once

#include "base/IntermediateBook.h"
#include "base/ResultCode.h"

#include <string>
#include <vector>

// navHref is the document's href relative to the package folder; targets are resolved against its
// folder as NCX targets are (ResolveBookHref). toc gets the entries in reading order with the links
// the NCX reader makes; landmarks get EPUB 2 guide types and resolved hrefs. RC_EPUB_OPF_TREE_INIT
// when the text is not well-formed XML.
ResultCode ReadNavDocument(const std::string& navText, const std::string& navHref,
                           const CIntermediateBook& book, std::vector<NavPoint>& toc,
                           std::vector<GuideItem>& landmarks);

// The guide type of a landmark's epub:type ("bodymatter" is "text"): the first name that has one,
// else "other." and the first name; empty for an empty value.
std::string GuideTypeOfLandmark(const std::string& epubType);
