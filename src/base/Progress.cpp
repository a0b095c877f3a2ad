#include "base/Progress.h"

#include <cstdio>

void PrintProgress(const char* text)
{
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);  // callers watch the lines as they come
}
