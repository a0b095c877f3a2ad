// The one place that prints progress lines on standard output.
#pragma once

void PrintProgress(const char* text);
