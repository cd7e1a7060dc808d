#include "stub/run_stub.h"

#include <vector>

#include "tests/host/emulated_test.h"

namespace {

const std::u16string kKey = u"Software\\Zarnith";
const std::u16string kStubDir = u"C:\\Installer\\";

class RunStubTest : public EmulatedTest {
 protected:
  void SetUp() override {
    EmulatedTest::SetUp();
    ASSERT_TRUE(emu::MakeFile(kStubDir + u"stub.exe", "MZ"));
    before_ = emu::ListTree();
  }

  static RunResult Run() { return RunStub(emu::Image()); }
  static void KeepFiles() {
    emu::CreateRegistryKey(HKEY_CURRENT_USER, kKey);
    emu::SetRegistryValue(HKEY_CURRENT_USER, kKey, u"NimbetInstallerCleanup", REG_SZ,
                          emu::Utf16Bytes(u"0", true));
  }
  static uint64_t Successes(emu::Op op) {
    uint64_t count = 0;
    for (const auto& call : emu::Calls()) count += call.op == op && !call.failed;
    return count;
  }

  std::vector<std::u16string> before_;
};

TEST_F(RunStubTest, ABareStubWalksTheWholeSequenceAndLeavesNothing) {
  EXPECT_EQ(Run(), StubExitCode::ARCHIVE_NOT_FOUND);
  EXPECT_EQ(Successes(emu::Op::CreateDirectoryW), 1u);
  EXPECT_EQ(emu::WorkingSetTrims(), 1u);
  EXPECT_EQ(emu::ListTree(), before_) << "the work directory was not removed";
}

TEST_F(RunStubTest, TheKeepFilesValueLeavesTheWorkDirectory) {
  KeepFiles();
  EXPECT_EQ(Run(), StubExitCode::ARCHIVE_NOT_FOUND);
  const auto entries = emu::ListDirectory(kStubDir);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(Show(entries[0]).substr(0, 3), "VQ_");
  EXPECT_EQ(emu::WorkingSetTrims(), 1u);
  EXPECT_EQ(emu::CallCount(emu::Op::SetFileInformationByHandle), 0u) << "nothing is removed";
}

TEST_F(RunStubTest, AnUnsupportedSwitchEndsTheRunAfterTheRegistryRead) {
  for (const char16_t* line :
       {u"\"C:\\Installer\\stub.exe\" --cleanup", u"stub.exe /x --NIMBET-FRAME"}) {
    SCOPED_TRACE(Show(line));
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(kStubDir + u"stub.exe", "MZ"));
    emu::SetCommandLine(line);
    EXPECT_EQ(Run(), StubExitCode::UNSUPPORTED_SWITCH);
    ASSERT_FALSE(emu::Calls().empty());
    EXPECT_EQ(emu::Calls().front().op, emu::Op::RegOpenKeyExW);
    EXPECT_EQ(emu::CallCount(emu::Op::GetModuleFileNameW), 0u);
    EXPECT_EQ(emu::CallCount(emu::Op::CreateDirectoryW), 0u);
    EXPECT_EQ(emu::ListTree(), before_);
  }
}

TEST_F(RunStubTest, ACommandLineThatCannotBeSplitGives101) {
  emu::InjectFault({emu::Op::CommandLineToArgvW, 1, false, ERROR_NOT_ENOUGH_MEMORY});
  EXPECT_EQ(Run(), StubExitCode::CONFIGURATION_FAILED);
  EXPECT_EQ(emu::CallCount(emu::Op::CreateDirectoryW), 0u);
  EXPECT_EQ(emu::ListTree(), before_);
}

