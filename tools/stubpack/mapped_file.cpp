#include "tools/stubpack/mapped_file.h"

#include "tools/stubpack/system.h"

namespace stubpack {

MappedFile::~MappedFile() { sys::Unmap(data_, size_); }

bool MappedFile::Open(const std::string& path, std::string& problem) {
  sys::Unmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  return sys::MapWhole(path, data_, size_, problem);
}

}  // namespace stubpack
