// `stubpack inspect` against the real stub: for each layout of the table, the exit code that
// inspect predicts is the one the stub gives under Wine with the same installer; where inspect
// says setup runs, setup (enum-resources.exe) must have found the archive it was told about.
// The longest stub directory that inspect names is tried and one unit more, in ASCII and in CJK
// characters: the limit is the stub's own, in UTF-16 units, for a cabinet as for setup itself.
#include <algorithm>

#include <gtest/gtest.h>

#include "core/exit_codes.h"
#include "core/payload_layout.h"
#include "tests/packer/packer_fixture.h"

namespace packer_tests {
namespace {

constexpr uint32_t kSetupFoundTheArchive = 42;  // enum-resources.exe playing setup

class Verdict : public ::testing::TestWithParam<LayoutCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(Stubpack())) << Stubpack();
    ASSERT_EQ(wine_tests::PrepareWine(), "");
    in_ = MakeInputs(scratch_.Path() / "in");
  }

  // Packs the case into `directory` and runs it from there.
  std::optional<uint32_t> PackAndRun(const fs::path& directory, InspectVerdict& verdict) {
    fs::create_directories(directory);
    const fs::path installer = directory / "i.exe";
    std::vector<std::string> args = Expand(GetParam().arguments, in_);
    args.insert(args.end(), {"--output", installer.string(), "--unchecked"});
    const ProcessResult packed = Pack(args);
    EXPECT_EQ(packed.exit_status, 0) << packed.output;
    verdict = Inspect(installer);
    EXPECT_TRUE(verdict.read) << verdict.output;
    const wine_tests::LaunchResult run = wine_tests::LaunchRaw(
        installer, "\"" + wine_tests::WindowsPath(installer) + "\"", scratch_.Path());
    EXPECT_TRUE(run.exit_code.has_value()) << run.diagnostics;
    return run.exit_code;
  }

  ScratchDirectory scratch_;
  Inputs in_;
};

uint32_t Expected(const InspectVerdict& v) { return v.exit_code.value_or(kSetupFoundTheArchive); }

TEST_P(Verdict, StubEndsAsInspectSays) {
  InspectVerdict verdict;
  const std::optional<uint32_t> code = PackAndRun(scratch_.Path() / "run", verdict);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, Expected(verdict)) << verdict.output;
}

class VerdictAtLength : public Verdict {};

TEST_P(VerdictAtLength, LongestStubDirectoryIsTheLastThatFits) {
  // Wine turns its own command line into UTF-16 by the locale's code page; non-ASCII paths pass
  // whole only under UTF-8.
  setenv("LC_ALL", "C.UTF-8", 1);
  InspectVerdict verdict;
  PackAndRun(scratch_.Path() / "probe", verdict);
  ASSERT_GE(verdict.longest_directory, static_cast<int>(payload_layout::kShortestStubDirectory))
      << verdict.output;
  EXPECT_EQ(verdict.beyond_longest, StubExitCode::PATH_TOO_LONG) << verdict.output;
  for (const char* character : {"d", "\u5b57"}) {
    for (const int units : {verdict.longest_directory, verdict.longest_directory + 1}) {
      const fs::path directory = wine_tests::DirectoryOfWindowsLength(
          scratch_.Path(), static_cast<size_t>(units), character);
      ASSERT_FALSE(directory.empty()) << "the scratch path is too long for " << units << " units";
      ASSERT_EQ(wine_tests::Utf16Units(wine_tests::WindowsPath(directory)) + 1,
                static_cast<size_t>(units));
      InspectVerdict at;
      const std::optional<uint32_t> code = PackAndRun(directory, at);
      ASSERT_TRUE(code.has_value());
      const uint32_t expected =
          units <= verdict.longest_directory ? Expected(at) : StubExitCode::PATH_TOO_LONG;
      EXPECT_EQ(*code, expected) << units << " units: " << wine_tests::WindowsPath(directory)
                                 << "\n"
                                 << at.output;
    }
  }
}

std::string CaseName(const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Table, Verdict, ::testing::ValuesIn(LayoutCases()), CaseName);

// One layout per way of carrying setup: a cabinet, setup.exe, setup under its own name.
std::vector<LayoutCase> OnePerStorage() {
  std::vector<LayoutCase> cases;
  for (const LayoutCase& c : LayoutCases()) {
    const std::string name = c.name;
    if (name == "Default" || name == "Plain" || name == "SetupUnderB7") cases.push_back(c);
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Storages, VerdictAtLength, ::testing::ValuesIn(OnePerStorage()), CaseName);

}  // namespace
}  // namespace packer_tests
