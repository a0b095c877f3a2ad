// The three operations of the command line: read metadata, write metadata, convert.
#pragma once

#include "base/IntermediateBook.h"
#include "base/ResultCode.h"

#include <string>
#include <vector>

ResultCode getMetaInfoOrg(std::string inputFile, std::string tempDirectory, const std::string& coverImageFile,
                          std::string& metadataText);
// `g` as the command line runs it: the metadata text goes to metadataFile (written whole or not at
// all, "{}" for a book without metadata) and an unwritable file or cover is a failure.
ResultCode GetMetaInfoIntoFile(std::string inputFile, std::string tempDirectory,
                               const std::string& metadataFile, const std::string& coverImageFile);
// Exactly one of metadataText and metadataMap is given. ignoredOptions are the unknown options of
// the command line, named in the run log.
ResultCode setMetaInfoOrg(std::string inputFile, std::string tempDirectory, const std::string* metadataText,
                          const MetaDataMap* metadataMap,
                          const std::vector<std::string>& ignoredOptions = {});
ResultCode convertOrg(std::string inputFile, std::string outputFile, std::string tempDirectory,
                      const std::string& inParam, const std::string& outParam,
                      const std::vector<std::string>& ignoredOptions = {});
