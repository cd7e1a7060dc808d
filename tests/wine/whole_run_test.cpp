// Whole installations under Wine: an installer packed at test time by stubpack from a real 7z
// archive and demo-setup.exe, started through the launcher with a raw command line. The stub
// expands setup, hands it the command line it must build, waits, removes what it extracted and
// ends with setup's code; the report that demo-setup writes shows what it received.
#include <algorithm>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include <iterator>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "tests/packer/packer_fixture.h"
#include "tests/wine/wine_harness.h"

namespace wine_tests {
namespace {

// The stub's exit codes are its interface, so they are written out here, not borrowed.
constexpr uint32_t kSetupNotExtracted = 115;
constexpr uint32_t kResourceWriteFailed = 116;
constexpr uint32_t kUnsupportedSwitch = 118;
constexpr uint32_t kSetupLaunchFailed = 124;

const char kArchiveName[] = "NIMBET.PACKED.7Z";
const char kArchiveType[] = "B7";

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The report's first line without "command-line: ", which demo-setup writes as it got it.
std::string ReceivedCommandLine(const fs::path& report) {
  const std::string text = ReadBytes(report);
  const std::string key = "command-line: ";
  if (text.compare(0, key.size(), key) != 0) return "<no command-line line in the report>";
  const size_t end = text.find("\r\n");
  return text.substr(key.size(), end == std::string::npos ? std::string::npos : end - key.size());
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::string Visible(const std::string& text) {
  std::string shown = text;
  ReplaceAll(shown, "\t", "<TAB>");
  return shown;
}

// Setup's command line as the stub must build it: setup's quoted path in the work directory,
// the three switches with their quoted values, then `forwarded` as it is. The work directory's
// five hex digits are random, so they are matched as a pattern.
::testing::AssertionResult IsSetupCommandLine(const std::string& received,
                                              const fs::path& installer,
                                              const std::string& forwarded) {
  const std::string head = "\"" + WindowsPath(installer.parent_path()) + "\\VQ_";
  const std::string tail = ".tmp\\setup.exe\" --pellorin-path=\"" + WindowsPath(installer) +
                           "\" --archive-resource-name=\"" + kArchiveName +
                           "\" --archive-resource-type=\"" + kArchiveType + "\"" + forwarded;
  const bool matches =
      received.size() == head.size() + 5 + tail.size() &&
      received.compare(0, head.size(), head) == 0 &&
      received.compare(head.size() + 5, std::string::npos, tail) == 0 &&
      received.substr(head.size(), 5).find_first_not_of("0123456789ABCDEF") == std::string::npos;
  if (matches) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "setup received\n  " << Visible(received) << "\nexpected\n  " << Visible(head)
         << "XXXXX" << Visible(tail);
}

bool IsWorkDirectoryName(const std::string& listed) {
  static const std::regex kName("VQ_[0-9A-F]{5}\\.tmp/");
  return std::regex_match(listed, kName);
}

const std::vector<std::string> kOnlyTheInstaller = {"installer.exe"};

class WholeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch_.Path().empty()) << "cannot make a scratch directory under /tmp";
    ASSERT_TRUE(fs::is_regular_file(packer_tests::Stubpack())) << packer_tests::Stubpack();
    for (const char* program : {"stub.exe", "launcher.exe", "demo-setup.exe"}) {
      ASSERT_TRUE(fs::is_regular_file(WindowsBinDir() / program))
          << (WindowsBinDir() / program) << " is missing; build the windows preset first";
    }
    ASSERT_EQ(PrepareWine(), "");
    inputs_ = packer_tests::MakeInputs(scratch_.Path() / "in");
    archive_ = ReadBytes(inputs_.archive);
    ASSERT_GE(archive_.size(), 32u) << "7zz made no archive";
    demo_setup_ = WindowsBinDir() / "demo-setup.exe";
  }

