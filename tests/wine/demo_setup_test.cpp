// demo-setup.exe under Wine: started directly with the command line a stub gives setup, against
// test installers that carry a real 7z archive and damaged copies of it; and once as the setup
// cabinet of a stub, from the stub's start to its end.
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "tests/wine/wine_harness.h"

namespace wine_tests {
namespace {

// demo-setup's exit codes are its interface, so they are written out here, not borrowed.
constexpr uint32_t kBadCommandLine = 200;
constexpr uint32_t kBadForwardedSwitch = 201;
constexpr uint32_t kStubNotOpened = 202;
constexpr uint32_t kArchiveNotFound = 203;
constexpr uint32_t kNotA7zArchive = 204;
constexpr uint32_t kCrcMismatch = 205;
constexpr uint32_t kInstallFailed = 206;
constexpr uint32_t kReportFailed = 207;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The report's lines, without their CR LF.
std::vector<std::string> ReportLines(const fs::path& path) {
  std::vector<std::string> lines;
  const std::string text = ReadBytes(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& candidate : lines) {
    if (candidate == line) return true;
  }
  return false;
}

std::string Describe(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

class DemoSetupRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {"launcher.exe", "demo-setup.exe", "demo-setup-archives.exe",
                                "demo-setup-installer.exe", "demo-setup-fixtures/archive.7z"}) {
      ASSERT_TRUE(fs::is_regular_file(WindowsBinDir() / program))
          << (WindowsBinDir() / program)
          << " is missing; build the windows preset (it needs 7zz, gcab and python3)";
    }
    ASSERT_FALSE(scratch_.Path().empty()) << "cannot make a scratch directory under /tmp";
    archive_ = ReadBytes(WindowsBinDir() / "demo-setup-fixtures" / "archive.7z");
    ASSERT_GE(archive_.size(), 32u);
    const std::string problem = PrepareWine();
    ASSERT_EQ(problem, "");
  }

  // The stored start-header CRC as demo-setup prints it: 7zz wrote it, demo-setup recomputes it.
  std::string StoredCrc() const {
    uint32_t crc = 0;
    for (int i = 3; i >= 0; --i) crc = (crc << 8) | static_cast<uint8_t>(archive_[8 + i]);
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", crc);
    return text;
  }

  // Fills in {setup} {archives} {fixtures} {scratch} {install} {report} {crc} {size}.
  std::string Expand(std::string text) const {
    ReplaceAll(text, "{setup}", WindowsPath(WindowsBinDir() / "demo-setup.exe"));
    ReplaceAll(text, "{archives}", WindowsPath(WindowsBinDir() / "demo-setup-archives.exe"));
    ReplaceAll(text, "{fixtures}", WindowsPath(WindowsBinDir() / "demo-setup-fixtures"));
    ReplaceAll(text, "{scratch}", WindowsPath(scratch_.Path()));
    ReplaceAll(text, "{install}", WindowsPath(InstallDir()));
    ReplaceAll(text, "{report}", WindowsPath(ReportPath()));
    ReplaceAll(text, "{crc}", StoredCrc());
    ReplaceAll(text, "{size}", std::to_string(archive_.size()));
    return text;
  }

  fs::path InstallDir() const { return scratch_.Path() / "install"; }
  fs::path ReportPath() const { return scratch_.Path() / "report.txt"; }

  ScratchDirectory scratch_;
  std::string archive_;
};

// --- demo-setup started as a stub would start it. ---

// The three switches a stub gives, naming the good archive; and where the outcome goes.
#define STUB_SWITCHES                                                            \
  "--pellorin-path=\"{archives}\" --archive-resource-name=\"NIMBET.PACKED.7Z\" " \
  "--archive-resource-type=\"B7\""
#define OUTPUT " --install-dir=\"{install}\" --report=\"{report}\""
#define ARCHIVE(name)                                              \
  "--pellorin-path=\"{archives}\" --archive-resource-name=\"" name \
  "\""                                                             \
  " --archive-resource-type=\"B7\"" OUTPUT

struct DirectCase {
  const char* name;
  const char* arguments;  // after the quoted own path
  uint32_t exit_code;
  bool installs;
  bool reports;
  std::vector<std::string> report_lines;  // each must be a whole line of the report
};

constexpr bool kInstalls = true;
constexpr bool kNothingInstalled = false;
constexpr bool kReports = true;
constexpr bool kNoReport = false;

void PrintTo(const DirectCase& row, std::ostream* out) { *out << row.name; }

