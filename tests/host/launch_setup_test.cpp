#include "setup/launch_setup.h"

#include <string>
#include <vector>

#include "strings/bounded_text.h"
#include "stub/run_stub.h"
#include "tests/host/emulated_test.h"

namespace {

const std::u16string kStub = u"C:\\app\\stub.exe";
const std::u16string kWork = u"C:\\app\\VQ_12345.tmp\\";
const std::u16string kSetup = kWork + u"setup.exe";
const std::u16string kFixed =
    u"\"C:\\app\\VQ_12345.tmp\\setup.exe\" --pellorin-path=\"C:\\app\\stub.exe\" "
    u"--archive-resource-name=\"NIMBET.PACKED.7Z\" --archive-resource-type=\"B7\"";

class LaunchSetupTest : public EmulatedTest {
 protected:
  void SetUp() override {
    EmulatedTest::SetUp();
    emu::SetImage(emu::Image(), kStub);
    ASSERT_TRUE(emu::MakeFile(kStub, "MZ"));
    ASSERT_TRUE(emu::MakeFile(kSetup, "MZ"));
    emu::RegisterProgram(kSetup, [this](const std::u16string& line) {
      received_ = line;
      return exit_code_;
    });
  }

  RunResult Launch(const std::u16string& own_command_line, const std::u16string& setup = kSetup,
                   const std::u16string& stub = kStub) {
    PathBuffer stub_path, archive_name, setup_path;
    ResourceTypeBuffer archive_type;
    BoundedCopy(stub_path.Text(), 260, stub.c_str());
    BoundedCopy(archive_name.Text(), 260, u"NIMBET.PACKED.7Z");
    BoundedCopy(archive_type.Text(), 3, u"B7");
    BoundedCopy(setup_path.Text(), 260, setup.c_str());
    return LaunchSetup(own_command_line.c_str(), stub_path, archive_name, archive_type,
                       setup_path);
  }

  std::u16string received_;
  DWORD exit_code_ = 0;
};

TEST_F(LaunchSetupTest, ForwardsTheStubsArgumentsAsItReceivedThem) {
  const struct {
    const char16_t* own;
    const char16_t* forwarded;
  } cases[] = {
      {u"\"C:\\app\\stub.exe\" --any-switch \"two words\"", u" --any-switch \"two words\""},
      {u"stub.exe --any-switch", u" --any-switch"},
      {u"\"C:\\app\\stub.exe\"--any-switch", u" --any-switch"},
      {u"stub.exe\t--a  b", u"\t--a  b"},
      {u"\"C:\\app\\stub.exe --unterminated", u""},
      {u"\"C:\\app\\stub.exe\"", u""},
      {u"\"C:\\app\\stub.exe\" ", u" "},
      {u" stub.exe --x", u" stub.exe --x"},
      {u"", u""},
      {u"stub\x01x.exe /y", u" /y"},  // only NUL, tab and space end an unquoted first argument
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.own));
    received_.clear();
    EXPECT_EQ(Launch(c.own), 0u);
    EXPECT_EQ(Show(received_), Show(kFixed + c.forwarded));
  }
}

TEST_F(LaunchSetupTest, ArgumentsThatDoNotFitAreDroppedAndSetupStillStarts) {
  const std::u16string own = u"stub.exe " + std::u16string(1300, u'a');
  exit_code_ = 7;
  EXPECT_EQ(Launch(own), 7u);
  EXPECT_EQ(Show(received_), Show(kFixed));
  const std::u16string glued = u"\"C:\\app\\stub.exe\"" + std::u16string(1300, u'a');
  EXPECT_EQ(Launch(glued), 7u);
  EXPECT_EQ(Show(received_), Show(kFixed + u" ")) << "the space stays, the rest does not fit";
}