  // Packs `setup` with the archive into DIRECTORY/installer.exe, creating DIRECTORY.
  fs::path PackInstaller(const fs::path& directory, const fs::path& setup,
                         const std::vector<std::string>& options = {}) {
    fs::create_directories(directory);
    const fs::path installer = directory / "installer.exe";
    std::vector<std::string> arguments = {"--archive", inputs_.archive.string(),
                                          "--setup",   setup.string(),
                                          "--output",  installer.string()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    const ProcessResult packed = packer_tests::Pack(arguments);
    EXPECT_EQ(packed.exit_status, 0) << packed.output;
    return installer;
  }

  // `command_line` with "{stub}" for the installer's Windows path (unquoted) and "{out}" for
  // demo-setup's switches that send the installation and the report into the scratch directory.
  LaunchResult Run(const fs::path& installer, std::string command_line) {
    ReplaceAll(command_line, "{stub}", WindowsPath(installer));
    ReplaceAll(command_line, "{out}", OutputSwitches());
    return LaunchRaw(installer, command_line, scratch_.Path());
  }

  std::string OutputSwitches() const {
    return " --install-dir=\"" + WindowsPath(InstallDir()) + "\" --report=\"" +
           WindowsPath(ReportPath()) + "\"";
  }
  fs::path InstallDir() const { return scratch_.Path() / "install"; }
  fs::path ReportPath() const { return scratch_.Path() / "report.txt"; }

  // demo-setup padded to 7 MiB after its image with bytes of four random bits each: the loader
  // ignores what follows the image, and MSZIP brings such bytes to about half.
  fs::path LargeSetup() {
    std::string bytes = ReadBytes(demo_setup_);
    uint32_t state = 2463534242u;
    while (bytes.size() < 7u * 1024 * 1024) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      bytes.push_back(static_cast<char>(state & 0x0F));
    }
    const fs::path setup = scratch_.Path() / "in" / "large-setup.exe";
    WriteBytes(setup, bytes);
    return setup;
  }

  ScratchDirectory scratch_;
  packer_tests::Inputs inputs_;
  std::string archive_;
  fs::path demo_setup_;
};

// --- Setup's exit code becomes the stub's, all 32 bits. ---

struct ExitCodeCase {
  const char* name;
  const char* requested;  // the value of the forwarded --exit-code=
  uint32_t exit_code;
};

void PrintTo(const ExitCodeCase& row, std::ostream* out) { *out << row.name; }

class SetupExitCode : public WholeRun, public ::testing::WithParamInterface<ExitCodeCase> {};

// 112 is also the stub's own code for a missing archive; the installed archive shows that setup
// ran and the code is setup's.
TEST_P(SetupExitCode, ComesBackWholeAfterTheInstallation) {
  const fs::path installer = PackInstaller(scratch_.Path() / "run", demo_setup_);
  const LaunchResult run =
      Run(installer, std::string("\"{stub}\"{out} --exit-code=") + GetParam().requested);
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, GetParam().exit_code);
  EXPECT_EQ(ListDirectory(installer.parent_path()), kOnlyTheInstaller)
      << "a work directory or setup.exe was left behind";
  ASSERT_TRUE(fs::is_regular_file(InstallDir() / "archive.7z")) << "setup installed nothing";
  EXPECT_TRUE(ReadBytes(InstallDir() / "archive.7z") == archive_)
      << "the installed archive differs from the packed one";
}

INSTANTIATE_TEST_SUITE_P(Codes, SetupExitCode,
                         ::testing::Values(ExitCodeCase{"Zero", "0", 0},
                                           ExitCodeCase{"Three", "3", 3},
                                           ExitCodeCase{"SameAsTheStubsOwn112", "112", 112},
                                           ExitCodeCase{"HighBitSet", "0xC0000005", 0xC0000005u}),
                         [](const ::testing::TestParamInfo<ExitCodeCase>& info) {
                           return info.param.name;
                         });

// --- Where the installer may be: long, non-Latin and root directories. ---

struct DirectoryCase {
  const char* name;
  size_t ascii_units;  // the directory's Windows path with its backslash, padded to this
  const char* unit;    // or: this character (UTF-8) repeated `repeats` times in the path
  size_t repeats;
  bool drive_root;     // or: the root of a drive of its own
  uint32_t exit_code;  // 7, setup's own, unless the stub's own rules refuse the directory
};

void PrintTo(const DirectoryCase& row, std::ostream* out) { *out << row.name; }

class InstallerDirectory : public WholeRun, public ::testing::WithParamInterface<DirectoryCase> {
 protected:
  // Wine turns its own command line into UTF-16 by the locale's code page; non-ASCII paths pass
  // whole only under UTF-8.
  void SetUp() override {
    setenv("LC_ALL", "C.UTF-8", 1);
    WholeRun::SetUp();
  }

