// An installer's resources as its directory lists them, and the stub's verdict on them: the
// reading half of inspect, over bytes only.
#pragma once

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

}  // namespace stubpack