class DirectRun : public DemoSetupRun, public ::testing::WithParamInterface<DirectCase> {};

TEST_P(DirectRun, EndsWithItsCodeInstallsAndReports) {
  const DirectCase& row = GetParam();
  // A regular file where a directory is wanted, for the install that cannot be made.
  std::ofstream(scratch_.Path() / "a-file") << "not a directory\n";

  const std::string command_line = Expand(std::string("\"{setup}\" ") + row.arguments);
  const LaunchResult run =
      LaunchRaw(WindowsBinDir() / "demo-setup.exe", command_line, scratch_.Path());
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, row.exit_code) << command_line;

  const fs::path installed = InstallDir() / "archive.7z";
  if (row.installs) {
    ASSERT_TRUE(fs::is_regular_file(installed)) << Join(ListDirectory(scratch_.Path()));
    EXPECT_TRUE(ReadBytes(installed) == archive_)
        << "the installed archive differs from the built one";
  } else {
    EXPECT_FALSE(fs::exists(installed));
  }

  if (!row.reports) {
    EXPECT_FALSE(fs::exists(ReportPath()));
    return;
  }
  ASSERT_TRUE(fs::is_regular_file(ReportPath())) << Join(ListDirectory(scratch_.Path()));
  const std::vector<std::string> lines = ReportLines(ReportPath());
  // Every report starts with the command line exactly as it came, and ends with the exit code.
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "command-line: " + command_line);
  char code[64];
  std::snprintf(code, sizeof(code), "exit-code: %u (0x%08X)", row.exit_code, row.exit_code);
  EXPECT_EQ(lines.back(), code);
  for (const std::string& expected : row.report_lines) {
    EXPECT_TRUE(Contains(lines, Expand(expected)))
        << "no line \"" << Expand(expected) << "\" in" << Describe(lines);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DirectRun,
    ::testing::Values(
        DirectCase{"GoodRun",
                   STUB_SWITCHES OUTPUT,
                   0,
                   kInstalls,
                   kReports,
                   {"pellorin-path: {archives}", "archive-resource-name: NIMBET.PACKED.7Z",
                    "archive-resource-type: B7",
                    "forwarded:  --install-dir=\"{install}\" --report=\"{report}\"",
                    "forwarded-argument: --install-dir={install}",
                    "forwarded-argument: --report={report}", "archive-size: {size}",
                    "archive-version: 0.4", "start-header-crc: stored {crc}, computed {crc}, match",
                    "installed: {install}\\archive.7z", "result: installed"}},
        // The forwarded text is reported as it came: tab, double space and quotes kept.
        DirectCase{"ForwardedTextVerbatim",
                   STUB_SWITCHES
                   "\t--install-dir=\"{install}\"  --report=\"{report}\" \"two words\"",
                   0,
                   kInstalls,
                   kReports,
                   {"forwarded: \t--install-dir=\"{install}\"  --report=\"{report}\" \"two words\"",
                    "forwarded-argument: two words"}},
        DirectCase{
            "ExitCodeThree", STUB_SWITCHES OUTPUT " --exit-code=3", 3, kInstalls, kReports, {}},
        DirectCase{"ExitCodeHighBitHex",
                   STUB_SWITCHES OUTPUT " --exit-code=0xC0000005",
                   0xC0000005u,
                   kInstalls,
                   kReports,
                   {}},
        DirectCase{"ExitCodeLargestDecimal",
                   STUB_SWITCHES OUTPUT " --exit-code=4294967295",
                   0xFFFFFFFFu,
                   kInstalls,
                   kReports,
                   {}},
        // The last of a repeated switch wins.
        DirectCase{"ExitCodeRepeated",
                   STUB_SWITCHES OUTPUT " --exit-code=9 --exit-code=0X8000abcd",
                   0x8000ABCDu,
                   kInstalls,
                   kReports,
                   {}},
        DirectCase{
            "TypeSwitchMissing",
            "--pellorin-path=\"{archives}\" --archive-resource-name=\"NIMBET.PACKED.7Z\"" OUTPUT,
            kBadCommandLine,
            kNothingInstalled,
            kReports,
            {"result: missing --archive-resource-type=\"...\" as argument 3"}},
        DirectCase{"SwitchesOutOfOrder",
                   "--archive-resource-name=\"NIMBET.PACKED.7Z\" --pellorin-path=\"{archives}\" "
                   "--archive-resource-type=\"B7\"" OUTPUT,
                   kBadCommandLine,
                   kNothingInstalled,
                   kReports,
                   {"result: missing --pellorin-path=\"...\" as argument 1"}},
        DirectCase{"EmptyResourceName",
                   "--pellorin-path=\"{archives}\" --archive-resource-name=\"\" "
                   "--archive-resource-type=\"B7\"" OUTPUT,
                   kBadCommandLine,
                   kNothingInstalled,
                   kReports,
                   {"result: empty value of --archive-resource-name="}},
        DirectCase{"ExitCodeOver32Bits",
                   STUB_SWITCHES OUTPUT " --exit-code=0x100000000",
                   kBadForwardedSwitch,
                   kNothingInstalled,
                   kReports,
                   {}},
        DirectCase{"ExitCodeNotANumber",
                   STUB_SWITCHES OUTPUT " --exit-code=12a",
                   kBadForwardedSwitch,
                   kNothingInstalled,
                   kReports,
                   {}},
        DirectCase{"ExitCodeNegative",
                   STUB_SWITCHES OUTPUT " --exit-code=-1",
                   kBadForwardedSwitch,
                   kNothingInstalled,
                   kReports,
                   {}},
        DirectCase{"StubMissing",
                   "--pellorin-path=\"{scratch}\\no-such.exe\" "
                   "--archive-resource-name=\"NIMBET.PACKED.7Z\" "
                   "--archive-resource-type=\"B7\"" OUTPUT,
                   kStubNotOpened,
                   kNothingInstalled,
                   kReports,
                   {}},
        DirectCase{"StubNotAnImage",
                   "--pellorin-path=\"{fixtures}\\archive.7z\" "
                   "--archive-resource-name=\"NIMBET.PACKED.7Z\" "
                   "--archive-resource-type=\"B7\"" OUTPUT,
                   kStubNotOpened,
                   kNothingInstalled,
                   kReports,
                   {}},
        DirectCase{"WrongResourceName",
                   ARCHIVE("NIMBET.PACKED.ZIP"),
                   kArchiveNotFound,
                   kNothingInstalled,
                   kReports,
                   {}},
        DirectCase{"WrongResourceType",
                   "--pellorin-path=\"{archives}\" --archive-resource-name=\"NIMBET.PACKED.7Z\" "
                   "--archive-resource-type=\"BN\"" OUTPUT,
                   kArchiveNotFound,
                   kNothingInstalled,
                   kReports,
                   {}},
        DirectCase{"SignatureByteWrong",
                   ARCHIVE("NIMBET.SIGNATURE"),
                   kNotA7zArchive,
                   kNothingInstalled,
                   kReports,
                   {"result: not a 7z archive: no 7z signature"}},
        DirectCase{"ShorterThanStartHeader",
                   ARCHIVE("NIMBET.SHORT"),
                   kNotA7zArchive,
                   kNothingInstalled,
                   kReports,
                   {"archive-size: 31",
                    "result: not a 7z archive: shorter than its 32-byte start header"}},
        DirectCase{"StoredCrcWrong",
                   ARCHIVE("NIMBET.CRC.FIELD"),
                   kCrcMismatch,
                   kNothingInstalled,
                   kReports,
                   {"result: the archive's start header is damaged"}},
        DirectCase{"FirstCoveredByteWrong",
                   ARCHIVE("NIMBET.CRC.FIRST"),
                   kCrcMismatch,
                   kNothingInstalled,
                   kReports,
                   {}},
        DirectCase{"LastCoveredByteWrong",
                   ARCHIVE("NIMBET.CRC.LAST"),
                   kCrcMismatch,
                   kNothingInstalled,
                   kReports,
                   {}},
        // Its own failure outranks the code it was asked for.
        DirectCase{"OwnFailureOutranksRequest",
                   ARCHIVE("NIMBET.CRC.LAST") " --exit-code=3",
                   kCrcMismatch,
                   kNothingInstalled,
                   kReports,
                   {}},
        DirectCase{"InstallDirectoryUnderAFile",
                   STUB_SWITCHES
                   " --install-dir=\"{scratch}\\a-file\\inside\" --report=\"{report}\"",
                   kInstallFailed,
                   kNothingInstalled,
                   kReports,
                   {}},
        // Installed, but the report's directory does not exist.
        DirectCase{"ReportDirectoryMissing",
                   STUB_SWITCHES
                   " --install-dir=\"{install}\" --report=\"{scratch}\\none\\report.txt\"",
                   kReportFailed,
                   kInstalls,
                   kNoReport,
                   {}},
        // Even a requested code gives way to the failed report.
        DirectCase{"ReportFailureOutranksRequest",
                   STUB_SWITCHES
                   " --install-dir=\"{install}\" --report=\"{scratch}\\none\\report.txt\" "
                   "--exit-code=3",
                   kReportFailed,
                   kInstalls,
                   kNoReport,
                   {}}),
    [](const ::testing::TestParamInfo<DirectCase>& info) { return info.param.name; });

