// Whole runs where Windows departs from Wine (docs/emulation.md): the emulation follows Windows,
// and these show what the stub does there. Each run is the shipped layout: the archive under B7,
// setup in a cabinet under BL.
#include <string>
#include <vector>

#include "payload/cabinet_expansion.h"
#include "stub/run_stub.h"
#include "tests/host/emulated_test.h"

namespace {

constexpr DWORD kSetupExit = 7;

class WindowsModelTest : public EmulatedTest {
 protected:
  void SetUp() override {
    EmulatedTest::SetUp();
    TheCabinetLibrary() = CabinetLibrary{};
    emu::AddResource(u"B7", u"NIMBET.PACKED.7Z", "7z archive");
    emu::AddResource(u"BL", u"SETUP.EX_", "MSCF");
    emu::SetCabinetScript(emu::OneFileCabinet("the setup program"));
    emu::ScriptRandom({0x12, 0x34, 0x56, 0x78});  // the work directory is VQ_12345.tmp
  }

  // Places the stub in `directory` (made with its parents) and the setup program its run starts.
  void PlaceStub(const std::u16string& directory, emu::ProgramImage image = {}) {
    directory_ = directory;
    setup_runs_ = 0;
    if (directory.size() > 3) {
      ASSERT_TRUE(emu::MakeDirectory(directory.substr(0, directory.size() - 1)));
    }
    ASSERT_TRUE(emu::MakeFile(directory + u"stub.exe", "MZ"));
    emu::SetImage(emu::Image(), directory + u"stub.exe");
    emu::SetCommandLine(u"\"" + directory + u"stub.exe\"");
    emu::RegisterProgram(
        Work() + u"setup.exe",
        [this](const std::u16string&) {
          ++setup_runs_;
          return kSetupExit;
        },
        image);
    before_ = emu::ListTree();
  }

  std::u16string Work() const { return directory_ + u"VQ_12345.tmp\\"; }

