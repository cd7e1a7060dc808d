// The reader of an .ico file for the installer's icon group: a refusal in one line, or one image
// per entry, each the bytes the entry points at inside the file, and a group directory of 14
// bytes per entry; the same a second time.
#include <algorithm>
#include <string>

#include "tests/fuzz/fuzz_check.h"
#include "tools/stubpack/icon_group.h"

using stubpack::Bytes;
using stubpack::GetU16;
using stubpack::GetU32;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes file(data, data + size);  // exactly sized, as libFuzzer's buffer
  stubpack::IconGroup group, again;
  std::string problem, problem_again;
  const bool read = stubpack::ReadIconGroup(file, group, problem);
  FUZZ_CHECK(read == stubpack::ReadIconGroup(file, again, problem_again), "a second read differs");
  if (!read) {
    FUZZ_CHECK_ONE_LINE(problem);
    FUZZ_CHECK(problem == problem_again, "%s, then %s", problem.c_str(), problem_again.c_str());
    return 0;
  }
  FUZZ_CHECK(group.images == again.images && group.directory == again.directory &&
                 group.differences == again.differences,
             "a second read gives another group");
  const size_t count = GetU16(data + 4);
  FUZZ_CHECK(group.images.size() == count, "%zu images for %zu entries", group.images.size(),
             count);
  FUZZ_CHECK(group.directory.size() == 6 + 14 * count, "a directory of %zu bytes for %zu entries",
             group.directory.size(), count);
  FUZZ_CHECK(GetU16(group.directory.data() + 4) == count, "the directory's count");
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = data + 6 + 16 * i;
    const uint32_t bytes = GetU32(entry + 8), offset = GetU32(entry + 12);
    FUZZ_CHECK(bytes != 0 && uint64_t{offset} + bytes <= size, "image %zu outside", i + 1);
    FUZZ_CHECK(group.images[i].size() == bytes &&
                   std::equal(group.images[i].begin(), group.images[i].end(), data + offset),
               "image %zu is not the bytes its entry points at", i + 1);
    const uint8_t* listed = group.directory.data() + 6 + 14 * i;
    FUZZ_CHECK(std::equal(listed, listed + 12, entry) && GetU16(listed + 12) == i + 1,
               "directory entry %zu", i + 1);
  }
  for (const std::string& difference : group.differences) FUZZ_CHECK_ONE_LINE(difference);
  return 0;
}
