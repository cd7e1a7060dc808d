// The packer's two builds side by side: stubpack on Linux and stubpack.exe under Wine, given the
// same inputs and SOURCE_DATE_EPOCH, write the same installer byte for byte and inspect it alike;
// stubpack.exe takes paths with spaces, non-ASCII names and more than 260 UTF-16 units; and what
// it packs installs under Wine.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "tests/packer/packer_fixture.h"

namespace packer_tests {
namespace {

// The offset of the first byte in which `a` and `b` differ (the shorter one's size when one
// starts the other), or npos when they are the same.
size_t FirstDifference(const std::string& a, const std::string& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (a[i] != b[i]) return i;
  }
  return a.size() == b.size() ? std::string::npos : common;
}

::testing::AssertionResult IdenticalFiles(const fs::path& linux_file,
                                          const fs::path& windows_file) {
  const std::string a = ReadText(linux_file), b = ReadText(windows_file);
  const size_t at = FirstDifference(a, b);
  if (at == std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << linux_file << " (" << a.size() << " bytes) and " << windows_file << " (" << b.size()
         << " bytes) first differ at offset " << at << " (0x" << std::hex << at << ")";
}

// Texts compared line by line: on a difference, the first line that differs in each.
::testing::AssertionResult SameText(const std::string& linux_text,
                                    const std::string& windows_text) {
  if (linux_text == windows_text) return ::testing::AssertionSuccess();
  std::istringstream a(linux_text), b(windows_text);
  std::string line_a, line_b;
  for (int line = 1;; ++line) {
    const bool more_a = static_cast<bool>(std::getline(a, line_a));
    const bool more_b = static_cast<bool>(std::getline(b, line_b));
    if (!more_a && !more_b) break;
    if (more_a != more_b || line_a != line_b) {
      return ::testing::AssertionFailure()
             << "line " << line << " differs:\n  linux:   " << (more_a ? line_a : "(none)")
             << "\n  windows: " << (more_b ? line_b : "(none)");
    }
  }
  return ::testing::AssertionFailure() << "the texts differ in their last line break";
}

// What a run said, with `directory` written as "{dir}" and the summary's time taken out, so that
// two runs into different directories can be compared.
std::string Said(std::string output, const fs::path& directory) {
  output = std::regex_replace(output, std::regex(R"( in \d+\.\d s\n)"), " in {time} s\n");
  const std::string text = directory.string();
  for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at))
    output.replace(at, text.size(), "{dir}");
  return output;
}

class TwoBuilds : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(LinuxStubpack())) << LinuxStubpack();
    ASSERT_TRUE(fs::is_regular_file(wine_tests::WindowsBinDir() / "stubpack.exe"))
        << "build the windows preset first";
    ASSERT_EQ(wine_tests::PrepareWine(), "");
    in_ = MakeInputs(scratch_.Path() / "in");
  }

  // Packs with both builds, each into a directory of its own under the same file name (the name
  // is part of the version block, the directory is not); returns the two outputs.
  std::pair<fs::path, fs::path> PackBoth(const std::vector<std::string>& arguments,
                                         const std::string& name = "installer.exe") {
    const fs::path linux_dir = scratch_.Path() / "linux", windows_dir = scratch_.Path() / "windows";
    fs::create_directories(linux_dir);
    fs::create_directories(windows_dir);
    std::pair<fs::path, fs::path> outputs = {linux_dir / name, windows_dir / name};
    std::vector<std::string> args = arguments;
    args.insert(args.end(), {"--output", outputs.first.string()});
    const ProcessResult on_linux = PackWith(LinuxStubpack(), args);
    args.back() = outputs.second.string();
    const ProcessResult under_wine = PackWith(WindowsStubpack(), args);
    EXPECT_EQ(on_linux.exit_status, 0) << on_linux.output;
    EXPECT_EQ(under_wine.exit_status, 0) << under_wine.output;
    EXPECT_TRUE(SameText(Said(on_linux.output, linux_dir), Said(under_wine.output, windows_dir)))
        << "the two builds say different things";
    return outputs;
  }

  ScratchDirectory scratch_;
  Inputs in_;
};

// --- The same bytes for every kind of input. ---

struct SameBytesCase {
  const char* name;
  // As in Expand, and "{icon}" for an icon of one image, "{version-setup}" for a setup with a
  // version resource, "{large}" for an archive of 5 MiB.
  std::vector<std::string> arguments;
};

