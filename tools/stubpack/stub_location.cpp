#include "tools/stubpack/stub_location.h"

#include <filesystem>
#include <system_error>

namespace stubpack {

namespace fs = std::filesystem;

StubLocation FindStub(const std::string& from_environment, const std::string& self,
                      const std::string& installed_relative) {
  StubLocation location;
  if (!from_environment.empty()) {
    // An explicit setting that is wrong is an error, never a reason to look elsewhere.
    location.source = "STUBPACK_STUB";
    location.tried.push_back(from_environment);
    std::error_code error;
    if (fs::is_regular_file(from_environment, error)) location.path = from_environment;
    return location;
  }
  if (self.empty()) return location;
  const fs::path bin = fs::path(self).parent_path();
  const struct {
    fs::path path;
    const char* source;
  } candidates[] = {
      {(bin / installed_relative).lexically_normal(), "installed"},
      {(bin / "../../windows/bin/stub.exe").lexically_normal(), "build tree"},
  };
  for (const auto& c : candidates) {
    location.tried.push_back(c.path.string());
    std::error_code error;
    if (fs::is_regular_file(c.path, error)) {
      location.path = c.path.string();
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