  fs::path Directory(const DirectoryCase& c) {
    if (c.drive_root) {
      // A drive of the prefix's own whose root is an empty scratch directory.
      const fs::path root = scratch_.Path() / "root";
      fs::create_directories(root);
      const fs::path device = fs::path(Setting("STUB_WINE_PREFIX")) / "dosdevices" / "r:";
      std::error_code error;
      fs::remove(device, error);
      fs::create_directory_symlink(root, device, error);
      EXPECT_FALSE(error) << device << ": " << error.message();
      drive_ = device;
      return root;
    }
    fs::path directory = scratch_.Path() / "l";
    if (c.unit != nullptr) {
      // Linux keeps at most 255 bytes a name: 80 characters of up to four bytes each.
      for (size_t left = c.repeats; left > 0;) {
        const size_t take = std::min<size_t>(left, 80);
        std::string part;
        for (size_t i = 0; i < take; ++i) part += c.unit;
        directory /= part;
        left -= take;
      }
      return directory;
    }
    directory = DirectoryOfWindowsLength(directory, c.ascii_units, "d");
    EXPECT_EQ(Utf16Units(WindowsPath(directory)) + 1, c.ascii_units) << WindowsPath(directory);
    return directory;
  }

  void TearDown() override {
    std::error_code error;
    if (!drive_.empty()) fs::remove(drive_, error);
  }

  fs::path drive_;
};

// The default layout, setup in a cabinet. The stub's own rules accept stub directories of up to
// 237 units for it (setup.exe and SETUP.EX_ in a work directory of 13 units, under 260); the
// cabinet library never sees the directory, and the work directory is made through the
// extended form of its path, so neither the library's byte buffers nor Windows' 247-unit
// directory limit come short of those rules.
TEST_P(InstallerDirectory, InstallsWhereverTheStubsRulesAcceptIt) {
  const DirectoryCase& c = GetParam();
  const fs::path directory = Directory(c);
  const fs::path installer = PackInstaller(directory, demo_setup_);
  const std::string stub = c.drive_root ? std::string("R:\\installer.exe") : WindowsPath(installer);
  const LaunchResult run = LaunchRaw(
      installer, "\"" + stub + "\"" + OutputSwitches() + " --exit-code=7", scratch_.Path());
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, c.exit_code)
      << Utf16Units(WindowsPath(directory)) + 1 << " units: " << WindowsPath(directory);
  EXPECT_EQ(ListDirectory(directory), kOnlyTheInstaller) << "left beside the installer";
  if (c.exit_code == 7) {
    EXPECT_TRUE(ReadBytes(InstallDir() / "archive.7z") == archive_) << "setup installed nothing";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Directories, InstallerDirectory,
    ::testing::Values(DirectoryCase{"Ascii236Units", 236, nullptr, 0, false, 7},
                      DirectoryCase{"Ascii237Units", 237, nullptr, 0, false, 7},
                      DirectoryCase{"Ascii238UnitsIsTooLongByTheStubsRules", 238, nullptr, 0, false,
                                    108},
                      DirectoryCase{"Cjk70Characters", 0, "\u4e2d", 70, false, 7},
                      DirectoryCase{"Cjk120Characters", 0, "\u6587", 120, false, 7},
                      DirectoryCase{"Cjk180Characters", 0, "\u5b57", 180, false, 7},
                      DirectoryCase{"SurrogatePairs", 0, "\U0001F4E6", 60, false, 7},
                      DirectoryCase{"DriveRoot", 0, nullptr, 0, true, 7}),
    [](const ::testing::TestParamInfo<DirectoryCase>& info) { return info.param.name; });

// --- What setup receives: the fixed part, then the stub's arguments as they came. ---

struct CommandLineCase {
  const char* name;
  const char* stub_command_line;  // "{stub}" the installer's path, "{out}" demo-setup's switches
  const char* forwarded;          // what must follow the fixed part, by the forwarding rules
};

void PrintTo(const CommandLineCase& row, std::ostream* out) { *out << row.name; }

class SetupCommandLine : public WholeRun, public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(SetupCommandLine, IsTheFixedPartAndTheForwardedText) {
  const fs::path installer = PackInstaller(scratch_.Path() / "run", demo_setup_);
  const LaunchResult run = Run(installer, GetParam().stub_command_line);
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, 0u);
  ASSERT_TRUE(fs::is_regular_file(ReportPath())) << "setup wrote no report";
  std::string forwarded = GetParam().forwarded;
  ReplaceAll(forwarded, "{out}", OutputSwitches());
  EXPECT_TRUE(IsSetupCommandLine(ReceivedCommandLine(ReportPath()), installer, forwarded));
  EXPECT_EQ(ListDirectory(installer.parent_path()), kOnlyTheInstaller);
}

