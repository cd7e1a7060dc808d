#include "tools/stubpack/mapped_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stubpack {

MappedFile::~MappedFile() {
  if (data_ != nullptr && size_ != 0) munmap(const_cast<uint8_t*>(data_), size_);
}

bool MappedFile::Open(const std::string& path, std::string& problem) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    problem = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    problem = "is not a regular file";
    close(fd);
    return false;
  }
  size_ = static_cast<uint64_t>(info.st_size);
  if (size_ == 0) {
    static const uint8_t kNothing = 0;
    data_ = &kNothing;
    close(fd);
    return true;
  }
  void* at = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (at == MAP_FAILED) {
    problem = std::string("cannot be mapped: ") + std::strerror(errno);
    size_ = 0;
    return false;
  }
  data_ = static_cast<const uint8_t*>(at);
  return true;
}

}  // namespace stubpack
