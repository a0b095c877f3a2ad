#include "base/Progress.h"

#include <cstdarg>
#include <cstdio>

void PrintProgress(const char* text)
{
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout); // callers watch the lines as they come
}

void TellUser(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::fputs("TarvoCmd: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}