  std::u16string directory_;
  std::vector<std::u16string> before_;
  int setup_runs_ = 0;
};

// Windows refuses a directory path over 247 units without the extended prefix, and the cabinet
// library's buffers hold 255 bytes of directory and name; neither comes short of the stub's own
// limits, which accept a stub directory of 237 units for this layout.
TEST_F(WindowsModelTest, LongAndNonLatinDirectoriesInstallUpToTheStubsOwnLimit) {
  const struct {
    const char* name;
    std::u16string directory;
    RunResult result;
  } cases[] = {
      {"236 units", DirectoryOfLength(236), kSetupExit},
      {"237 units", DirectoryOfLength(237), kSetupExit},
      {"238 units: the stub's own limit", DirectoryOfLength(238), StubExitCode::PATH_TOO_LONG},
      {"180 CJK characters",
       u"C:\\" + std::u16string(90, u'\u5b57') + u"\\" + std::u16string(90, u'\u6587') + u"\\",
       kSetupExit},
      {"surrogate pairs",
       u"C:\\" +
           [] {
             std::u16string pairs;
             for (int i = 0; i < 100; ++i) pairs += u"\U0001F4E6";
             return pairs;
           }() +
           u"\\",
       kSetupExit},
      {"a drive's root", u"C:\\", kSetupExit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    SetUp();
    PlaceStub(c.directory);
    EXPECT_EQ(RunStub(emu::Image()), c.result);
    EXPECT_EQ(setup_runs_, c.result == kSetupExit ? 1 : 0);
    EXPECT_EQ(emu::ListTree(), before_) << "the work directory and setup.exe are gone";
    EXPECT_EQ(emu::Cabinet().refused_names, 0u);
    if (c.result == kSetupExit && Work().size() > 247) {
      // The limit was there to meet: the same directory without the prefix is refused.
      EXPECT_FALSE(CreateDirectoryW((Work() + u"x").c_str(), nullptr));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    }
  }
}

// On a failure while setup.exe is open, the library closes its handle through the close
// callback; the stub's own handle carries the delete mark. Nothing stays, nothing is closed twice.
TEST_F(WindowsModelTest, ACabinetThatFailsWhileSetupIsOpenLeavesNothingAndClosesEachHandleOnce) {
  emu::CabinetScript script = emu::OneFileCabinet("the setup program");
  emu::CabinetStep failure;
  failure.kind = emu::CabinetStep::Kind::kReadFailure;
  script.steps.insert(script.steps.begin() + 3, failure);  // after the bytes, before the close
  emu::SetCabinetScript(script);
  PlaceStub(u"C:\\Installer\\");
  EXPECT_EQ(RunStub(emu::Image()), StubExitCode::SETUP_EXTRACTION_FAILED);
  EXPECT_EQ(setup_runs_, 0);
  EXPECT_EQ(emu::ListTree(), before_);
  for (const emu::Call& call : emu::Calls()) {
    EXPECT_FALSE(call.op == emu::Op::CloseHandle && call.failed) << "a handle closed twice";
  }
}

// A scanner holds the freshly written setup.exe for its first starts, and the image of the exited
// setup for its first removals. The start is tried again every 100 ms for about a second; the
// removal's own retries wait out the rest.
TEST_F(WindowsModelTest, AScannerThatLetsGoWithinASecondDelaysTheRunAndLeavesNothing) {
  const struct {
    const char* name;
    uint32_t held_starts;
    DWORD error;
    uint32_t held_deletes;
    RunResult result;
  } cases[] = {
      {"held for three starts", 3, ERROR_SHARING_VIOLATION, 0, kSetupExit},
      {"held for ten starts, access denied", 10, ERROR_ACCESS_DENIED, 0, kSetupExit},
      {"held for eleven starts", 11, ERROR_SHARING_VIOLATION, 0, StubExitCode::SETUP_LAUNCH_FAILED},
      {"the exited image held for five removals", 0, ERROR_SHARING_VIOLATION, 5, kSetupExit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    SetUp();
    PlaceStub(u"C:\\Installer\\");
    emu::SetScanner({c.held_starts, c.error, c.held_deletes});
    const uint64_t clock = emu::NowMilliseconds();
    EXPECT_EQ(RunStub(emu::Image()), c.result);
    EXPECT_EQ(setup_runs_, c.result == kSetupExit ? 1 : 0);
    const uint64_t refused = c.held_starts < 11 ? c.held_starts : 11;
    EXPECT_EQ(emu::ScannerRefusals().refused_starts, refused);
    EXPECT_EQ(emu::ScannerRefusals().refused_deletes, c.held_deletes);
    // A 100 ms pause for each refused start but a last one, and each refused removal.
    const uint64_t start_pauses = refused == 11 ? 10 : refused;
    EXPECT_EQ(emu::NowMilliseconds() - clock, 100 * (start_pauses + c.held_deletes));
    EXPECT_EQ(emu::ListTree(), before_) << "setup.exe and the work directory are gone";
  }
}

// Windows refuses to start an image that asks for administrator rights from an unelevated
// process with ERROR_ELEVATION_REQUIRED; Wine never does. The stub starts setup unelevated by
// design, so such a setup ends the run with 124 and nothing stays (the packer refuses it).
TEST_F(WindowsModelTest, ASetupThatAsksForElevationEndsWith124AndLeavesNothing) {
  using emu::ExecutionLevel;
  const struct {
    const char* name;
    ExecutionLevel level;
    bool is_32_bit;
    bool administrator;
    RunResult result;
  } cases[] = {
      {"asInvoker", ExecutionLevel::kAsInvoker, false, true, kSetupExit},
      {"no level, 64-bit", ExecutionLevel::kNotGiven, false, false, kSetupExit},
      {"no level, 32-bit: installer detection", ExecutionLevel::kNotGiven, true, false,
       StubExitCode::SETUP_LAUNCH_FAILED},
      {"requireAdministrator", ExecutionLevel::kRequireAdministrator, false, false,
       StubExitCode::SETUP_LAUNCH_FAILED},
      {"highestAvailable, standard user", ExecutionLevel::kHighestAvailable, false, false,
       kSetupExit},
      {"highestAvailable, administrator", ExecutionLevel::kHighestAvailable, false, true,
       StubExitCode::SETUP_LAUNCH_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    SetUp();
    emu::SetTokenElevation(false, c.administrator);
    emu::ProgramImage image;
    image.level = c.level;
    image.is_32_bit = c.is_32_bit;
    PlaceStub(u"C:\\Installer\\", image);
    EXPECT_EQ(RunStub(emu::Image()), c.result);
    EXPECT_EQ(setup_runs_, c.result == kSetupExit ? 1 : 0);
    EXPECT_EQ(emu::ListTree(), before_);
  }
}

}  // namespace
