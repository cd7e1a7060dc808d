// `stubpack inspect FILE`: an installer's resources and what the stub will do with them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/stubpack/installer_resources.h"

namespace stubpack {

// Prints the listing and the verdict, or with `json` the object of docs/json-report.md, on
// `out`. Returns the exit status: kExitOk when setup runs, kExitRefused for an installer whose
// verdict is anything else, kExitNotAnInstaller, or kExitIo (with a message) when FILE cannot be
// read.
int Inspect(const std::string& path, bool json, std::ostream& out);

// The longest directory the installer may run from, in plain words.
std::string LongestDirectorySentence(const Verdict& v);

}  // namespace stubpack