TEST_F(LaunchSetupTest, StartsSetupByItsPathWithNothingInheritedAndAZeroedStartupRecord) {
  ASSERT_EQ(Launch(u"stub.exe"), 0u);
  ASSERT_EQ(emu::ProcessStarts().size(), 1u);
  const emu::ProcessStart& start = emu::ProcessStarts()[0];
  EXPECT_EQ(Show(start.application), Show(kSetup));
  EXPECT_FALSE(start.process_attributes);
  EXPECT_FALSE(start.thread_attributes);
  EXPECT_EQ(start.inherit_handles, FALSE);
  EXPECT_EQ(start.creation_flags, static_cast<DWORD>(CREATE_NO_WINDOW));
  EXPECT_FALSE(start.environment);
  EXPECT_FALSE(start.current_directory);
  EXPECT_EQ(start.startup_size, 104u);
  EXPECT_TRUE(start.startup_rest_zero);
}

TEST_F(LaunchSetupTest, SetupsExitCodeIsPassedOnWhole) {
  for (DWORD code : {0u, 3u, 112u, 0xC0000005u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(code);
    exit_code_ = code;
    EXPECT_EQ(Launch(u"stub.exe"), code);
  }
}

TEST_F(LaunchSetupTest, AStartThatFailsIsNamedByItsError) {
  ASSERT_TRUE(emu::MakeFile(kWork + u"readme.txt", "not a program"));
  const struct {
    const char* name;
    std::u16string program;
    emu::Fault fault;
    RunResult result;
  } cases[] = {
      {"missing file", kWork + u"gone.exe", {}, StubExitCode::SETUP_FILE_NOT_FOUND},
      {"missing directory",
       u"C:\\app\\VQ_00000.tmp\\setup.exe",
       {},
       StubExitCode::SETUP_PATH_NOT_FOUND},
      {"not a program", kWork + u"readme.txt", {}, StubExitCode::SETUP_LAUNCH_FAILED},
      {"refused for longer than the retries",
       kSetup,
       {emu::Op::CreateProcessW, 1, true, ERROR_ACCESS_DENIED},
       StubExitCode::SETUP_LAUNCH_FAILED},
      {"wait fails",
       kSetup,
       {emu::Op::WaitForSingleObject, 1, false, ERROR_INVALID_HANDLE},
       StubExitCode::SETUP_WAIT_FAILED},
      {"exit code unreadable",
       kSetup,
       {emu::Op::GetExitCodeProcess, 1, false, ERROR_ACCESS_DENIED},
       StubExitCode::SETUP_WAIT_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::ClearFaults();
    emu::InjectFault({c.fault.op, c.fault.nth == 0 ? 0 : emu::CallCount(c.fault.op) + c.fault.nth,
                      c.fault.persistent, c.fault.error});
    EXPECT_EQ(Launch(u"stub.exe", c.program), c.result);
    EXPECT_EQ(emu::OpenHandles(), 0u) << "process and thread handles are closed on every path";
  }
}

// A scanner holding the freshly written setup.exe refuses its start with access denied or a
// sharing violation for a moment: the start is tried again after the removal's pause, for about
// a second in all. Any other error ends the launch at once.
TEST_F(LaunchSetupTest, AStartRefusedForAMomentIsTriedAgainForAboutASecond) {
  const struct {
    const char* name;
    DWORD error;
    bool persistent;
    RunResult result;
    uint64_t starts;  // CreateProcessW calls
  } cases[] = {
      {"access denied once", ERROR_ACCESS_DENIED, false, 0, 2},
      {"sharing violation once", ERROR_SHARING_VIOLATION, false, 0, 2},
      {"access denied throughout", ERROR_ACCESS_DENIED, true, StubExitCode::SETUP_LAUNCH_FAILED,
       11},
      {"sharing violation throughout", ERROR_SHARING_VIOLATION, true,
       StubExitCode::SETUP_LAUNCH_FAILED, 11},
      {"not a program", ERROR_BAD_EXE_FORMAT, true, StubExitCode::SETUP_LAUNCH_FAILED, 1},
      {"no file", ERROR_FILE_NOT_FOUND, true, StubExitCode::SETUP_FILE_NOT_FOUND, 1},
      {"no directory", ERROR_PATH_NOT_FOUND, true, StubExitCode::SETUP_PATH_NOT_FOUND, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::ClearFaults();
    const uint64_t before = emu::CallCount(emu::Op::CreateProcessW);
    const uint64_t clock = emu::NowMilliseconds();
    emu::InjectFault({emu::Op::CreateProcessW, before + 1, c.persistent, c.error});
    EXPECT_EQ(Launch(u"stub.exe"), c.result);
    EXPECT_EQ(emu::CallCount(emu::Op::CreateProcessW) - before, c.starts);
    EXPECT_EQ(emu::NowMilliseconds() - clock, 100 * (c.starts - 1)) << "a 100 ms pause each";
    EXPECT_EQ(emu::OpenHandles(), 0u);
  }
}

// The run refuses a stub path of 260 units before anything is created (run_stub_test.cpp).
TEST_F(LaunchSetupTest, AStubPathOf259UnitsGoesWholeIntoTheCommandLine) {
  const std::u16string path259 = DirectoryOfLength(249) + u"stub12.exe";
  ASSERT_EQ(path259.size(), 259u);
  ASSERT_EQ(Launch(u"stub.exe", kSetup, path259), 0u);
  EXPECT_NE(received_.find(u"--pellorin-path=\"" + path259 + u"\""), std::u16string::npos);
}

// --- the whole run ----------------------------------------------------------------------------

class WholeRunTest : public EmulatedTest {
 protected:
  void SetUp() override {
    EmulatedTest::SetUp();
    emu::SetImage(emu::Image(), kStub);
    ASSERT_TRUE(emu::MakeFile(kStub, "MZ"));
    emu::ScriptRandom({0x12, 0x34, 0x56, 0x78});  // the work directory is VQ_12345.tmp
    emu::AddResource(u"B7", u"NIMBET.PACKED.7Z", "7z archive");
    emu::AddResource(u"BL", u"SETUP.EX_", "MSCF");
    emu::SetCabinetScript(emu::OneFileCabinet("the setup program"));
    emu::SetCommandLine(u"\"C:\\app\\stub.exe\" /S");
    emu::RegisterProgram(kSetup, [this](const std::u16string& line) {
      received_ = line;
      seen_in_work_ = emu::ListDirectory(kWork);
      setup_content_ = emu::FileContent(kSetup);
      if (leave_file_) emu::MakeFile(kWork + u"log.txt", "left by setup");
      return exit_code_;
    });
  }

  std::u16string received_;
  std::vector<std::u16string> seen_in_work_;
  std::string setup_content_;
  DWORD exit_code_ = 3;
  bool leave_file_ = false;
};

TEST_F(WholeRunTest, SetupRunsFromTheWorkDirectoryAndItsExitCodeEndsTheRun) {
  EXPECT_EQ(RunStub(emu::Image()), 3u);
  EXPECT_EQ(Show(received_), Show(kFixed + u" /S"));
  EXPECT_EQ(seen_in_work_, std::vector<std::u16string>{u"setup.exe"})
      << "the cabinet is gone before setup runs";
  EXPECT_EQ(setup_content_, "the setup program");
  EXPECT_EQ(emu::WorkingSetTrims(), 1u);
  EXPECT_FALSE(emu::Exists(kWork)) << "setup.exe and the work directory are removed";
}

TEST_F(WholeRunTest, TheKeepFilesValueLeavesSetupAndTheDirectory) {
  emu::SetRegistryValue(HKEY_CURRENT_USER, u"Software\\Zarnith", u"NimbetInstallerCleanup", REG_SZ,
                        emu::Utf16Bytes(u"0", true));
  exit_code_ = 0;
  EXPECT_EQ(RunStub(emu::Image()), 0u);
  EXPECT_EQ(emu::ListDirectory(kWork), std::vector<std::u16string>{u"setup.exe"});
}

TEST_F(WholeRunTest, AFileThatSetupLeavesKeepsTheDirectoryButNotTheExitCode) {
  leave_file_ = true;
  EXPECT_EQ(RunStub(emu::Image()), 3u);
  EXPECT_EQ(emu::ListDirectory(kWork), std::vector<std::u16string>{u"log.txt"});
  EXPECT_EQ(emu::SleepCalls(), 99u);
}

TEST_F(WholeRunTest, SetupNeverStartsAfterAFailedExtraction) {
  emu::SetDiskSpace(2);
  EXPECT_EQ(RunStub(emu::Image()), StubExitCode::RESOURCE_WRITE_FAILED);
  EXPECT_TRUE(emu::ProcessStarts().empty());
  EXPECT_FALSE(emu::Exists(kWork));
}

}  // namespace
