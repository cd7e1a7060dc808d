// The real stub.exe under Wine, started through launcher.exe so that the command line reaches it
// unchanged and its full exit code comes back. Each test copies the stub into a directory of its
// own and looks at what is left there afterwards. What needs nothing from the Linux side (the
// switches, the base directory's length, a second run beside kept files) is in the conformance
// kit (tests/conformance/); what is here makes its case from Linux (chattr, Wine's reg).
#include <algorithm>

#include <gtest/gtest.h>

#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "tests/wine/wine_harness.h"

namespace wine_tests {
namespace {

// The exit codes are part of the stub's interface, so they are written out here, not borrowed.
constexpr uint32_t kArchiveNotFound = 112;  // a bare stub carries no payload
constexpr uint32_t kWorkDirectoryNotCreated = 109;

class StubRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {"stub.exe", "launcher.exe"}) {
      ASSERT_TRUE(fs::is_regular_file(WindowsBinDir() / program))
          << (WindowsBinDir() / program) << " is missing; build the windows preset first";
    }
    ASSERT_FALSE(scratch_.Path().empty()) << "cannot make a scratch directory under /tmp";
    const std::string problem = PrepareWine();
    ASSERT_EQ(problem, "");
  }

  // Copies stub.exe into `directory`, creating it, and gives the copy's path.
  fs::path PlaceStub(const fs::path& directory) {
    fs::create_directories(directory);
    const fs::path stub = directory / "stub.exe";
    fs::copy_file(WindowsBinDir() / "stub.exe", stub, fs::copy_options::overwrite_existing);
    return stub;
  }

  // `command_line` with "{stub}" standing for the stub's quoted Windows path.
  LaunchResult Run(const fs::path& stub, std::string command_line = "{stub}") {
    const std::string quoted = "\"" + WindowsPath(stub) + "\"";
    if (const size_t at = command_line.find("{stub}"); at != std::string::npos) {
      command_line.replace(at, 6, quoted);
    }
    return LaunchRaw(stub, command_line, scratch_.Path());
  }

  ScratchDirectory scratch_;
};

const std::vector<std::string> kOnlyTheStub = {"stub.exe"};

// --- A directory where nothing can be created. ---

// Sets the immutable attribute, which even root cannot write through, and clears it at the end.
class ImmutableDirectory {
 public:
  explicit ImmutableDirectory(const fs::path& directory) : directory_(directory) {
    const ProcessResult set = RunProcess({"chattr", "+i", directory_.string()});
    set_ = set.exit_status == 0;
    refusal_ = set.output;
  }
  ~ImmutableDirectory() {
    if (set_) RunProcess({"chattr", "-i", directory_.string()});
  }
  ImmutableDirectory(const ImmutableDirectory&) = delete;
  ImmutableDirectory& operator=(const ImmutableDirectory&) = delete;
  bool Set() const { return set_; }
  const std::string& Refusal() const { return refusal_; }

 private:
  fs::path directory_;
  bool set_ = false;
  std::string refusal_;
};

// Wine gives ERROR_ACCESS_DENIED here as Windows does for a directory without the right to
// create; the access list the stub passes is accepted but not stored, and nothing reads it back.
TEST_F(StubRun, DirectoryWhereNothingCanBeCreatedGives109) {
  const fs::path stub = PlaceStub(scratch_.Path() / "stub");
  const ImmutableDirectory immutable(stub.parent_path());
  ASSERT_TRUE(immutable.Set()) << "chattr +i was refused: " << immutable.Refusal();

  const LaunchResult run = Run(stub);
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, kWorkDirectoryNotCreated);
  EXPECT_EQ(ListDirectory(stub.parent_path()), kOnlyTheStub);
}

// --- The registry value that keeps the extracted files. These change the prefix's registry,
// so ctest runs them alone. ---

const char kKey[] = "HKCU\\Software\\Zarnith";
const char kMachineKey[] = "HKLM\\Software\\Zarnith";
const char kValue[] = "NimbetInstallerCleanup";

