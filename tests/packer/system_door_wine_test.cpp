// The Windows side of the packer's door to the system, run under Wine: system-windows-check.exe
// checks system_windows.cpp in a scratch directory, and the capitals it stores resource names in
// must be the Linux build's, so that both builds write the same installer.
#include <fcntl.h>

#include <fstream>

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include <sys/stat.h>

#include "tests/packer/packer_fixture.h"
#include "tools/stubpack/resource_tree.h"
#include "tools/stubpack/system.h"

namespace packer_tests {
namespace {

class SystemDoorWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(wine_tests::PrepareWine(), "");
    check_ = wine_tests::WindowsBinDir() / "system-windows-check.exe";
    ASSERT_TRUE(fs::is_regular_file(check_)) << "build the windows preset first";
  }
  fs::path check_;
};

TEST_F(SystemDoorWindows, PassesItsChecksUnderWine) {
  ScratchDirectory scratch;
  const wine_tests::ProcessResult run =
      wine_tests::RunWine({check_.string(), wine_tests::WindowsPath(scratch.Path())});
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_NE(run.output.find("0 failed"), std::string::npos) << run.output;
}

// The modification time, which dates setup in the cabinet and the signature without
// SOURCE_DATE_EPOCH, in Unix seconds as Linux reads it; before 1970 too.
TEST_F(SystemDoorWindows, ReadsTheModificationTimeAsLinuxDoes) {
  ScratchDirectory scratch;
  const fs::path file = scratch.Path() / "setup.exe";
  std::ofstream(file) << "payload";
  for (const int64_t seconds :
       {int64_t{1700000000}, int64_t{0}, int64_t{-86400}, int64_t{4102444800}}) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    stubpack::sys::FileStatus status;
    std::string problem;
    ASSERT_TRUE(stubpack::sys::Status(file.string(), status, problem)) << problem;
    ASSERT_EQ(status.modified, seconds);
    const wine_tests::ProcessResult run =
        wine_tests::RunWine({check_.string(), "status", wine_tests::WindowsPath(file)});
    EXPECT_EQ(run.output, "size 7 modified " + std::to_string(seconds) + "\n") << seconds;
  }
}

TEST_F(SystemDoorWindows, CapitalisesAsTheLinuxBuildDoes) {
  const wine_tests::ProcessResult run = wine_tests::RunWine({check_.string(), "upper"});
  ASSERT_EQ(run.exit_status, 0) << run.output;
  std::map<unsigned, unsigned> windows;
  std::istringstream lines(run.output);
  unsigned unit = 0, upper = 0;
  while (lines >> std::hex >> unit >> upper) windows[unit] = upper;
  ASSERT_FALSE(windows.empty()) << run.output;
  std::string differences;
  int count = 0;
  for (unsigned u = 0x80; u <= 0xFFFF; ++u) {
    if (u >= 0xD800 && u <= 0xDFFF) continue;
    const unsigned linux_upper = stubpack::Capitalise(std::u16string(1, char16_t(u)))[0];
    const auto found = windows.find(u);
    const unsigned windows_upper = found == windows.end() ? u : found->second;
    if (linux_upper != windows_upper && ++count <= 20) {
      char line[64];
      std::snprintf(line, sizeof(line), "U+%04X: Linux U+%04X, Windows U+%04X\n", u, linux_upper,
                    windows_upper);
      differences += line;
    }
  }
  EXPECT_EQ(count, 0) << "the first of the units capitalised differently:\n" << differences;
}

}  // namespace
}  // namespace packer_tests
