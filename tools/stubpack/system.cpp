// What the door offers on top of File, the same on both systems.
#include "tools/stubpack/system.h"

namespace stubpack::sys {

bool ReadWhole(const std::string& path, Bytes& bytes, std::string& problem) {
  File file;
  uint64_t size = 0;
  if (!file.OpenRead(path, problem)) return false;
  if (!file.Size(size, problem)) {
    problem = "cannot be read: " + problem;
    return false;
  }
  bytes.assign(static_cast<size_t>(size), 0);
  size_t done = 0;
  while (done < bytes.size()) {
    const int64_t got = file.ReadAt(done, bytes.data() + done, bytes.size() - done, problem);
    if (got <= 0) {
      problem = "cannot be read: " + (got < 0 ? problem : std::string("cut short"));
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace stubpack::sys