// The rows where nothing is forwarded live in the keep-files test below: without forwarded
// switches demo-setup reports into the prefix's shared folder, which only a serial test may use.
INSTANTIATE_TEST_SUITE_P(
    Forwarding, SetupCommandLine,
    ::testing::Values(
        CommandLineCase{"QuotedFirstArgument", "\"{stub}\" --any-switch \"two words\"{out}",
                        " --any-switch \"two words\"{out}"},
        // The first argument is skipped in the raw text; the stub's path comes from the system.
        CommandLineCase{"UnquotedFirstArgument", "installer.exe --any-switch{out}",
                        " --any-switch{out}"},
        CommandLineCase{"NoSpaceAfterClosingQuote", "\"{stub}\"--any-switch{out}",
                        " --any-switch{out}"},
        CommandLineCase{"TabAfterUnquotedFirstArgument", "installer.exe\t--any-switch{out}",
                        "\t--any-switch{out}"},
        // Spacing inside the forwarded text is kept as it came.
        CommandLineCase{"SpacingKept", "\"{stub}\"   --a\t\t\"b  c\" {out}",
                        "   --a\t\t\"b  c\" {out}"}),
    [](const ::testing::TestParamInfo<CommandLineCase>& info) { return info.param.name; });

// --- Runs that end before setup. ---

TEST_F(WholeRun, CleanupSwitchGives118AndRunsNothing) {
  const fs::path installer = PackInstaller(scratch_.Path() / "run", demo_setup_);
  const LaunchResult run = Run(installer, "\"{stub}\" --cleanup{out}");
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, kUnsupportedSwitch);
  EXPECT_EQ(ListDirectory(installer.parent_path()), kOnlyTheInstaller);
  EXPECT_FALSE(fs::exists(ReportPath())) << "setup ran";
  EXPECT_FALSE(fs::exists(InstallDir())) << "setup ran";
}

// A setup that leaves a file in the work directory: the stub's removal of the directory gives up
// after its retries (about 10 s), and the exit code is still setup's.
TEST_F(WholeRun, SetupThatLeavesAFileKeepsTheWorkDirectoryAndItsExitCode) {
  const fs::path installer = PackInstaller(scratch_.Path() / "run", demo_setup_);
  const LaunchResult run = Run(installer, "\"{stub}\" --exit-code=3 --leave-file{out}");
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, 3u);
  const std::vector<std::string> left = ListDirectory(installer.parent_path());
  ASSERT_EQ(left.size(), 2u);
  const auto at = std::find(left.begin(), left.end(), "installer.exe");
  ASSERT_NE(at, left.end());
  const std::string other = left[at == left.begin() ? 1 : 0];
  ASSERT_TRUE(IsWorkDirectoryName(other)) << other;
  const fs::path work = installer.parent_path() / other;
  EXPECT_EQ(ListDirectory(work), std::vector<std::string>{"left-behind.txt"})
      << "setup.exe is removed";
}

// A text file stored as the plain setup.exe is written, cannot be started (Wine gives error
// 193, as Windows does), and is removed again.
TEST_F(WholeRun, SetupThatIsNoProgramGives124AndLeavesNothing) {
  const fs::path directory = scratch_.Path() / "run";
  fs::create_directories(directory);
  const fs::path installer = directory / "installer.exe";
  const ProcessResult packed =
      packer_tests::Pack({"--archive", inputs_.archive.string(), "--resource", "BN", "SETUP.EXE",
                          inputs_.readme.string(), "--output", installer.string(), "--unchecked"});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  const LaunchResult run = Run(installer, "\"{stub}\"{out}");
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, kSetupLaunchFailed);
  EXPECT_EQ(ListDirectory(directory), kOnlyTheInstaller);
}

// --- A disk that holds the installer but not what it extracts. ---