void PrintTo(const SameBytesCase& c, std::ostream* out) { *out << c.name; }

class SameBytes : public TwoBuilds, public ::testing::WithParamInterface<SameBytesCase> {};

TEST_P(SameBytes, FromBothBuilds) {
  const SameBytesCase& c = GetParam();
  // The first image of the built icon alone, so that the icon is not the default one.
  const std::string icon = ReadText(BuiltIcon());
  ASSERT_GT(icon.size(), 22u);
  const uint32_t first_size = static_cast<uint8_t>(icon[14]) | static_cast<uint8_t>(icon[15]) << 8;
  const uint32_t first_at = static_cast<uint8_t>(icon[18]) | static_cast<uint8_t>(icon[19]) << 8;
  std::string single = icon.substr(0, 4) + std::string("\x01\x00", 2) + icon.substr(6, 16);
  single[18] = 22, single[19] = 0;
  WriteText(scratch_.Path() / "one.ico", single + icon.substr(first_at, first_size));
  // A 7z signature, then bytes that do not compress.
  std::string large = "7z\xbc\xaf\x27\x1c";
  large.resize(5 << 20);
  uint32_t state = 99;
  for (size_t i = 6; i < large.size(); ++i) {
    state = state * 1103515245u + 12345u;
    large[i] = static_cast<char>(state >> 24);
  }
  WriteText(scratch_.Path() / "large.7z", large);

  std::vector<std::string> args = Expand(c.arguments, in_);
  for (std::string& a : args) {
    if (a == "{icon}") a = (scratch_.Path() / "one.ico").string();
    if (a == "{large}") a = (scratch_.Path() / "large.7z").string();
    if (a == "{version-setup}") a = (wine_tests::WindowsBinDir() / "version-setup.exe").string();
  }
  const auto [on_linux, under_wine] = PackBoth(args);
  ASSERT_TRUE(fs::is_regular_file(on_linux));
  ASSERT_TRUE(fs::is_regular_file(under_wine));
  EXPECT_TRUE(IdenticalFiles(on_linux, under_wine));
}

// Every version string named, so that no row but those about the version block warns.
#define NAMED                                                                                    \
  "--product-name", "P", "--company-name", "C", "--product-version", "1.0", "--legal-copyright", \
      "none"

// Setup is stored plain but in the rows about storage, so that each row differs from SetupPlain in
// its own input only; the layouts below store it as a cabinet as well.
INSTANTIATE_TEST_SUITE_P(
    Inputs, SameBytes,
    ::testing::Values(
        SameBytesCase{"SetupAsCabinet", {"--archive", "{archive}", "--setup", "{setup}", NAMED}},
        SameBytesCase{
            "SetupPlain",
            {"--archive", "{archive}", "--setup", "{setup}", "--setup-storage", "plain", NAMED}},
        SameBytesCase{"GivenIcon",
                      {"--archive", "{archive}", "--setup", "{setup}", "--setup-storage", "plain",
                       "--icon", "{icon}", NAMED}},
        SameBytesCase{"VersionFromOptions",
                      {"--archive",
                       "{archive}",
                       "--setup",
                       "{setup}",
                       "--setup-storage",
                       "plain",
                       "--product-name",
                       "Product",
                       "--company-name",
                       "Company",
                       "--legal-copyright",
                       "(c) 2026",
                       "--product-version",
                       "2.5-beta",
                       "--file-version",
                       "2.5.0.17",
                       "--product-version-number",
                       "2.5.0.0",
                       "--file-version-number",
                       "2.5.0.17",
                       "--file-description",
                       "The installer",
                       "--comments",
                       "a comment",
                       "--internal-name",
                       "inner",
                       "--original-filename",
                       "product-setup.exe"}},
        SameBytesCase{
            "VersionFromSetup",
            {"--archive", "{archive}", "--setup", "{version-setup}", "--setup-storage", "plain"}},
        // An archive of 0 bytes breaks a rule of the layout; --unchecked writes it.
        SameBytesCase{"EmptyArchive",
                      {"--archive", "{empty}", "--setup", "{setup}", "--setup-storage", "plain",
                       "--unchecked", NAMED}},
        SameBytesCase{
            "ArchiveOf5MiB",
            {"--archive", "{large}", "--setup", "{setup}", "--setup-storage", "plain", NAMED}},
        SameBytesCase{"RawResources",
                      {"--archive", "{archive}", "--setup", "{setup}", "--setup-storage", "plain",
                       "--resource", "TEXT", "README.TXT", "{readme}", "--resource", "10", "5",
                       "{readme}", "--resource", "notes", "small.txt", "{readme}", NAMED}},
        SameBytesCase{"RawLayoutOnly",
                      {"--resource", "B7", "nimbet.packed.7z", "{archive}", "--resource", "BL",
                       "setup.ex_", "{cabinet}", NAMED}},
        // Beyond the Basic Multilingual Plane too: a pair of UTF-16 units in the block.
        SameBytesCase{"NonAsciiValues",
                      {"--archive", "{archive}", "--setup", "{setup}", "--setup-storage", "plain",
                       "--product-name", "\u00dcn\u00efc\u00f8d\u00e9 \u6d4b\u8bd5",
                       "--company-name", "Soci\u00e9t\u00e9 \u682a\u5f0f\u4f1a\u793e",
                       "--file-description", "Gift \U0001f381 inside", "--product-version",
                       "1.0 \u03b2", "--legal-copyright", "\u00a9 2026"}}),
    [](const ::testing::TestParamInfo<SameBytesCase>& info) {
      return std::string(info.param.name);
    });

