// The installer's version block: a fixed part and one string table "040904b0", keys in a given
// order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/stubpack/bytes.h"

namespace stubpack {

struct VersionKey {
  std::string key;    // as the block stores it, e.g. "CompanyName"
  std::string value;  // UTF-8
};

// The keys of resources/version.txt in its order, with its defaults (empty for most).
std::vector<VersionKey> DefaultVersionKeys();

// "CompanyName" gives "company-name", "Official Build" gives "official-build".
std::string OptionForKey(const std::string& key);

// Exactly four numbers from 0 to 65535 separated by dots.
bool ParseVersion(const std::string& text, uint16_t (&parts)[4]);

// The numbers that free text such as "1.2.3-beta" begins with: up to four, separated by dots,
// the missing ones 0. kNone when it begins with no digit, kTooLarge when a number exceeds
// 65535 (the fixed part cannot hold it).
enum class LeadingNumbers { kRead, kNone, kTooLarge };
LeadingNumbers ReadLeadingNumbers(const std::string& text, uint16_t (&parts)[4]);

// "1.2.3.4"
std::string VersionText(const uint16_t (&parts)[4]);

struct VersionBlock {
  std::vector<VersionKey> strings;  // in the block's order
  uint16_t file_version[4] = {}, product_version[4] = {};
};

// Serialises `block`; false with `problem` when a text is not UTF-8 or the block would exceed
// the 65535 bytes its lengths can count.
bool BuildVersionBlock(const VersionBlock& block, Bytes& out, std::string& problem);

}  // namespace stubpack
