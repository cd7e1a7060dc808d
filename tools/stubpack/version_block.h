// The version block: a fixed part and one string table "040904b0", keys in a given order.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/stubpack/bytes.h"

namespace stubpack {

struct VersionKey {
  std::string key;    // as the block stores it, e.g. "CompanyName"
  std::string value;  // UTF-8
};

// The keys and demo values of resources/version.txt, in its order.
std::vector<VersionKey> DefaultVersionKeys();

// "CompanyName" gives "company-name", "Official Build" gives "official-build".
std::string OptionForKey(const std::string& key);

// Four numbers from 0 to 65535 separated by dots.
bool ParseVersion(const std::string& text, uint16_t (&parts)[4]);

// Builds the block; false with `problem` when ProductVersion is not four numbers or FileVersion
// names other numbers (the fixed part carries one version for both).
bool BuildVersionBlock(const std::vector<VersionKey>& keys, Bytes& block, std::string& problem);

}  // namespace stubpack
