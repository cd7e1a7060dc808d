// The packer's verdict against the stub's own sources, on the host: every layout of the table is
// packed by stubpack, its resource directory read back by the packer's reader, and what the
// packer predicts for it compared with what RunStub does over the emulation with the same
// resources. The stub and the packer share core's rules; this is where a rule that one of them
// applies differently shows, without Wine.
//
// The emulation's cabinet library follows a script and its processes are what a test registers,
// so the bytes' part of a verdict (a cabinet that does not expand, a setup that is no
// executable) cannot show here: those rows are compared up to what the scan decides, and
// verdict_wine_test runs the real stub on the same bytes.
#include <algorithm>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/exit_codes.h"
#include "core/payload_layout.h"
#include "stub/run_stub.h"
#include "tests/host/emulated_test.h"
#include "tests/packer/packer_fixture.h"
#include "tools/stubpack/installer_listing.h"
#include "tools/stubpack/mapped_file.h"

namespace packer_tests {
namespace {

using payload_layout::SetupStorage;

constexpr DWORD kSetupExitCode = 42;  // no code of the stub's own
// What the scripted random bytes 12 34 56 78 name the work directory.
const std::u16string kWorkName = emu::Widen(std::string(payload_layout::kWorkDirectoryPrefix) +
                                            "12345" + payload_layout::kWorkDirectorySuffix + "\\");

// What one run of the stub showed.
struct StubRun {
  RunResult result = 0;
  bool setup_ran = false;
  std::u16string command_line;          // what setup received
  std::vector<std::u16string> in_work;  // the work directory while setup ran
  std::string setup_content;            // setup's file while it ran
  uint64_t cabinet_copies = 0;
  std::string cabinet_bytes;  // what the cabinet library read
};

class VerdictHost : public EmulatedTest, public ::testing::WithParamInterface<LayoutCase> {
 protected:
  void SetUp() override {
    EmulatedTest::SetUp();
    ASSERT_TRUE(fs::is_regular_file(Stubpack())) << Stubpack();
    in_ = MakeInputs(scratch_.Path() / "in");
    const fs::path installer = scratch_.Path() / "i.exe";
    std::vector<std::string> args = Expand(GetParam().arguments, in_);
    args.insert(args.end(), {"--output", installer.string(), "--unchecked"});
    const ProcessResult packed = Pack(args);
    ASSERT_EQ(packed.exit_status, 0) << packed.output;

    std::string problem;
    ASSERT_TRUE(file_.Open(installer.string(), problem)) << problem;
    ASSERT_TRUE(stubpack::ReadResources(file_.Data(), file_.Size(), resources_, problem))
        << problem;
    verdict_ = stubpack::PredictResources(file_.Data(), resources_);
    // Where the verdict comes from setup's bytes, the emulation can show only what the layout
    // decides: the same resources with their bytes taken as good.
    std::vector<stubpack::ListedResource> listed;
    for (const stubpack::InspectedResource& r : resources_) listed.push_back(r.listed);
    const stubpack::Verdict layout =
        stubpack::Predict(listed, [](size_t, SetupStorage) { return stubpack::SetupFindings(); });
    expected_ = layout.exit_code == verdict_.exit_code ? verdict_.exit_code : layout.exit_code;
    std::ostringstream out;
    stubpack::Inspect(installer.string(), false, out);
    listing_ = out.str();
    setup_program_ = ReadText(in_.setup);
  }

  std::string Bytes(const stubpack::InspectedResource& r) const {
    return std::string(reinterpret_cast<const char*>(file_.Data() + r.offset), r.listed.size);
  }

  // Every resource of a named type, as the packed directory holds it (its first language: the
  // emulation has no languages, and the packer writes one). Numbered types are left out: the
  // stub asks only for named ones, and the emulation keys types by name.
  void LoadResources() const {
    for (const stubpack::InspectedResource& r : resources_) {
      if (r.listed.type.is_number) continue;
      if (r.listed.name.is_number) {
        emu::AddNumberedResource(r.listed.type.name, r.listed.name.number, Bytes(r));
      } else {
        emu::AddResource(r.listed.type.name, r.listed.name.name, Bytes(r));
      }
    }
  }

