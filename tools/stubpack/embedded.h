// Files of resources/ that the build compiles into the packer, so that it runs from anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stubpack {

extern const uint8_t kManifest[];  // resources/manifest.xml
extern const size_t kManifestSize;
extern const uint8_t kVersionTemplate[];  // resources/version.txt
extern const size_t kVersionTemplateSize;
extern const uint8_t kDefaultIcon[];  // drawn by resources/icon.cpp
extern const size_t kDefaultIconSize;

}  // namespace stubpack
