// TEMPORARY, until the packer's door (system_posix.cpp) lands: only the calls that signing.cpp
// makes, so that it builds through system.h. Drop this file when system_posix.cpp is merged.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <sys/stat.h>

#include "tools/stubpack/system.h"

namespace stubpack::sys {

bool Status(const std::string& path, FileStatus& status, std::string& problem) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    problem = std::strerror(errno);
    return false;
  }
  status = FileStatus{};
  status.directory = S_ISDIR(info.st_mode);
  status.regular = S_ISREG(info.st_mode);
  status.size = static_cast<uint64_t>(info.st_size);
  status.modified = info.st_mtime;
  status.volume = info.st_dev;
  status.id = info.st_ino;
  return true;
}

bool ReadWhole(const std::string& path, Bytes& bytes, std::string& problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem = std::strerror(errno);
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool Environment(const char* name, std::string& value) {
  const char* found = std::getenv(name);
  if (found == nullptr) return false;
  value = found;
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace stubpack::sys
