// `stubpack inspect FILE`: an installer's resources and what the stub will do with them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/stubpack/layout.h"

namespace stubpack {

struct InspectedResource {
  ListedResource listed;
  std::vector<uint32_t> languages;
  std::vector<uint32_t> code_pages;
  uint64_t offset = 0;  // in the file, of the first language's data
};

// Reads the resource directory of a PE file, in the directory's order.
bool ReadResources(const uint8_t* file, uint64_t size, std::vector<InspectedResource>& out,
                   std::string& problem);

// What the stub will do with `resources`, read by ReadResources from `file`: the verdict that
// inspect prints.
Verdict PredictResources(const uint8_t* file, const std::vector<InspectedResource>& resources);

// Prints the listing and the verdict, or with `json` the object of docs/inspect-json.md, on
// `out`. Returns the exit status: kExitOk when setup runs, kExitRefused for an installer whose
// verdict is anything else, kExitNotAnInstaller, or kExitIo (with a message) when FILE cannot be
// read.
int Inspect(const std::string& path, bool json, std::ostream& out);

// The longest directory the installer may run from, in plain words.
std::string LongestDirectorySentence(const Verdict& v);

}  // namespace stubpack