// Without --install-dir and --report both go to %LOCALAPPDATA%\NimbetDemo of the prefix's user.
TEST_F(DemoSetupRun, InstallsIntoLocalAppDataByDefault) {
  const ProcessResult echoed = RunWine({"cmd", "/c", "echo", "%LOCALAPPDATA%"});
  ASSERT_EQ(echoed.exit_status, 0) << echoed.output;
  std::string local = echoed.output.substr(0, echoed.output.find_first_of("\r\n"));
  ASSERT_FALSE(local.empty() || local[0] == '%') << echoed.output;
  const ProcessResult unix_path = RunProcess({"winepath", "-u", local});
  ASSERT_EQ(unix_path.exit_status, 0) << unix_path.output;
  const fs::path folder =
      fs::path(unix_path.output.substr(0, unix_path.output.find('\n'))) / "NimbetDemo";
  std::error_code error;
  fs::remove_all(folder, error);

  const std::string command_line = Expand("\"{setup}\" " STUB_SWITCHES);
  const LaunchResult run =
      LaunchRaw(WindowsBinDir() / "demo-setup.exe", command_line, scratch_.Path());
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, 0u);
  const std::vector<std::string> listed = ListDirectory(folder);
  const std::string archive = ReadBytes(folder / "archive.7z");
  const std::vector<std::string> lines = ReportLines(folder / "setup-report.txt");
  fs::remove_all(folder, error);

  EXPECT_EQ(listed, (std::vector<std::string>{"archive.7z", "setup-report.txt"}));
  EXPECT_TRUE(archive == archive_) << "the installed archive differs from the built one";
  EXPECT_TRUE(Contains(lines, "installed: " + local + "\\NimbetDemo\\archive.7z"))
      << Describe(lines);
}

