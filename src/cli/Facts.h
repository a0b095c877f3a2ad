// What this build reads, writes and reports, for programs that drive it (the batch script among
// them) so that they ask the binary instead of keeping copies that drift.
#pragma once

#include <string>

// One JSON object, compact, UTF-8, ending in a newline:
//   version                 the product version;
//   reads, writes           sorted extensions `c` accepts as input and as output;
//   companion_folder        sorted output extensions written with a folder of the book's files;
//   companion_folder_name   for each of those, that folder's name for an output "{name}.<ext>";
//   refused                 sorted extensions recognised only to refuse them (`g` says why);
//   notices                 decimal code -> message, for every code that still counts as success;
//   drm                     decimal code -> protection scheme, for the notices that refuse a book;
//   cover_types             the extensions `g` may give as "coverimageext".
std::string FactsJson();
