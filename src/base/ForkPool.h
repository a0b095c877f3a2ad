// Work spread over every core this process may run on.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Runs work(i) for every i below count, spread over this process and forked copies of it (one per
// further core this process may run on; none with TARVO_WORKERS=1), and returns what each call
// gave in order of i. Copies are used rather than threads because the HTML library keeps tag
// tables that every parse adjusts. A copy shares only files with this process: work may write
// files, but anything it changes in memory is lost, so all it has to tell comes back in the bytes
// it returns. Items a copy could not finish are worked again here.
std::vector<std::string> ForkedMap(size_t count, const std::function<std::string(size_t)>& work);
