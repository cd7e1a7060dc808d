// An .ico file as the resources of one icon group: the images and the group's directory.
#pragma once

#include <string>
#include <vector>

#include "tools/stubpack/bytes.h"

namespace stubpack {

struct IconGroup {
  std::vector<Bytes> images;  // RT_ICON 1, 2, ... in the file's order
  Bytes directory;            // RT_GROUP_ICON: the file's entries with identifiers for offsets
  std::vector<std::string> differences;  // where it departs from the installer's ten images
};

bool ReadIconGroup(const Bytes& file, IconGroup& group, std::string& problem);

}  // namespace stubpack
