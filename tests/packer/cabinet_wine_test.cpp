// The third reader of the packer's cabinets: the system's cabinet.dll under Wine, through
// FDICopy (cabinet-dll-expand.exe), on the table of cabinet_cases.h. The stub expands setup's
// cabinet through the same library; this reads any setup, not only one that runs.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/packer/cabinet_cases.h"
#include "tools/stubpack/cabinet.h"

namespace packer_tests {
namespace {

class CabinetDll : public ::testing::TestWithParam<CabinetCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(Expander()))
        << Expander() << " is missing; build the windows preset first";
    ASSERT_EQ(wine_tests::PrepareWine(), "");
  }
  static fs::path Expander() { return wine_tests::WindowsBinDir() / "cabinet-dll-expand.exe"; }

  ScratchDirectory scratch_;
};

TEST_P(CabinetDll, GivesBackSetupsBytesNameAndDate) {
  const CabinetCase& c = GetParam();
  const fs::path setup = scratch_.Path() / "input.bin", cabinet = scratch_.Path() / "setup.cab";
  const fs::path out = scratch_.Path() / "out";
  fs::create_directories(out);
  MakeSetup(c, setup);
  std::string problem;
  ASSERT_EQ(stubpack::WriteSetupCabinet(setup.string(), cabinet.string(), c.seconds, problem),
            stubpack::CabinetOutcome::kWritten)
      << problem;

  const ProcessResult expanded = wine_tests::RunWine(
      {Expander().string(), wine_tests::WindowsPath(cabinet), wine_tests::WindowsPath(out)});
  ASSERT_EQ(expanded.exit_status, 0) << expanded.output;
  std::vector<std::string> files;
  std::istringstream lines(expanded.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("file\t", 0) == 0) files.push_back(line);
  }
  EXPECT_EQ(files, std::vector<std::string>{"file\tsetup.exe\t" + std::to_string(c.size) + "\t" +
                                            c.date + "\t0x0"})
      << expanded.output;
  EXPECT_EQ(wine_tests::ListDirectory(out), std::vector<std::string>{"setup.exe"});
  EXPECT_EQ(CompareFiles(setup, out / "setup.exe"), "");
}

INSTANTIATE_TEST_SUITE_P(Setups, CabinetDll, ::testing::ValuesIn(CabinetCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace packer_tests
