// Whole installations under Wine that need the Linux side: an installer packed at test time by
// stubpack from a real 7z archive and demo-setup.exe, started through the launcher, on a drive
// made in the prefix, on a small tmpfs, with the keep-files value set through Wine's reg. The
// cases that need nothing from Linux (exit codes, setup's command line, directories, a setup that
// leaves a file or is no program) are the conformance kit's (tests/conformance/).
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

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
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

// --- An installer at the root of a drive. The long and non-Latin directories are the
// conformance kit's cases (directory-*); a drive of the prefix's own is made from Linux, since
// Wine keeps its drive letters in dosdevices\ and DefineDosDeviceW does not reach them. ---

class DriveRootWholeRun : public WholeRun {
 protected:
  void TearDown() override {
    std::error_code error;
    if (!device_.empty()) fs::remove(device_, error);
  }
  fs::path device_;
};

TEST_F(DriveRootWholeRun, InstallsFromTheRootAndLeavesOnlyTheInstaller) {
  const fs::path root = scratch_.Path() / "root";
  fs::create_directories(root);
  device_ = fs::path(Setting("STUB_WINE_PREFIX")) / "dosdevices" / "r:";
  std::error_code error;
  fs::remove(device_, error);
  fs::create_directory_symlink(root, device_, error);
  ASSERT_FALSE(error) << device_ << ": " << error.message();

  const fs::path installer = PackInstaller(root, demo_setup_);
  const LaunchResult run = LaunchRaw(
      installer, "\"R:\\installer.exe\"" + OutputSwitches() + " --exit-code=7", scratch_.Path());
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, 7u);
  EXPECT_EQ(ListDirectory(root), kOnlyTheInstaller) << "left beside the installer";
  EXPECT_TRUE(ReadBytes(InstallDir() / "archive.7z") == archive_) << "setup installed nothing";
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
