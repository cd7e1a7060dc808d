// Setup stored as a cabinet, as inspect and the packer read it: the checks of its records, the
// expansion of its first file, whole and with only a part kept, and the findings on setup that
// follow. Refusals are one line; a kept part is the start of the whole file; a second read gives
// the same.
#include <algorithm>
#include <string>

#include "tests/fuzz/fuzz_check.h"
#include "tools/stubpack/cabinet_reader.h"
#include "tools/stubpack/layout.h"

namespace {

using namespace stubpack;

struct Expanded {
  bool ok = false, unsupported = false;
  Bytes file;
  uint64_t file_size = 0;
  std::string problem;
};

Expanded Expand(const uint8_t* data, size_t size, uint64_t keep) {
  Expanded e;
  e.ok = ExpandFirstFile(data, size, keep, e.file, e.file_size, e.unsupported, e.problem);
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string records = CabinetProblem(data, size);
  const Expanded whole = Expand(data, size, UINT64_MAX);
  if (!records.empty()) {
    FUZZ_CHECK_ONE_LINE(records);
    FUZZ_CHECK(!whole.ok && !whole.unsupported && whole.problem == records,
               "records refused with %s, expansion gave %s", records.c_str(),
               whole.problem.c_str());
  }
  if (whole.ok) {
    FUZZ_CHECK(whole.problem.empty() && !whole.unsupported, "expanded with %s",
               whole.problem.c_str());
    FUZZ_CHECK(whole.file.size() == whole.file_size, "%zu bytes of a file of %llu",
               whole.file.size(), static_cast<unsigned long long>(whole.file_size));
  } else {
    FUZZ_CHECK_ONE_LINE(whole.problem);
    FUZZ_CHECK(whole.file.empty(), "a refused expansion left %zu bytes", whole.file.size());
  }

  // Keeping a part expands and checks the same blocks: the same answer, the whole file's start.
  for (const uint64_t keep : {uint64_t{0}, uint64_t{1}, uint64_t{4096}}) {
    const Expanded part = Expand(data, size, keep);
    FUZZ_CHECK(part.ok == whole.ok && part.unsupported == whole.unsupported &&
                   part.problem == whole.problem && part.file_size == whole.file_size,
               "keeping %llu bytes: %s; whole: %s", static_cast<unsigned long long>(keep),
               part.problem.c_str(), whole.problem.c_str());
    if (!whole.ok) continue;
    const size_t kept = static_cast<size_t>(std::min<uint64_t>(keep, whole.file.size()));
    FUZZ_CHECK(part.file.size() == kept &&
                   std::equal(part.file.begin(), part.file.end(), whole.file.begin()),
               "keeping %llu bytes gave %zu other bytes", static_cast<unsigned long long>(keep),
               part.file.size());
  }

  const SetupFindings found = InspectSetup(data, size, payload_layout::SetupStorage::kCabinet);
  const SetupFindings again = InspectSetup(data, size, payload_layout::SetupStorage::kCabinet);
  FUZZ_CHECK(found.stored == again.stored && found.image == again.image &&
                 found.elevation == again.elevation,
             "a second look differs");
  for (const std::string* text : {&found.stored, &found.image, &found.elevation})
    if (!text->empty()) FUZZ_CHECK_ONE_LINE(*text);
  // What keeps setup from being written is what the expansion met, and nothing else.
  FUZZ_CHECK(found.stored == (whole.ok || whole.unsupported ? "" : whole.problem),
             "stored: %s; expansion: %s", found.stored.c_str(), whole.problem.c_str());
  if (!found.stored.empty())
    FUZZ_CHECK(found.image.empty() && found.elevation.empty(), "findings beyond a refused store");
  return 0;
}
