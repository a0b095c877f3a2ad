// The one place that prints progress lines on standard output.
#pragma once

void PrintProgress(const char* text);

// Callers parse the result line, whose message is the table's text; what a run wants its user to
// know besides (the path a failure concerns, a file left out of the output) goes to standard error
// as one line, as well as to the log.
__attribute__((format(printf, 1, 2))) void TellUser(const char* format, ...);