  // The stub scans in the order the module lists names, so that order must be the packed
  // directory's. The emulation sorts what it is given and stores names in capitals: a name the
  // packer left in small letters, or an order the loader would not see, shows as a difference.
  void ExpectTheEmulationListsAsPacked() const {
    emu::Reset();
    LoadResources();
    std::vector<std::u16string> types;
    for (const stubpack::InspectedResource& r : resources_) {
      if (!r.listed.type.is_number &&
          std::find(types.begin(), types.end(), r.listed.type.name) == types.end())
        types.push_back(r.listed.type.name);
    }
    for (const std::u16string& type : types) {
      std::vector<std::string> packed, listed;
      for (const stubpack::InspectedResource& r : resources_) {
        if (!r.listed.type.is_number && r.listed.type.name == type)
          packed.push_back(r.listed.name.Display());
      }
      EnumResourceNamesW(
          emu::Image(), type.c_str(),
          [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR user) -> BOOL {
            reinterpret_cast<std::vector<std::string>*>(user)->push_back(
                IS_INTRESOURCE(name) ? "#" + std::to_string(reinterpret_cast<uintptr_t>(name))
                                     : emu::Narrow(name));
            return TRUE;
          },
          reinterpret_cast<LONG_PTR>(&listed));
      EXPECT_EQ(listed, packed) << "the emulated module lists " << emu::Narrow(type)
                                << " otherwise than the packed directory";
    }
  }

  const stubpack::InspectedResource* SetupResource() const {
    for (const stubpack::InspectedResource& r : resources_) {
      if (r.listed.type.Display() == verdict_.setup_type &&
          r.listed.name.Display() == verdict_.setup_name)
        return &r;
    }
    return nullptr;
  }

  SetupStorage Storage() const {
    return payload_layout::kStorageOfType[stubpack::PayloadTypeIndex(
        stubpack::ResourceId::Name(emu::Widen(verdict_.setup_type)))];
  }

  // The file setup runs from, in the work directory.
  std::u16string SetupFile() const {
    return Storage() == SetupStorage::kNamed ? emu::Widen(verdict_.setup_name)
                                             : emu::Widen(payload_layout::kSetupFileName);
  }

  // The whole stub, run as i.exe from a stub directory of `units` units with its final
  // backslash, a cabinet that expands into the setup program, and setup registered where the
  // verdict says it is written when the layout lets it run.
  StubRun RunFrom(size_t units) const {
    emu::Reset();
    LoadResources();
    const std::u16string directory = DirectoryOfLength(units);
    EXPECT_EQ(directory.size(), units);
    EXPECT_TRUE(emu::MakeDirectory(directory));
    const std::u16string stub = directory + u"i.exe";
    EXPECT_TRUE(emu::MakeFile(stub, "MZ"));
    emu::SetImage(emu::Image(), stub);
    emu::SetCommandLine(u"\"" + stub + u"\"");
    emu::ScriptRandom({0x12, 0x34, 0x56, 0x78});
    emu::SetCabinetScript(emu::OneFileCabinet(setup_program_));
    StubRun run;
    const std::u16string work = directory + kWorkName;
    if (expected_ == StubExitCode::SUCCESS) {
      emu::RegisterProgram(work + SetupFile(), [&run, work, this](const std::u16string& line) {
        run.setup_ran = true;
        run.command_line = line;
        run.in_work = emu::ListDirectory(work);
        run.setup_content = emu::FileContent(work + SetupFile());
        return kSetupExitCode;
      });
    }
    run.result = RunStub(emu::Image());
    run.cabinet_copies = emu::Cabinet().copies;
    run.cabinet_bytes = emu::Cabinet().cabinet_bytes;
    EXPECT_EQ(emu::OpenHandles(), 0u) << "handles left open";
    EXPECT_EQ(emu::LocalBlocks(), 0u) << "LocalAlloc blocks left";
    EXPECT_EQ(emu::HeapBlocks(), 0u) << "HeapAlloc blocks left";
    return run;
  }

