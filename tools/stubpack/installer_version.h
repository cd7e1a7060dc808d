// The installer's version block made from setup's own version resource, the options that
// override it and resources/version.txt's defaults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/stubpack/version_block.h"
#include "tools/stubpack/version_info.h"

namespace stubpack {

// What the command line asks of the block.
struct VersionRequest {
  std::vector<VersionKey> given;  // --company-name and the other keys' options, as given
  bool file_number_given = false, product_number_given = false;  // --*-version-number
  uint16_t file_number[4] = {}, product_number[4] = {};
};

struct VersionWarning {
  std::string file;  // the input at fault, or empty for an option
  std::string message;
};

// Each string from its option, else setup's table (ChosenTable), else the default; a key left
// without a value is left out. InternalName and OriginalFilename come from `output_name`, the
// installer's file name. FileVersion follows ProductVersion when nothing gives it. The fixed
// part's numbers: the --*-version-number options, else setup's own while its text stands, else
// the text's leading numbers. `setup` is null when setup has no version resource that was read;
// `setup_path` names it in warnings. False with `problem` for a version text whose numbers the
// fixed part cannot hold.
bool ComposeInstallerVersion(const VersionRequest& request, const VersionInfo* setup,
                             const std::string& setup_path, const std::string& output_name,
                             VersionBlock& block, std::vector<VersionWarning>& warnings,
                             std::string& problem);

// The keys that Windows shows for a file (Details), among those `block` leaves out.
std::vector<std::string> MissingShownKeys(const VersionBlock& block);

// The value of `key` in `block`, empty when it is left out.
std::string BlockValue(const VersionBlock& block, const std::string& key);

}  // namespace stubpack
