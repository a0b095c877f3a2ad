// The one reading of a path a book names: manifest hrefs, link targets, table-of-contents sources,
// page names and archive entry names. "/" and "\" both separate; nothing here touches the disk.
#pragma once

#include <string>

// An href split into its parts. A book's path is percent-decoded exactly once ("+" stays a plus,
// as in any URI), so "%252e" names a file called "%2e"; an external path, the query and the
// fragment are kept as written, since ids are compared with the text a page carries.
struct CHref {
    std::string m_Path;
    std::string m_Query;    // without the "?"
    std::string m_Fragment; // without the "#"
    // Names nothing inside the book: a URI scheme of two or more letters ("http:", "mailto:",
    // "data:", "kindle:") or a network path ("//host/..."). A single letter before ":" is a drive
    // ("C:x"), which is no link at all: it stays internal and ResolveInBook refuses it.
    bool m_External = false;

    // Blanks around the text are dropped, as a browser does with an attribute value.
    static CHref Parse(const std::string& text);
};

// baseFolder (a folder inside the book) + relative (an already decoded path) with "." and ".." worked out,
// "/" separated, no leading or trailing "/". False, resolved unchanged, when the result names nothing inside
// the book: relative is empty, absolute or has a drive prefix, either part holds a NUL, a ".." climbs above
// the book's root, or nothing is left.
bool ResolveInBook(const std::string& baseFolder, const std::string& relative, std::string& resolved);

// ResolveInBook's result, or empty when the path names nothing inside the book.
std::string ResolvedInBook(const std::string& baseFolder, const std::string& relative);
// True when a path taken from the book's root names something inside it.
bool LiesInBook(const std::string& relative);

// A name as a book's file lists keep it (an href's path, not yet decoded) lies inside the book
// under baseFolder both as written and decoded once: files are opened under either, since some
// archives hold names with a real "%" in them.
bool ListedNameInBook(const std::string& baseFolder, const std::string& name);

// Parse and ResolveInBook in one: false for an external href, a bare fragment or a path that
// resolves to nothing.
bool ResolveHrefInBook(const std::string& baseFolder, const std::string& href, std::string& resolved);

// True when every component of a "/"-separated relative path may name a file we write: not absolute, no
// empty, ".", ".." or dot-leading component, no NUL, no "\".
bool IsSafeOutputName(const std::string& relative);
