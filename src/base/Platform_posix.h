// What the POSIX platform files share; everything else goes through the platform headers.
#pragma once

#include <cstddef>

// Writes all size bytes, again after an interruption by a signal; false on any other failure.
bool WriteAll(int fd, const char* data, size_t size);