// A tmpfs of `bytes` (rounded up to pages) mounted on `directory` for as long as it lives.
class SmallDisk {
 public:
  SmallDisk(const fs::path& directory, uintmax_t bytes) : directory_(directory) {
    fs::create_directories(directory_);
    const std::string size = "size=" + std::to_string((bytes + 4095) / 4096 * 4) + "k";
    const ProcessResult mounted =
        RunProcess({"mount", "-t", "tmpfs", "-o", size, "tmpfs", directory_.string()});
    mounted_ = mounted.exit_status == 0;
    refusal_ = mounted.output;
  }
  ~SmallDisk() {
    if (!mounted_) return;
    if (RunProcess({"umount", directory_.string()}).exit_status != 0) {
      ADD_FAILURE() << "umount " << directory_ << " failed; detaching it lazily";
      RunProcess({"umount", "-l", directory_.string()});
    }
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool Mounted() const { return mounted_; }
  const std::string& Refusal() const { return refusal_; }

 private:
  fs::path directory_;
  bool mounted_ = false;
  std::string refusal_;
};

uintmax_t Pages(uintmax_t bytes) { return (bytes + 4095) / 4096 * 4096; }

struct FullDiskCase {
  const char* name;
  std::vector<std::string> storage;  // packer options
  bool room_for_the_cabinet;         // the stored setup fits, its expansion does not
  uint32_t exit_code;
};

void PrintTo(const FullDiskCase& row, std::ostream* out) { *out << row.name; }

class FullDisk : public WholeRun, public ::testing::WithParamInterface<FullDiskCase> {};

// On a full disk Wine's WriteFile reports success for the part that fitted and fails only on the
// next call, where Windows fails the first; and Wine's cabinet library ignores a failed write and
// reports the file complete, where Windows' stops. The stub goes on after a short write and keeps
// its own record of a failed expansion write, so both systems end here with the same code.
TEST_P(FullDisk, EndsWithTheWriteFailureAndLeavesNothing) {
  const fs::path setup = LargeSetup();
  const uintmax_t setup_size = fs::file_size(setup);
  const fs::path packed = PackInstaller(scratch_.Path() / "packed", setup, GetParam().storage);
  ASSERT_TRUE(fs::is_regular_file(packed));
  // Half of setup.exe beyond the installer, and beyond the cabinet file where there is one:
  // the cabinet stays on disk while it is expanded.
  uintmax_t room = setup_size / 2;
  if (GetParam().room_for_the_cabinet) {
    std::string dump;
    uintmax_t cabinet = 0;
    for (const packer_tests::DumpedResource& r : packer_tests::ObjdumpResources(packed, dump)) {
      if (r.type == "BL" && r.name == "SETUP.EX_") cabinet = r.size;
    }
    ASSERT_GT(cabinet, 0u) << dump;
    room += Pages(cabinet);
  }

  const fs::path disk = scratch_.Path() / "disk";
  const SmallDisk small(disk, Pages(fs::file_size(packed)) + room);
  ASSERT_TRUE(small.Mounted()) << "mount -t tmpfs was refused: " << small.Refusal();
  const fs::path installer = disk / "installer.exe";
  fs::copy_file(packed, installer);

  const LaunchResult run = Run(installer, "\"{stub}\"{out}");
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, GetParam().exit_code);
  EXPECT_EQ(ListDirectory(disk), kOnlyTheInstaller) << "a partly written file was left";
  EXPECT_FALSE(fs::exists(ReportPath())) << "setup ran";
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FullDisk,
    ::testing::Values(FullDiskCase{"PlainSetupDoesNotFit",
                                   {"--setup-storage", "plain"},
                                   false,
                                   kResourceWriteFailed},
                      FullDiskCase{"CabinetFitsItsExpansionDoesNot", {}, true, kSetupNotExtracted}),
    [](const ::testing::TestParamInfo<FullDiskCase>& info) { return info.param.name; });

// --- The registry value that keeps the extracted files. These change the prefix's registry,
// so ctest runs them alone. ---

const char kKey[] = "HKCU\\Software\\Zarnith";
const char kValue[] = "NimbetInstallerCleanup";

// Sets the keep-files value, and removes it when made and when gone, so that a run cut short
// cannot leave the other tests keeping their files.
class KeepFilesValue {
 public:
  KeepFilesValue() {
    Remove();
    const ProcessResult set =
        RunWine({"reg", "add", kKey, "/v", kValue, "/t", "REG_SZ", "/d", "0", "/f"});
    problem_ = set.exit_status == 0 ? "" : "reg add failed: " + set.output;
  }
  ~KeepFilesValue() { Remove(); }
  KeepFilesValue(const KeepFilesValue&) = delete;
  KeepFilesValue& operator=(const KeepFilesValue&) = delete;
  const std::string& Problem() const { return problem_; }

 private:
  static void Remove() { RunWine({"reg", "delete", kKey, "/v", kValue, "/f"}); }
  std::string problem_;
};

