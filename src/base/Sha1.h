// SHA-1, for the keys of font obfuscation in EPUB containers; not for anything that needs security.
#pragma once

#include <string>

// The 20-byte digest of data.
std::string Sha1(const std::string& data);