TEST_F(RunStubTest, AnOwnPathThatCannotBeHadGives105AndCreatesNothing) {
  const struct {
    const char* name;
    std::u16string image_path;
    bool fail_call;
  } cases[] = {
      {"the call fails", kStubDir + u"stub.exe", true},
      {"cut at 260 units", DirectoryOfLength(250) + u"stub12.exe", false},
      {"longer still", DirectoryOfLength(300) + u"stub.exe", false},
      {"no backslash", u"stub.exe", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    emu::SetImage(emu::Image(), c.image_path);
    if (c.fail_call) emu::InjectFault({emu::Op::GetModuleFileNameW, 1, false, ERROR_MOD_NOT_FOUND});
    EXPECT_EQ(Run(), StubExitCode::OWN_PATH_UNAVAILABLE);
    EXPECT_EQ(emu::CallCount(emu::Op::GetVolumePathNameW), 0u);
    EXPECT_EQ(emu::CallCount(emu::Op::CreateDirectoryW), 0u);
    EXPECT_EQ(emu::WorkingSetTrims(), 0u);
  }
}

TEST_F(RunStubTest, AModulePathOf259UnitsIsAcceptedAndMeetsTheWorkDirectoryLimit) {
  const std::u16string path = DirectoryOfLength(249) + u"stub12.exe";
  ASSERT_EQ(path.size(), 259u);
  emu::SetImage(emu::Image(), path);
  EXPECT_EQ(Run(), StubExitCode::PATH_TOO_LONG) << "accepted, then too long for the work directory";
  EXPECT_EQ(emu::CallCount(emu::Op::CreateDirectoryW), 0u);
}

TEST_F(RunStubTest, AWorkDirectoryThatCannotBeCreatedIsNeitherRemovedNorTrimmed) {
  emu::DenyCreateIn(kStubDir);
  EXPECT_EQ(Run(), StubExitCode::NO_WORK_DIRECTORY);
  EXPECT_EQ(emu::CallCount(emu::Op::CreateDirectoryW), 10u);
  EXPECT_EQ(emu::CallCount(emu::Op::CreateFileW), 0u) << "a removal was attempted";
  EXPECT_EQ(emu::WorkingSetTrims(), 0u);
}

TEST_F(RunStubTest, ARemovalThatFailsChangesNoExitCode) {
  emu::InjectFault({emu::Op::CreateFileW, 1, true, ERROR_INVALID_PARAMETER});
  EXPECT_EQ(Run(), StubExitCode::ARCHIVE_NOT_FOUND);
  EXPECT_EQ(emu::ListDirectory(kStubDir).size(), 2u) << "the work directory stays";
}

// Another process of the same user replaces each file the stub extracted, at every call of a
// whole run, with a link to a read-only file of its own: the stub reads, starts or removes the
// link, never changes what it points to, and still leaves no work directory behind. (Host
// only: links under Wine are no links, and removing one removes its target.)
TEST_F(RunStubTest, FilesSwappedForLinksAtAnyCallNeverChangeTheirTarget) {
  const std::u16string work = kStubDir + u"VQ_12345.tmp\\";
  const std::u16string precious = u"C:\\Data\\keep.txt";
  auto arrange = [&] {
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(kStubDir + u"stub.exe", "MZ"));
    ASSERT_TRUE(emu::MakeFile(precious, "precious", FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(emu::MakeDirectory(u"C:\\Aside\\"));
    emu::ScriptRandom({0x12, 0x34, 0x56, 0x78});
    emu::AddResource(u"B7", u"NIMBET.PACKED.7Z", "7z");
    emu::AddResource(u"BL", u"SETUP.EX_", "MSCF");
    emu::SetCabinetScript(emu::OneFileCabinet("MZ setup"));
    emu::RegisterProgram(work + u"setup.exe", [](const std::u16string&) { return 0u; });
  };
  arrange();
  EXPECT_EQ(Run(), StubExitCode::SUCCESS);
  const uint64_t calls = emu::CallCount();
  uint64_t swaps = 0;
  for (uint64_t k = 1; k <= calls; ++k) {
    SCOPED_TRACE("swapped before call " + std::to_string(k));
    arrange();
    emu::RunBeforeCall(k, [&] {
      int moved = 0;
      for (const char16_t* name : {u"SETUP.EX_", u"setup.exe"}) {
        const std::u16string path = work + name;
        const std::u16string aside = u"C:\\Aside\\" + std::u16string(1, u'0' + moved++);
        if (emu::Rename(path, aside) && emu::MakeLink(path, precious, false)) ++swaps;
      }
    });
    Run();
    EXPECT_EQ(emu::FileContent(precious), "precious");
    EXPECT_EQ(emu::Attributes(precious), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(emu::ListDirectory(u"C:\\Data\\"), std::vector<std::u16string>{u"keep.txt"});
    EXPECT_FALSE(emu::Exists(work)) << "a link kept the work directory";
  }
  EXPECT_GE(swaps, 10u) << "the sweep swapped almost nothing";
}

void EnterStub() { StubEntry(); }

TEST_F(RunStubTest, TheEntryPointRunsTheImageItIsGivenAndExitsWithTheResult) {
  emu::SetImage(reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FF612340000)),
                kStubDir + u"stub.exe");
  EXPECT_EQ(emu::RunAsProcess(EnterStub), StubExitCode::ARCHIVE_NOT_FOUND);
  emu::SetCommandLine(u"stub.exe --cleanup");
  EXPECT_EQ(emu::RunAsProcess(EnterStub), StubExitCode::UNSUPPORTED_SWITCH);
}

}  // namespace
