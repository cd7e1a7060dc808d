// Where stubpack takes the stub from when --stub names none: the installed layout beside its own
// executable, else the build tree it was built in.
#pragma once

#include <string>
#include <vector>

namespace stubpack {

struct StubLocation {
  std::string path;                // empty when no place holds a stub
  std::string source;              // what chose it, for messages: "STUBPACK_STUB", "installed", ...
  std::vector<std::string> tried;  // every place looked at, in order
};

// `from_environment` is STUBPACK_STUB's value (empty when unset): when set, it alone is tried.
// Otherwise `self` (stubpack's own resolved path) decides: `installed_relative` (the data
// directory's stub, relative to the directory of the executable, e.g.
// "../share/stubpack/stub.exe"), then the build tree's stub: build/host/bin/stubpack beside
// build/windows/bin/stub.exe. The first regular file found wins.
StubLocation FindStub(const std::string& from_environment, const std::string& self,
                      const std::string& installed_relative);

// One line for Fail(): every place tried and how to name another.
std::string NoStubMessage(const StubLocation& location);

}  // namespace stubpack
