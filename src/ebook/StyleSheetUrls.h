// The files a CSS style sheet refers to, for every handler that moves or embeds them.
#pragma once

#include <string>
#include <vector>

// The files a style sheet names, as written: every url() value and every @import string, in
// order, quotes and surrounding blanks removed; nothing inside comments.
std::vector<std::string> StyleSheetUrls(const std::string& css);
