// What the POSIX platform files share; everything else goes through the platform headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

// Files are read and copied in pieces of this size.
constexpr size_t CHUNK = 65536;

// Writes all size bytes, again after an interruption by a signal; false on any other failure.
bool WriteAll(int fd, const char* data, size_t size);
// The same at an offset, leaving the file position alone.
bool WriteAllAt(int fd, const char* data, size_t size, uint64_t offset);
// read(2), again after an interruption by a signal.
ssize_t ReadSome(int fd, char* data, size_t size);
// Opens a plain file only: a pipe would block the run and a device would never end.
int OpenRegularFile(const std::string& osPath, int access);
// Sixteen unpredictable lower-case hex digits, for names no one else takes.
std::string RandomSuffix();