// Removes the value when created and when gone, so that a run cut short earlier cannot leave
// the other tests keeping their files.
class CleanupValueGuard {
 public:
  explicit CleanupValueGuard(const char* key) : key_(key) { Remove(); }
  ~CleanupValueGuard() { Remove(); }
  CleanupValueGuard(const CleanupValueGuard&) = delete;
  CleanupValueGuard& operator=(const CleanupValueGuard&) = delete;

 private:
  void Remove() const { RunWine({"reg", "delete", key_, "/v", kValue, "/f"}); }

  const char* key_;
};

std::string SetCleanupValue(const char* key, const char* type, const char* data) {
  const std::vector<std::string> add = {"reg", "add", key,  "/v", kValue,
                                        "/t",  type,  "/d", data, "/f"};
  const ProcessResult set = RunWine(add);
  return set.exit_status == 0 ? "" : "reg add failed: " + set.output;
}

bool IsWorkDirectoryName(const std::string& listed) {
  static const std::regex kName("VQ_[0-9A-F]{5}\\.tmp/");
  return std::regex_match(listed, kName);
}

struct RegistryCase {
  const char* name;
  const char* key;
  const char* type;
  const char* data;
  bool kept;
};

void PrintTo(const RegistryCase& row, std::ostream* out) { *out << row.name; }

class CleanupRegistryValue : public StubRun, public ::testing::WithParamInterface<RegistryCase> {};

TEST_P(CleanupRegistryValue, DecidesWhetherTheWorkDirectoryStays) {
  const CleanupValueGuard guard(GetParam().key);
  ASSERT_EQ(SetCleanupValue(GetParam().key, GetParam().type, GetParam().data), "");
  const fs::path stub = PlaceStub(scratch_.Path() / "stub");

  const LaunchResult run = Run(stub);
  ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
  EXPECT_EQ(*run.exit_code, kArchiveNotFound);

  const std::vector<std::string> left = ListDirectory(stub.parent_path());
  if (!GetParam().kept) {
    EXPECT_EQ(left, kOnlyTheStub);
    return;
  }
  ASSERT_EQ(left.size(), 2u) << Join(left);
  EXPECT_TRUE(IsWorkDirectoryName(left[0])) << left[0];
  EXPECT_EQ(left[1], "stub.exe");
  EXPECT_EQ(ListDirectory(stub.parent_path() / left[0]), std::vector<std::string>{})
      << "a stub without payload writes nothing into its work directory";
}

// A text far longer than the two units the stub reads.
const std::string kManyZeros(16383, '0');

// Wine's reg stores REG_NONE data as text and REG_QWORD not at all; those types are left to the
// host tests.
INSTANTIATE_TEST_SUITE_P(
    Values, CleanupRegistryValue,
    ::testing::Values(
        RegistryCase{"ZeroKeeps", kKey, "REG_SZ", "0", true},
        RegistryCase{"OneRemoves", kKey, "REG_SZ", "1", false},
        // Two units leave no room for a terminator: the read fails.
        RegistryCase{"TwoZerosRemove", kKey, "REG_SZ", "00", false},
        RegistryCase{"EmptyRemoves", kKey, "REG_SZ", "", false},
        RegistryCase{"ExpandableZeroRemoves", kKey, "REG_EXPAND_SZ", "0", false},
        RegistryCase{"NumberZeroRemoves", kKey, "REG_DWORD", "0", false},
        RegistryCase{"ZeroForTheMachineRemoves", kMachineKey, "REG_SZ", "0", false},
        // The bytes of "0", with and without its terminator, under another type.
        RegistryCase{"BinaryZeroRemoves", kKey, "REG_BINARY", "3000", false},
        RegistryCase{"BinaryZeroAndTerminatorRemoves", kKey, "REG_BINARY", "30000000", false},
        RegistryCase{"MultiStringZeroRemoves", kKey, "REG_MULTI_SZ", "0", false},
        RegistryCase{"BigEndianNumberZeroRemoves", kKey, "REG_DWORD_BIG_ENDIAN", "0", false},
        RegistryCase{"LongTextOfZerosRemoves", kKey, "REG_SZ", kManyZeros.c_str(), false}),
    [](const ::testing::TestParamInfo<RegistryCase>& info) { return info.param.name; });

}  // namespace
}  // namespace wine_tests