// --- The whole installation: the stub expands demo-setup from its cabinet and runs it. ---

// The stub hands over its own path and the archive's resource, demo-setup installs from the
// stub's file while the stub waits, and the stub ends with demo-setup's code after removing
// setup.exe and its work directory: demo-setup holds neither once it has ended.
TEST_F(DemoSetupRun, StubRunsItAsSetupAndEndsWithItsCode) {
  const fs::path directory = scratch_.Path() / "run";
  fs::create_directories(directory);
  const fs::path installer = directory / "installer.exe";
  fs::copy_file(WindowsBinDir() / "demo-setup-installer.exe", installer);

  const std::string forwarded = Expand(OUTPUT " --exit-code=0x8000ABCD");
  const LaunchResult run =
      LaunchRaw(installer, "\"" + WindowsPath(installer) + "\"" + forwarded, scratch_.Path());
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, 0x8000ABCDu);
  EXPECT_EQ(ListDirectory(directory), (std::vector<std::string>{"installer.exe"}))
      << "a work directory or setup.exe was left behind";
  ASSERT_TRUE(fs::is_regular_file(InstallDir() / "archive.7z"));
  EXPECT_TRUE(ReadBytes(InstallDir() / "archive.7z") == archive_)
      << "the installed archive differs from the built one";

  // The command line demo-setup got: its path in the stub's work directory, then the stub's
  // switches and forwarded text, byte for byte.
  const std::vector<std::string> lines = ReportLines(ReportPath());
  ASSERT_FALSE(lines.empty()) << "no report";
  const std::string head = "command-line: \"" + WindowsPath(directory) + "\\VQ_";
  const std::string tail = ".tmp\\setup.exe\" --pellorin-path=\"" + WindowsPath(installer) +
                           "\" --archive-resource-name=\"NIMBET.PACKED.7Z\"" +
                           " --archive-resource-type=\"B7\"" + forwarded;
  const std::string& line = lines.front();
  ASSERT_EQ(line.size(), head.size() + 5 + tail.size()) << line;
  EXPECT_EQ(line.substr(0, head.size()), head);
  EXPECT_EQ(line.substr(head.size() + 5), tail);
  EXPECT_EQ(line.substr(head.size(), 5).find_first_not_of("0123456789ABCDEF"), std::string::npos)
      << line;
  EXPECT_TRUE(Contains(lines, "archive-size: " + std::to_string(archive_.size())))
      << Describe(lines);
}

}  // namespace
}  // namespace wine_tests
