// Hrefs a book may carry and where each leads, shared by every test of code that resolves one, so
// that all of them are held to the same answers. resolved is null when the href names nothing
// inside the book.
#pragma once

struct HrefResolveCase {
    const char* base;
    const char* href;
    const char* resolved;
};

inline const HrefResolveCase kHrefResolveCases[] = {
    // separators
    {"OEBPS/", "text/ch1.html", "OEBPS/text/ch1.html"},
    {"OEBPS", "text\\ch1.html", "OEBPS/text/ch1.html"},
    {"OEBPS\\text\\", "ch1.html", "OEBPS/text/ch1.html"},
    {"", "a//b.html", "a/b.html"},
    {"", "a/", "a"},
    // "." and ".." at every depth
    {"", "./a.html", "a.html"},
    {"OEBPS/text/", "../images/a.jpg", "OEBPS/images/a.jpg"},
    {"OEBPS/text/", "../../a.jpg", "a.jpg"},
    {"OEBPS/text/", "../../../a.jpg", nullptr},
    {"", "../x", nullptr},
    {"", "a/../x", "x"},
    {"", "a/../../x", nullptr},
    {"a/", "b/../../x", "x"},
    {"", "a\\..\\..\\x", nullptr},
    {"", "..", nullptr},
    {"OEBPS/", "..", nullptr},
    {"OEBPS/", ".", "OEBPS"},
    {"../", "a.html", nullptr},
    // percent escapes, decoded once
    {"", "%2e%2e/x", nullptr},
    {"a/", "%2E%2E/x", "x"},
    {"", "a%5c..%5c..%5cx", nullptr},
    {"", "%252e%252e/x", "%2e%2e/x"},
    {"", "my%20ch.html", "my ch.html"},
    {"", "a+b.html", "a+b.html"},
    {"", "a%00.html", nullptr},
    // dot components are names to read, whatever may be written
    {"", ".hidden", ".hidden"},
    {"", "a/.dir/b", "a/.dir/b"},
    {"", "...", "..."},
    {"", "a..b/c", "a..b/c"},
    // schemes, drives and absolute paths
    {"", "http://example.com/a.html", nullptr},
    {"", "mailto:a@b.c", nullptr},
    {"", "data:image/png;base64,AAAA", nullptr},
    {"", "kindle:pos:fid:0001", nullptr},
    {"", "//host/a.html", nullptr},
    {"", "C:x.html", nullptr},
    {"", "c:\\x.html", nullptr},
    {"", "/etc/passwd", nullptr},
    {"", "\\etc\\passwd", nullptr},
    {"", "a/b:c.html", "a/b:c.html"},
    // fragments and queries are no part of the path
    {"OEBPS/", "ch1.html#sec", "OEBPS/ch1.html"},
    {"OEBPS/", "ch1.html?x=../../y#z", "OEBPS/ch1.html"},
    {"OEBPS/", "#sec", nullptr},
    {"", "", nullptr},
};
