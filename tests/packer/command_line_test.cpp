// stubpack's command line: the GNU conventions, usage errors of one line and status 2, and the
// message levels.
#include <gtest/gtest.h>

#include <regex>

#include "tests/packer/packer_fixture.h"

namespace packer_tests {
namespace {

struct UsageCase {
  const char* name;
  std::vector<std::string> arguments;
  int status;
  const char* message;  // the first line on stderr; nullptr for none (an answer on stdout)
};

void PrintTo(const UsageCase& c, std::ostream* out) { *out << c.name; }

class Usage : public ::testing::TestWithParam<UsageCase> {};

// Each error is one line naming what is wrong, then the pointer to --help.
TEST_P(Usage, OneLineAndAPointerToHelp) {
  const UsageCase& c = GetParam();
  ScratchDirectory scratch;
  std::string command = "'" + Stubpack().string() + "'";
  for (const std::string& a : c.arguments) command += " '" + a + "'";
  const fs::path err = scratch.Path() / "stderr";
  const ProcessResult run = RunProcess({"sh", "-c", command + " 2>'" + err.string() + "'"});
  EXPECT_EQ(run.exit_status, c.status) << run.output << ReadText(err);
  if (c.message == nullptr) {
    EXPECT_EQ(ReadText(err), "");
    EXPECT_NE(run.output, "");
  } else {
    EXPECT_EQ(ReadText(err), "stubpack: " + std::string(c.message) + "\nTry 'stubpack --help'.\n");
    EXPECT_EQ(run.output, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Usage,
    ::testing::Values(
        UsageCase{"ShortHelp", {"-h"}, 0, nullptr},
        UsageCase{"HelpAfterOtherOptions", {"-q", "--archive", "a", "--help"}, 0, nullptr},
        UsageCase{"InspectShortHelp", {"inspect", "-h"}, 0, nullptr},
        UsageCase{"Version", {"--version"}, 0, nullptr},
        UsageCase{"NoArguments", {}, 2, "no installer to make"},
        UsageCase{"FlagWithValue", {"--help=yes"}, 2, "option '--help' takes no value"},
        UsageCase{
            "QuietWithValue", {"--quiet=1", "--output", "x"}, 2, "option '--quiet' takes no value"},
        UsageCase{"MissingValue",
                  {"--archive", "a", "--output"},
                  2,
                  "option '--output' needs a value (FILE)"},
        UsageCase{"EmptyInlineValue", {"--output="}, 2, "option '--output' needs a value (FILE)"},
        UsageCase{"ThreeValuesInline",
                  {"--resource=A", "B", "C"},
                  2,
                  "option '--resource' takes TYPE NAME FILE as separate arguments"},
        UsageCase{"ThreeValuesShort",
                  {"--resource", "A", "B"},
                  2,
                  "option '--resource' needs TYPE NAME FILE"},
        UsageCase{"UnknownLong", {"--frobnicate"}, 2, "unknown option '--frobnicate'"},
        UsageCase{"UnknownShortInAGroup", {"-qx"}, 2, "unknown option '-x'"},
        // After "--" an option's spelling is an operand, which packing takes none of.
        UsageCase{
            "OptionsEnded", {"--output", "o", "--", "--setup"}, 2, "unexpected argument '--setup'"},
        UsageCase{"Operand", {"--output", "o", "stray"}, 2, "unexpected argument 'stray'"},
        UsageCase{"BadStorage",
                  {"--setup-storage=zip"},
                  2,
                  "--setup-storage is 'cabinet' or 'plain', not 'zip'"},
        UsageCase{"InspectTwoFiles", {"inspect", "a", "b"}, 2, "inspect takes one FILE"},
        UsageCase{"InspectUnknown",
                  {"inspect", "--frobnicate", "a"},
                  2,
                  "unknown option '--frobnicate'"}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

class Spelling : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(wine_tests::WindowsBinDir() / "enum-resources.exe"))
        << "build the windows preset first";
    in_ = MakeInputs(scratch_.Path() / "in");
  }
  ScratchDirectory scratch_;
  Inputs in_;
};

// "--opt=value" and "--opt value" mean the same: the
// installers are byte for byte the same.
TEST_F(Spelling, EitherSpellingOfAValueGivesTheSameInstaller) {
  // One file name in two directories: the name is part of the version block.
  fs::create_directories(scratch_.Path() / "a");
  fs::create_directories(scratch_.Path() / "b");
  const fs::path a = scratch_.Path() / "a" / "x.exe", b = scratch_.Path() / "b" / "x.exe";
  const ProcessResult separate =
      Pack({"--archive", in_.archive.string(), "--setup", in_.setup.string(), "--output",
            a.string(), "--product-name", "Spelled"});
  ASSERT_EQ(separate.exit_status, 0) << separate.output;
  const ProcessResult joined =
      Pack({"--archive=" + in_.archive.string(), "--setup=" + in_.setup.string(),
            "--output=" + b.string(), "--product-name=Spelled"});
  ASSERT_EQ(joined.exit_status, 0) << joined.output;
  EXPECT_EQ(ReadText(a), ReadText(b));
  EXPECT_NE(ReadText(a).find(std::string("S\0p\0e\0l\0l\0e\0d\0", 14)), std::string::npos);
}

// One line on success: the output, its size and SHA-256 as sha256sum and the file system see
// them, and the time taken; nothing at all under --quiet.
TEST_F(Spelling, SummaryLineNamesSizeAndDigestOfTheFinalFile) {
  const fs::path out = scratch_.Path() / "installer.exe";
  std::vector<std::string> inputs = {"--archive",        in_.archive.string(), "--setup",
                                     in_.setup.string(), "--output",           out.string()};
  inputs.insert(inputs.end(), NamedProduct().begin(), NamedProduct().end());
  const ProcessResult packed = Pack(inputs);
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      packed.output, m,
      std::regex(
          R"(stubpack: wrote (.*) \(([0-9,]+) bytes, sha256 ([0-9a-f]{64})\) in \d+\.\d s\n)")))
      << packed.output;
  EXPECT_EQ(m[1].str(), out.string());
  EXPECT_EQ(std::regex_replace(m[2].str(), std::regex(","), ""),
            std::to_string(fs::file_size(out)));
  EXPECT_TRUE(std::regex_match(m[2].str(), std::regex(R"(\d{1,3}(,\d{3})*)"))) << m[2];
  const ProcessResult sum = RunProcess({"sha256sum", out.string()});
  EXPECT_EQ(sum.output.substr(0, 64), m[3].str());

  // --verbose says where each resource went.
  std::vector<std::string> verbose = inputs;
  verbose.push_back("-v");
  const ProcessResult detailed = Pack(verbose);
  EXPECT_EQ(detailed.exit_status, 0) << detailed.output;
  EXPECT_NE(detailed.output.find("stubpack: B7/NIMBET.PACKED.7Z: " +
                                 std::to_string(fs::file_size(in_.archive)) + " bytes at offset "),
            std::string::npos)
      << detailed.output;

  std::vector<std::string> quiet = inputs;
  quiet.push_back("-q");
  const ProcessResult silent = Pack(quiet);
  EXPECT_EQ(silent.exit_status, 0) << silent.output;
  EXPECT_EQ(silent.output, "");
}

}  // namespace
}  // namespace packer_tests
