// Fails every platform call of a whole run in turn, once and from then on, and checks what must
// hold whatever failed: nothing leaked, nothing left outside the work directory, setup started at
// most once and never after a failed extraction.
#include <cstdio>
#include <string>
#include <vector>

#include "stub/run_stub.h"
#include "tests/host/emulated_test.h"

namespace {

const std::u16string kStub = u"C:\\app\\stub.exe";
const std::u16string kWork = u"C:\\app\\VQ_12345.tmp\\";

struct Scenario {
  const char* name;
  const char16_t* setup_type;
  const char16_t* setup_name;
  DWORD setup_exit;
};

void Arrange(const Scenario& scenario, int* setup_runs) {
  emu::Reset();
  emu::SetImage(emu::Image(), kStub);
  emu::MakeFile(kStub, "MZ");
  emu::ScriptRandom({0x12, 0x34, 0x56, 0x78});
  emu::AddResource(u"B7", u"NIMBET.PACKED.7Z", "7z archive");
  emu::AddResource(scenario.setup_type, scenario.setup_name, "setup bytes");
  emu::SetCabinetScript(emu::OneFileCabinet("the setup program"));
  emu::SetCommandLine(u"\"C:\\app\\stub.exe\" /S");
  const std::u16string setup =
      std::u16string(scenario.setup_type) == u"B7" ? kWork + scenario.setup_name : kWork + u"setup.exe";
  const DWORD code = scenario.setup_exit;
  emu::RegisterProgram(setup, [setup_runs, code](const std::u16string&) {
    ++*setup_runs;
    return code;
  });
}

class FaultSweepTest : public EmulatedTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(FaultSweepTest, EveryFailingCallLeavesNothingBehind) {
  const Scenario& scenario = GetParam();
  size_t runs = 0;
  for (bool persistent : {false, true}) {
    for (uint64_t k = 1;; ++k) {
      SCOPED_TRACE(std::string(persistent ? "persistent" : "once") + " fault at call " + std::to_string(k));
      int setup_runs = 0;
      Arrange(scenario, &setup_runs);
      const std::vector<std::u16string> before = emu::ListTree();
      emu::InjectFault({emu::Op::Any, k, persistent, 0});
      const RunResult result = RunStub(emu::Image());
      ++runs;
      const bool faulted = emu::InjectedFailures() > 0;
      emu::ClearFaults();

      EXPECT_EQ(emu::OpenHandles(), 0u);
      EXPECT_EQ(emu::LocalBlocks(), 0u);
      EXPECT_EQ(emu::HeapBlocks(), 0u);
      EXPECT_LE(setup_runs, 1);
      if (setup_runs == 1) {
        EXPECT_EQ(emu::ProcessStarts().size(), 1u);
      }
      // Outside the work directory the disk is as it was.
      std::vector<std::u16string> outside;
      for (const auto& path : emu::ListTree()) {
        if (path.compare(0, kWork.size(), kWork) != 0) outside.push_back(path);
      }
      EXPECT_EQ(outside, before);
      if (result == StubExitCode::RESOURCE_WRITE_FAILED || result == StubExitCode::SETUP_EXTRACTION_FAILED ||
          result == StubExitCode::PATH_TOO_LONG || result == StubExitCode::ARCHIVE_NOT_FOUND) {
        EXPECT_EQ(setup_runs, 0) << "setup started after a failed extraction";
      }
      if (!faulted) {
        EXPECT_EQ(result, scenario.setup_exit);
        break;
      }
      ASSERT_LT(k, 2000u) << "the run never stops meeting faults";
    }
  }
  RecordProperty("runs", static_cast<int>(runs));
  std::printf("%s: %zu runs\n", scenario.name, runs);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FaultSweepTest,
    ::testing::Values(Scenario{"cabinet", u"BL", u"SETUP.EX_", 0}, Scenario{"plain", u"BN", u"SETUP.EXE", 3},
                      Scenario{"under_the_archive_type", u"B7", u"SETUP.BIN", 0}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
