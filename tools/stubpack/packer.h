// Packing: the stub, the payload and the installer's own resources into one signed file.
#pragma once

#include <string>
#include <vector>

#include "tools/stubpack/installer_version.h"
#include "tools/stubpack/signing.h"

namespace stubpack {

struct RawResource {
  std::string type, name, file;
};

struct PackOptions {
  std::string archive, setup, output, stub, icon;
  SigningSettings signing;   // nothing requested: unsigned
  bool plain_setup = false;  // "BN"/"SETUP.EXE" instead of a cabinet under "BL"
  bool unchecked = false;    // write layouts that break the rules, for tests
  // Write a setup that Windows with User Account Control starts only elevated, which the stub
  // (unelevated, by CreateProcessW) cannot.
  bool allow_elevating_setup = false;
  std::vector<RawResource> resources;
  VersionRequest version;  // over setup's own version resource and the defaults
};

// Writes the installer; kExitOk on success, otherwise the ExitStatus of the failure with a
// message on stderr, in which case nothing is left at the output path.
int Pack(const PackOptions& options);

}  // namespace stubpack
