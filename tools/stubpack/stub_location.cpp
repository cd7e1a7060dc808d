#include "tools/stubpack/stub_location.h"

#include <algorithm>
#include <filesystem>

#include "tools/stubpack/system.h"

namespace stubpack {

namespace fs = std::filesystem;

namespace {

bool IsRegularFile(const std::string& path) {
  sys::FileStatus status;
  std::string problem;
  return sys::Status(path, status, problem) && status.regular;
}

}  // namespace

StubLocation FindStub(const std::string& from_environment, const std::string& self,
                      const std::string& installed_relative) {
  StubLocation location;
  if (!from_environment.empty()) {
    // An explicit setting that is wrong is an error, never a reason to look elsewhere.
    location.source = "STUBPACK_STUB";
    location.tried.push_back(from_environment);
    if (IsRegularFile(from_environment)) location.path = from_environment;
    return location;
  }
  if (self.empty()) return location;
  // Paths are UTF-8 on both systems: u8path and u8string keep them so on Windows, where a plain
  // std::string would pass through the ANSI code page.
  const fs::path bin = fs::u8path(sys::DirectoryOf(self));
  const struct {
    fs::path path;
    const char* source;
  } candidates[] = {
      {(bin / fs::u8path(installed_relative)).lexically_normal(), "installed"},
      {(bin / "../../windows/bin/stub.exe").lexically_normal(), "build tree"},
  };
  for (const auto& c : candidates) {
    const std::string path = c.path.u8string();
    // On Windows the installed stub is the one beside stubpack.exe, which in the build tree
    // is the build tree's stub: tried once.
    if (std::find(location.tried.begin(), location.tried.end(), path) != location.tried.end())
      continue;
    location.tried.push_back(path);
    if (IsRegularFile(path)) {
      location.path = path;
      location.source = c.source;
      return location;
    }
  }
  return location;
}
std::string NoStubMessage(const StubLocation& location) {
  if (location.source == "STUBPACK_STUB")
    return "STUBPACK_STUB names " + location.tried.front() +
           ", which is not a file; name the stub with --stub or STUBPACK_STUB";
  std::string message = "no stub found (tried ";
  for (size_t i = 0; i < location.tried.size(); ++i)
    message += (i == 0 ? "" : ", ") + location.tried[i];
  if (location.tried.empty()) message += "nothing: stubpack cannot tell where it is";
  return message + "); name one with --stub or STUBPACK_STUB";
}

}  // namespace stubpack
