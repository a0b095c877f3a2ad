// Where a package's table of contents and guide come from, and its targets checked against the
// files the book really has.
#pragma once

#include "base/IntermediateBook.h"

#include <functional>
#include <string>

class CParseOpf;
class CRunLog;

// Reads a file of the package given by its href relative to the package folder, as the manifest
// writes it; false when there is no such file.
using PackageFileReader = std::function<bool(const std::string& href, std::string& text)>;

// The NCX's entries when the package names an NCX that reads and holds some, else the navigation
// document's; the navigation document's landmarks give the guide of a package without one.
void ReadPackageToc(const CParseOpf& parser, const PackageFileReader& read, CIntermediateBook& book,
                    CRunLog* log);

// Some generators write targets relative to another folder than the one they name ("intro.xhtml"
// for "guide/intro.xhtml"): an entry whose file is not among the book's lists goes to the listed
// file whose path ends the same way; one that matches none is left out, its children moving up.
void RepairTocTargets(CIntermediateBook& book, CRunLog* log);
