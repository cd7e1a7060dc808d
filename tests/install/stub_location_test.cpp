// Where stubpack takes the stub from without --stub: each layout of the table is made in a
// scratch directory, and the choice, the places tried and the message are checked.
#include "tools/stubpack/stub_location.h"

#include <fstream>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/wine/wine_harness.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kInstalled = "../share/stubpack/stub.exe";

struct LocationCase {
  const char* name;
  std::vector<std::string> files;        // made as small regular files
  std::vector<std::string> directories;  // made as directories
  std::string environment;               // STUBPACK_STUB, relative to the scratch directory
  std::string self;                      // stubpack's own path, relative; empty: unknown
  std::string chosen;                    // the stub taken; empty: none
  std::string source;
  std::vector<std::string> tried;
};

void PrintTo(const LocationCase& c, std::ostream* out) { *out << c.name; }

const LocationCase kCases[] = {
    {"InstalledBesideBin",
     {"usr/share/stubpack/stub.exe"},
     {},
     "",
     "usr/bin/stubpack",
     "usr/share/stubpack/stub.exe",
     "installed",
     {"usr/share/stubpack/stub.exe"}},
    {"BuildTree",
     {"build/windows/bin/stub.exe"},
     {},
     "",
     "build/host/bin/stubpack",
     "build/windows/bin/stub.exe",
     "build tree",
     {"build/host/share/stubpack/stub.exe", "build/windows/bin/stub.exe"}},
    {"InstalledBeforeBuildTree",
     {"build/host/share/stubpack/stub.exe", "build/windows/bin/stub.exe"},
     {},
     "",
     "build/host/bin/stubpack",
     "build/host/share/stubpack/stub.exe",
     "installed",
     {"build/host/share/stubpack/stub.exe"}},
    {"NoneFound",
     {"elsewhere/stub.exe"},
     {},
     "",
     "opt/tool/bin/stubpack",
     "",
     "",
     {"opt/tool/share/stubpack/stub.exe", "opt/windows/bin/stub.exe"}},
    {"DirectoryIsNoStub",
     {},
     {"usr/share/stubpack/stub.exe"},
     "",
     "usr/bin/stubpack",
     "",
     "",
     {"usr/share/stubpack/stub.exe", "windows/bin/stub.exe"}},
    {"EnvironmentFirst",
     {"usr/share/stubpack/stub.exe", "mine/stub.exe"},
     {},
     "mine/stub.exe",
     "usr/bin/stubpack",
     "mine/stub.exe",
     "STUBPACK_STUB",
     {"mine/stub.exe"}},
    // A wrong setting is reported, not passed over for the installed stub.
    {"EnvironmentMissing",
     {"usr/share/stubpack/stub.exe"},
     {},
     "mine/stub.exe",
     "usr/bin/stubpack",
     "",
     "STUBPACK_STUB",
     {"mine/stub.exe"}},
    {"SelfUnknown", {"usr/share/stubpack/stub.exe"}, {}, "", "", "", "", {}},
};

class StubLocationTest : public testing::TestWithParam<LocationCase> {};

TEST_P(StubLocationTest, ChoosesTheFirstPlaceThatHoldsAStub) {
  const LocationCase& c = GetParam();
  wine_tests::ScratchDirectory scratch;
  const fs::path root = scratch.Path();
  for (const std::string& file : c.files) {
    fs::create_directories((root / file).parent_path());
    std::ofstream(root / file) << "MZ";
  }
  for (const std::string& directory : c.directories) fs::create_directories(root / directory);
  const auto at = [&](const std::string& relative) {
    return relative.empty() ? std::string() : (root / relative).string();
  };

  const stubpack::StubLocation found =
      stubpack::FindStub(at(c.environment), at(c.self), kInstalled);
  EXPECT_EQ(found.path, at(c.chosen));
  EXPECT_EQ(found.source, c.source);
  std::vector<std::string> tried;
  for (const std::string& place : c.tried) tried.push_back(at(place));
  EXPECT_EQ(found.tried, tried);

  // The message for a failure names every place tried.
  if (found.path.empty()) {
    const std::string message = stubpack::NoStubMessage(found);
    for (const std::string& place : tried)
      EXPECT_NE(message.find(place), std::string::npos) << message;
    EXPECT_NE(message.find("--stub"), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    if (c.source == "STUBPACK_STUB") {
      EXPECT_NE(message.find("STUBPACK_STUB names"), std::string::npos) << message;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, StubLocationTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<LocationCase>& info) {
                           return std::string(info.param.name);
                         });

// A symbolic link in PATH is resolved before FindStub sees it (/proc/self/exe); a link as the
// stub itself is followed.
TEST(StubLocation, LinkToAStubIsAStub) {
  wine_tests::ScratchDirectory scratch;
  const fs::path root = scratch.Path();
  fs::create_directories(root / "usr/share/stubpack");
  std::ofstream(root / "real.exe") << "MZ";
  fs::create_symlink(root / "real.exe", root / "usr/share/stubpack/stub.exe");
  const stubpack::StubLocation found =
      stubpack::FindStub("", (root / "usr/bin/stubpack").string(), kInstalled);
  EXPECT_EQ(found.path, (root / "usr/share/stubpack/stub.exe").string());

  fs::remove(root / "real.exe");  // now dangling
  EXPECT_EQ(stubpack::FindStub("", (root / "usr/bin/stubpack").string(), kInstalled).path, "");
}

}  // namespace
