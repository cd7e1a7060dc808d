// sys::File on POSIX for the cabinet writer until system_posix.cpp implements the whole door;
// it goes when that file comes.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/stubpack/system.h"

namespace stubpack::sys {

File::~File() {
  if (native_ >= 0) ::close(static_cast<int>(native_));
}
File::File(File&& other) noexcept : native_(other.native_) { other.native_ = -1; }
File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (native_ >= 0) ::close(static_cast<int>(native_));
    native_ = other.native_;
    other.native_ = -1;
  }
  return *this;
}

bool File::OpenRead(const std::string& path, std::string& problem) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    problem = std::strerror(errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    problem = "is not a regular file";
    return false;
  }
  Adopt(fd);
  return true;
}

bool File::Create(const std::string& path, std::string& problem) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    problem = std::strerror(errno);
    return false;
  }
  Adopt(fd);
  return true;
}

bool File::Valid() const { return native_ >= 0; }

bool File::Size(uint64_t& size, std::string& problem) const {
  struct stat info;
  if (fstat(static_cast<int>(native_), &info) != 0) {
    problem = std::strerror(errno);
    return false;
  }
  size = static_cast<uint64_t>(info.st_size);
  return true;
}

int64_t File::ReadAt(uint64_t offset, void* data, size_t size, std::string& problem) const {
  for (;;) {
    const ssize_t got = pread(static_cast<int>(native_), data, size, static_cast<off_t>(offset));
    if (got >= 0) return got;
    if (errno != EINTR) {
      problem = std::strerror(errno);
      return -1;
    }
  }
}

bool File::Write(const void* data, size_t size, std::string& problem) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = ::write(static_cast<int>(native_), at, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      problem = put < 0 ? std::strerror(errno) : "nothing written";
      return false;
    }
    at += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

bool File::WriteAt(uint64_t offset, const void* data, size_t size, std::string& problem) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = pwrite(static_cast<int>(native_), at, size, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      problem = put < 0 ? std::strerror(errno) : "nothing written";
      return false;
    }
    at += put;
    offset += static_cast<uint64_t>(put);
    size -= static_cast<size_t>(put);
  }
  return true;
}

bool File::Close(std::string& problem) {
  const int fd = static_cast<int>(native_);
  native_ = -1;
  if (fd >= 0 && ::close(fd) != 0) {
    problem = std::strerror(errno);
    return false;
  }
  return true;
}

void File::Adopt(intptr_t native) {
  if (native_ >= 0) ::close(static_cast<int>(native_));
  native_ = native;
}

}  // namespace stubpack::sys