class CleanupRegistryWholeRun : public WholeRun {
 protected:
  // The one work directory beside the installer, which must hold setup.exe and nothing else.
  fs::path KeptWorkDirectory(const fs::path& installer) {
    const std::vector<std::string> left = ListDirectory(installer.parent_path());
    if (left.size() != 2 || !IsWorkDirectoryName(left[0]) || left[1] != "installer.exe") {
      ADD_FAILURE() << "expected one work directory beside the installer: " << Join(left);
      return {};
    }
    const fs::path work = installer.parent_path() / left[0].substr(0, left[0].size() - 1);
    EXPECT_EQ(ListDirectory(work), std::vector<std::string>{"setup.exe"});
    return work;
  }
};

// %LOCALAPPDATA%\NimbetDemo of the prefix's user, as a Linux path; empty when it cannot be had.
fs::path DefaultInstallFolder(std::string& windows_folder) {
  const ProcessResult echoed = RunWine({"cmd", "/c", "echo", "%LOCALAPPDATA%"});
  const std::string local = echoed.output.substr(0, echoed.output.find_first_of("\r\n"));
  if (echoed.exit_status != 0 || local.empty() || local[0] == '%') return {};
  const ProcessResult unix_path = RunProcess({"winepath", "-u", local});
  if (unix_path.exit_status != 0) return {};
  windows_folder = local + "\\NimbetDemo";
  return fs::path(unix_path.output.substr(0, unix_path.output.find('\n'))) / "NimbetDemo";
}

// Started with its path alone, as by a double click: nothing is forwarded, so setup's command
// line ends with the quote after the archive's type, and demo-setup installs and reports into
// its default folder. With the value set, setup.exe stays alone in its work directory.
TEST_F(CleanupRegistryWholeRun, KeptSetupAloneInItsDirectoryAndNothingForwarded) {
  std::string windows_folder;
  const fs::path folder = DefaultInstallFolder(windows_folder);
  ASSERT_FALSE(folder.empty()) << "the prefix's %LOCALAPPDATA% cannot be found";
  std::error_code error;
  fs::remove_all(folder, error);
  const KeepFilesValue keep;
  ASSERT_EQ(keep.Problem(), "");

  const fs::path installer = PackInstaller(scratch_.Path() / "run", demo_setup_);
  const LaunchResult run = Run(installer, "\"{stub}\"");
  const std::string received = ReceivedCommandLine(folder / "setup-report.txt");
  const std::string installed = ReadBytes(folder / "archive.7z");
  fs::remove_all(folder, error);

  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, 0u);
  EXPECT_TRUE(IsSetupCommandLine(received, installer, ""));
  EXPECT_TRUE(installed == archive_) << "the archive was not installed into " << windows_folder;
  const fs::path work = KeptWorkDirectory(installer);
  if (!work.empty()) {
    EXPECT_TRUE(ReadBytes(work / "setup.exe") == ReadBytes(demo_setup_))
        << "the kept setup.exe differs from demo-setup.exe";
    // The kept directory is the one setup was started from.
    EXPECT_NE(received.find(WindowsPath(work) + "\\setup.exe\""), std::string::npos) << received;
  }
}

// A setup of 7 MiB, carried as a cabinet of about half that, expands byte-identical through the
// system's cabinet library; the cabinet file is gone and the expanded setup runs.
TEST_F(CleanupRegistryWholeRun, LargeSetupExpandsByteIdentical) {
  const fs::path setup = LargeSetup();
  const std::string setup_bytes = ReadBytes(setup);
  const fs::path installer = PackInstaller(scratch_.Path() / "run", setup);
  std::string dump;
  uintmax_t cabinet = 0;
  for (const packer_tests::DumpedResource& r : packer_tests::ObjdumpResources(installer, dump)) {
    if (r.type == "BL" && r.name == "SETUP.EX_") cabinet = r.size;
  }
  ASSERT_GT(cabinet, setup_bytes.size() * 4 / 10) << dump;
  ASSERT_LT(cabinet, setup_bytes.size() * 6 / 10) << dump;

  const KeepFilesValue keep;
  ASSERT_EQ(keep.Problem(), "");
  const LaunchResult run = Run(installer, "\"{stub}\"{out}");
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, 0u);
  EXPECT_TRUE(ReadBytes(InstallDir() / "archive.7z") == archive_)
      << "the expanded setup did not run";
  const fs::path work = KeptWorkDirectory(installer);
  ASSERT_FALSE(work.empty());
  const std::string expanded = ReadBytes(work / "setup.exe");
  EXPECT_EQ(expanded.size(), setup_bytes.size());
  EXPECT_TRUE(expanded == setup_bytes) << "setup.exe differs from the packed setup";
}

}  // namespace
}  // namespace wine_tests