#undef NAMED

// The layouts of the packer's table, packed --unchecked: raw entries of every kind.
class SameLayout : public TwoBuilds, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(SameLayout, FromBothBuilds) {
  std::vector<std::string> args = Expand(GetParam().arguments, in_);
  args.insert(args.end(), NamedProduct().begin(), NamedProduct().end());
  args.push_back("--unchecked");
  const auto [on_linux, under_wine] = PackBoth(args);
  EXPECT_TRUE(IdenticalFiles(on_linux, under_wine));
}

INSTANTIATE_TEST_SUITE_P(Table, SameLayout, ::testing::ValuesIn(LayoutCases()),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) {
                           return std::string(info.param.name);
                         });

// inspect's report, as text and as JSON, is the same from both builds for one installer.
TEST_F(TwoBuilds, InspectSaysTheSame) {
  const fs::path installer = scratch_.Path() / "installer.exe";
  std::vector<std::string> args = {
      "--archive", in_.archive.string(),
      "--setup",   (wine_tests::WindowsBinDir() / "version-setup.exe").string(),
      "--output",  installer.string()};
  ASSERT_EQ(PackWith(LinuxStubpack(), args).exit_status, 0);
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"inspect", installer.string()},
        std::vector<std::string>{"inspect", "--json", installer.string()}}) {
    SCOPED_TRACE(command[1]);
    std::vector<std::string> on_linux = {LinuxStubpack().string()},
                             under_wine = {WindowsStubpack().string()};
    on_linux.insert(on_linux.end(), command.begin(), command.end());
    under_wine.insert(under_wine.end(), command.begin(), command.end());
    const ProcessResult a = RunProcess(on_linux), b = RunProcess(under_wine);
    EXPECT_EQ(a.exit_status, 0) << a.output;
    EXPECT_EQ(b.exit_status, a.exit_status) << b.output;
    ASSERT_NE(a.output, "");
    EXPECT_TRUE(SameText(a.output, b.output));
  }
}

// --- Paths: spaces, non-ASCII names and a directory deeper than 260 UTF-16 units. ---

