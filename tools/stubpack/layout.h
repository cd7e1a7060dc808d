// What the stub does with a set of resources: its scan of the payload types replayed step by
// step, and the layout rules that a finished installer keeps. The rules are the stub's own, read
// from core/; what is added here is only what the stub does not decide: the checks of setup's
// bytes, and what setup's manifest asks of User Account Control.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/exit_codes.h"
#include "core/payload_layout.h"
#include "tools/stubpack/resource_tree.h"

namespace stubpack {

// An ASCII text of core/ as UTF-16 units, as resource identifiers hold it.
std::u16string Units(const char* ascii);

// The index of a payload type in the stub's scan order, or payload_layout::kTypeCount for any
// other type.
size_t PayloadTypeIndex(const ResourceId& type);
// The payload type whose setup the stub stores as `storage`.
ResourceId TypeOfStorage(payload_layout::SetupStorage storage);

struct ListedResource {
  ResourceId type, name;  // as stored
  uint64_t size = 0;
};

struct Verdict {
  // SUCCESS: setup is written and runs; the installer ends with its code.
  RunResult exit_code = StubExitCode::SUCCESS;
  std::string reason;
  std::string archive_name, archive_type;
  std::string setup_name, setup_type, setup_storage;
  long setup = -1;  // the listed resource that the stub takes for setup, when it finds one
  // The longest stub directory, in UTF-16 units with its final backslash, at which setup's
  // path fits; beyond it the run ends with PATH_TOO_LONG. Below
  // payload_layout::kShortestStubDirectory: none fits.
  int longest_directory = 0;
  // Why Windows with User Account Control refuses to start setup from the unelevated stub, which
  // then ends with SETUP_LAUNCH_FAILED (the verdict's code); empty when it starts setup.
  std::string elevation;
  std::vector<std::string> roles;  // per listed resource, what the stub makes of it
  struct Broken {
    long index;  // the listed resource at fault, or -1 for the layout as a whole
    std::string rule;
  };
  std::vector<Broken> broken;  // the layout rules that the resources break
};

// What the stub meets with a resource's bytes as setup stored as `storage`; empty texts when
// nothing stands in its way.
struct SetupFindings {
  std::string stored;     // what keeps setup.exe from being written: for a cabinet one that expands
  std::string image;      // what keeps it from starting anywhere: it is no PE executable
  std::string elevation;  // what keeps it from starting unelevated (see Verdict::elevation)
};
using SetupCheck = std::function<SetupFindings(size_t index, payload_layout::SetupStorage storage)>;

// How much of a setup stored as a cabinet the checks keep in memory: its headers, resource
// directory and manifest lie in the image, not in data appended to it. The rest of the cabinet
// is expanded and checked as it passes.
constexpr uint64_t kSetupBytesRead = uint64_t{256} << 20;

// The checks for SetupCheck on bytes in memory.
SetupFindings InspectSetup(const uint8_t* data, uint64_t size,
                           payload_layout::SetupStorage storage);

// `listed` in the order of the resource directory; `check` looks at the setup that was found.
Verdict Predict(const std::vector<ListedResource>& listed, const SetupCheck& check);

}  // namespace stubpack