  // The run ends as predicted: setup runs, told the archive the verdict names, from the file and
  // the resource the verdict names; or the predicted code and no setup.
  void ExpectAsPredicted(const StubRun& run) const {
    if (expected_ != StubExitCode::SUCCESS) {
      EXPECT_EQ(run.result, expected_) << listing_;
      EXPECT_FALSE(run.setup_ran);
      return;
    }
    ASSERT_EQ(run.result, kSetupExitCode) << listing_;
    ASSERT_TRUE(run.setup_ran);
    const std::u16string archive =
        u" --archive-resource-name=\"" + emu::Widen(verdict_.archive_name) +
        u"\" --archive-resource-type=\"" + emu::Widen(verdict_.archive_type) + u"\"";
    EXPECT_NE(run.command_line.find(archive), std::u16string::npos)
        << emu::Narrow(run.command_line) << "\n"
        << listing_;
    EXPECT_EQ(run.in_work, std::vector<std::u16string>{SetupFile()})
        << "setup's file alone is in the work directory while it runs";
    const stubpack::InspectedResource* setup = SetupResource();
    ASSERT_NE(setup, nullptr) << listing_;
    if (Storage() == SetupStorage::kCabinet) {
      EXPECT_EQ(run.cabinet_copies, 1u);
      EXPECT_TRUE(run.cabinet_bytes == Bytes(*setup)) << "the cabinet is not the verdict's setup";
      EXPECT_TRUE(run.setup_content == setup_program_) << "setup.exe is not the expansion";
    } else {
      EXPECT_EQ(run.cabinet_copies, 0u);
      EXPECT_TRUE(run.setup_content == Bytes(*setup)) << "setup's file is not the verdict's setup";
    }
  }

  ScratchDirectory scratch_;
  Inputs in_;
  stubpack::MappedFile file_;
  std::vector<stubpack::InspectedResource> resources_;
  stubpack::Verdict verdict_;
  RunResult expected_ = StubExitCode::SUCCESS;  // the verdict's code, or the layout's (above)
  std::string listing_;                         // inspect's text, for failure messages
  std::string setup_program_;                   // what a cabinet of the table expands into
};

constexpr size_t kShortest = payload_layout::kShortestStubDirectory;

TEST_P(VerdictHost, StubEndsAsThePackerPredicts) {
  ExpectTheEmulationListsAsPacked();
  // From a drive's root, where every path is shortest: what does not fit here fits nowhere.
  ExpectAsPredicted(RunFrom(kShortest));
}

// The verdict's last stub directory at which setup's path fits, and one unit more: for every
// way of carrying setup, a cabinet too, the packer's limit is the stub's own.
TEST_P(VerdictHost, LongestDirectoryIsTheLastThatFits) {
  if (verdict_.longest_directory < static_cast<int>(kShortest)) {
    // No limit of setup's path: the verdict holds from the longest stub directory as well.
    ExpectAsPredicted(RunFrom(payload_layout::kLongestStubDirectory));
    return;
  }
  const size_t limit = static_cast<size_t>(verdict_.longest_directory);
  {
    SCOPED_TRACE(testing::Message() << limit << " units");
    ExpectAsPredicted(RunFrom(limit));
  }
  SCOPED_TRACE(testing::Message() << limit + 1 << " units");
  const StubRun beyond = RunFrom(limit + 1);
  EXPECT_EQ(beyond.result, StubExitCode::PATH_TOO_LONG) << listing_;
  EXPECT_FALSE(beyond.setup_ran);
}

std::string CaseName(const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Table, VerdictHost, ::testing::ValuesIn(LayoutCases()), CaseName);

}  // namespace
}  // namespace packer_tests
