// What the stub does with a set of resources: its scan of "B7", "BL" and "BN" replayed step by
// step, and the layout rules that a finished installer keeps.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/stubpack/resource_tree.h"

namespace stubpack {

// The stub's exit codes that a layout alone can cause.
constexpr uint32_t kPathTooLong = 108;
constexpr uint32_t kArchiveNotFound = 112;
constexpr uint32_t kSetupNotExtracted = 115;
constexpr uint32_t kSetupNotStarted =
    124;  // CreateProcessW failed for a reason other than a missing path

// The shortest directory a stub can run from ("C:\") and the stub's own path capacity.
constexpr int kShortestDirectory = 3;

struct ListedResource {
  ResourceId type, name;  // as stored
  uint64_t size = 0;
};

struct Verdict {
  uint32_t exit_code = 0;  // 0: setup is written and runs; the installer ends with its code
  std::string reason;
  std::string archive_name, archive_type;
  std::string setup_name, setup_type, setup_storage;
  // The longest stub directory, in UTF-16 units with its final backslash, at which setup's
  // path fits; beyond it the run ends with 108. Below kShortestDirectory: none fits.
  int longest_directory = 0;
  // Where 108 begins: beyond this many units. Between longest_directory and it the cabinet
  // library refuses the cabinet's path and the run ends with 115.
  int path_limit = 0;
  std::vector<std::string> roles;  // per listed resource, what the stub makes of it
  struct Broken {
    long index;  // the listed resource at fault, or -1 for the layout as a whole
    std::string rule;
  };
  std::vector<Broken> broken;  // the layout rules that the resources break
};

// What is wrong with a resource's bytes as setup carried under `type`: for "BL" a cabinet that
// expands, for "BN" and "B7" a PE executable; an empty text when nothing is.
using SetupCheck = std::function<std::string(size_t index, const std::string& type)>;

// The checks for SetupCheck on bytes in memory.
std::string SetupContentProblem(const uint8_t* data, uint64_t size, const std::string& type);

// `listed` in the order of the resource directory; `check` looks at the setup that was found.
Verdict Predict(const std::vector<ListedResource>& listed, const SetupCheck& check);

}  // namespace stubpack