TEST_F(TwoBuilds, LongAndNonAsciiPaths) {
  const fs::path named =
      scratch_.Path() / "with spaces" / "\u00dcn\u00efc\u00f8d\u00e9 \u6d4b\u8bd5";
  const fs::path deep = wine_tests::DirectoryOfWindowsLength(named, 300, "\u6df1");
  ASSERT_FALSE(deep.empty());
  ASSERT_GT(wine_tests::Utf16Units(wine_tests::WindowsPath(deep)), 260u);
  const fs::path input_dir = deep / "inputs";
  fs::create_directories(input_dir);
  const fs::path archive = input_dir / "my archive \u6d4b\u8bd5.7z";
  const fs::path setup = input_dir / "set up \u00dcn\u00ef.exe";
  fs::copy_file(in_.archive, archive);
  fs::copy_file(in_.setup, setup);
  const std::string name = "installer \u2713.exe";
  const std::vector<std::string> named_product = {
      "--product-name",    "P",   "--company-name",    "C",
      "--product-version", "1.0", "--legal-copyright", "none"};

  // The setup's storage decides which scratch files are written beside the output.
  for (const char* storage : {"plain", "cabinet"}) {
    SCOPED_TRACE(storage);
    const fs::path output_dir = deep / (std::string("out put ") + storage);
    fs::create_directories(output_dir);
    std::vector<std::string> args = {
        "--archive",       archive.string(), "--setup",  setup.string(),
        "--setup-storage", storage,          "--output", (output_dir / name).string()};
    args.insert(args.end(), named_product.begin(), named_product.end());
    const ProcessResult packed = PackWith(WindowsStubpack(), args);
    EXPECT_EQ(packed.exit_status, 0) << packed.output;
    EXPECT_NE(packed.output.find("stubpack: wrote " + (output_dir / name).string() + " ("),
              std::string::npos)
        << packed.output;
    EXPECT_EQ(wine_tests::ListDirectory(output_dir), std::vector<std::string>{name})
        << "something was left beside the output";

    // The same inputs from short paths through the Linux build: the same bytes.
    const fs::path linux_dir = scratch_.Path() / "linux" / storage;
    fs::create_directories(linux_dir);
    std::vector<std::string> short_args = {"--archive",       in_.archive.string(),
                                           "--setup",         in_.setup.string(),
                                           "--setup-storage", storage,
                                           "--output",        (linux_dir / name).string()};
    short_args.insert(short_args.end(), named_product.begin(), named_product.end());
    const ProcessResult linux_packed = PackWith(LinuxStubpack(), short_args);
    ASSERT_EQ(linux_packed.exit_status, 0) << linux_packed.output;
    if (packed.exit_status == 0) {
      EXPECT_TRUE(IdenticalFiles(linux_dir / name, output_dir / name));
    }
  }
  EXPECT_EQ(wine_tests::ListDirectory(input_dir),
            (std::vector<std::string>{archive.filename().string(), setup.filename().string()}));

  // A refusal names the long path as it was given.
  const fs::path missing = input_dir / "missing \u6d4b\u8bd5.7z";
  const ProcessResult failed =
      PackWith(WindowsStubpack(), {"--archive", missing.string(), "--setup", setup.string(),
                                   "--output", (deep / name).string()});
  EXPECT_EQ(failed.exit_status, 3) << failed.output;
  EXPECT_NE(failed.output.find(missing.string() + ": cannot be read"), std::string::npos)
      << failed.output;
  EXPECT_FALSE(fs::exists(deep / name));
}

// --- What stubpack.exe packs installs under Wine: the stub expands demo-setup from its
// cabinet, demo-setup installs the archive, and nothing is left beside the installer. ---

TEST_F(TwoBuilds, PackedByTheWindowsBuildInstallsUnderWine) {
  const fs::path demo = wine_tests::WindowsBinDir() / "demo-setup.exe";
  ASSERT_TRUE(fs::is_regular_file(demo)) << "build the windows preset first";
  for (const char* storage : {"plain", "cabinet"}) {
    SCOPED_TRACE(storage);
    const fs::path run = scratch_.Path() / storage / "r\u00fcn \u6d4b\u8bd5";
    const fs::path install = scratch_.Path() / storage / "install";
    fs::create_directories(run);
    const fs::path installer = run / "installer.exe";
    const ProcessResult packed =
        PackWith(WindowsStubpack(), {"--archive", in_.archive.string(), "--setup", demo.string(),
                                     "--setup-storage", storage, "--output", installer.string()});
    EXPECT_EQ(packed.exit_status, 0) << packed.output;
    if (packed.exit_status != 0) continue;
    const std::string command_line =
        "\"" + wine_tests::WindowsPath(installer) + "\" --install-dir=\"" +
        wine_tests::WindowsPath(install) + "\" --report=\"" +
        wine_tests::WindowsPath(scratch_.Path() / storage / "report") + "\"";
    const wine_tests::LaunchResult ran =
        wine_tests::LaunchRaw(installer, command_line, scratch_.Path());
    EXPECT_TRUE(ran.exit_code.has_value()) << ran.diagnostics;
    EXPECT_EQ(ran.exit_code.value_or(~0u), 0u) << ReadText(scratch_.Path() / storage / "report");
    EXPECT_TRUE(ReadText(install / "archive.7z") == ReadText(in_.archive))
        << "the installed archive differs from the packed one";
    EXPECT_EQ(wine_tests::ListDirectory(run), std::vector<std::string>{"installer.exe"})
        << "a work directory or setup.exe was left behind";
  }
}

}  // namespace
}  // namespace packer_tests
