// Fails every platform call of a whole run in turn, once and from then on, with each error code
// that call is documented to return, and checks what must hold whatever failed: the exit code of
// the step that the failing call serves (for a fault that persists, of the first step it breaks),
// written from the table of exit codes; nothing leaked; nothing changed outside the work
// directory; nothing partly written left; the work directory removed where removal is allowed
// and no injected failure stood in its way, and a kept one holding exactly what was extracted;
// setup started at most once and never after a failed extraction. Only injected failures excuse
// anything: the emulation's own refusals are what the stub must cope with.
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "payload/cabinet_expansion.h"
#include "stub/run_stub.h"
#include "tests/host/emulated_test.h"

namespace {

using emu::Op;

struct Scenario {
  const char* name;
  std::u16string stub_directory;
  const char16_t* setup_type;
  const char16_t* setup_name;
  DWORD setup_exit;
  bool keep_files = false;
  bool volume_without_access_lists = false;
  bool second_run = false;  // the first run kept its files in the same directory
  bool scanner = false;     // a scanner holds setup.exe for its first starts and removals
  RunResult expected = 0;   // the fault-free run's result
};

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

const std::u16string kArchiveType = u"B7";
const std::u16string kArchiveName = u"NIMBET.PACKED.7Z";
const std::string kSetupBytes = "setup bytes";
const std::string kExpandedBytes = "the setup program";

bool IsCabinet(const Scenario& s) { return std::u16string(s.setup_type) == u"BL"; }
// The file the setup resource is written to, and the one setup runs from.
std::u16string ResourceFile(const Scenario& s) {
  return std::u16string(s.setup_type) == u"BN" ? u"setup.exe" : s.setup_name;
}
std::u16string SetupFile(const Scenario& s) {
  return IsCabinet(s) ? u"setup.exe" : ResourceFile(s);
}
std::string SetupBytes(const Scenario& s) { return IsCabinet(s) ? kExpandedBytes : kSetupBytes; }

struct World {
  int setup_runs = 0;
};

void Arrange(const Scenario& s, World& world) {
  emu::Reset();
  TheCabinetLibrary() = CabinetLibrary{};  // every run is a new process that loads the library
  if (s.volume_without_access_lists) emu::AddVolume(u'C', false);
  if (s.scanner) emu::SetScanner({3, ERROR_SHARING_VIOLATION, 2});
  const std::u16string stub = s.stub_directory + u"stub.exe";
  emu::SetImage(emu::Image(), stub);
  emu::MakeFile(stub, "MZ");
  // Names for the first attempt and for one retry; a program waits at each.
  emu::ScriptRandom({0x12, 0x34, 0x56, 0x78, 0xAB, 0xCD, 0xEF, 0x01});
  emu::AddResource(kArchiveType, kArchiveName, "7z archive");
  emu::AddResource(s.setup_type, s.setup_name, kSetupBytes);
  emu::SetCabinetScript(emu::OneFileCabinet(kExpandedBytes));
  emu::SetCommandLine(u"\"" + stub + u"\" /S");
  if (s.keep_files || s.second_run) {
    emu::SetRegistryValue(HKEY_CURRENT_USER, u"Software\\Zarnith", u"NimbetInstallerCleanup",
                          REG_SZ, emu::Utf16Bytes(u"0", true));
  }
  const DWORD code = s.setup_exit;
  int* runs = &world.setup_runs;
  for (const char16_t* digits : {u"12345", u"00000", u"ABCDE"}) {
    for (const std::u16string& file :
         {std::u16string(u"setup.exe"), std::u16string(s.setup_name)}) {
      emu::RegisterProgram(s.stub_directory + u"VQ_" + digits + u".tmp\\" + file,
                           [runs, code](const std::u16string&) {
                             ++*runs;
                             return code;
                           });
    }
  }
  if (s.second_run) {
    RunStub(emu::Image());  // leaves VQ_12345.tmp with setup.exe
    TheCabinetLibrary() = CabinetLibrary{};
    emu::SetRegistryValue(HKEY_CURRENT_USER, u"Software\\Zarnith", u"NimbetInstallerCleanup",
                          REG_SZ, emu::Utf16Bytes(u"1", true));
    emu::ScriptRandom({0x12, 0x34, 0x56, 0x78, 0xAB, 0xCD, 0xEF, 0x01, 0, 0, 0, 0});
    world.setup_runs = 0;
  }
  emu::ClearFaults();
}

// The work directory a run made, from its successful creation among calls[from...]; empty if none.
std::u16string WorkDirectoryOf(const std::vector<emu::Call>& calls, size_t from) {
  std::u16string work;
  for (size_t i = from; i < calls.size(); ++i) {
    if (calls[i].op == Op::CreateDirectoryW && !calls[i].failed) {
      // Created through the extended form of its path; the run names it without the prefix.
      const std::u16string& made = calls[i].text;
      const std::u16string prefix = u"\\\\?\\";
      work = (made.compare(0, prefix.size(), prefix) == 0 ? made.substr(prefix.size()) : made) +
             u"\\";
    }
  }
  return work;
}

std::vector<std::u16string> Outside(const std::vector<std::u16string>& tree,
                                    const std::u16string& directory) {
  std::vector<std::u16string> outside;
  for (const auto& path : tree) {
    if (directory.empty() || path.compare(0, directory.size(), directory) != 0)
      outside.push_back(path);
  }
  return outside;
}

// Counts what failed as well as reporting it, for the summary lines.
struct Violations {
  size_t count = 0;
  void Check(bool ok, const std::string& what) {
    if (ok) return;
    ++count;
    ADD_FAILURE() << what;
  }
};

// --- the step each call serves ----------------------------------------------------------------

// An open that only removes (the delete disposition) or clears the read-only bit for it.
bool IsRemovalOpen(const emu::Call& call) {
  return call.op == Op::CreateFileW && (call.detail & (GENERIC_READ | GENERIC_WRITE)) == 0;
}
bool IsHandleCall(Op op) {
  return op == Op::SetFileInformationByHandle || op == Op::GetFileInformationByHandleEx ||
         op == Op::CloseHandle;
}

// Which calls of calls[from...] serve a removal: its opens, and the calls on the handle each
// opened up to the next call on anything else.
std::vector<bool> RemovalCalls(const std::vector<emu::Call>& calls, size_t from) {
  std::vector<bool> removal(calls.size(), false);
  std::optional<std::u16string> open;
  for (size_t i = from; i < calls.size(); ++i) {
    const emu::Call& call = calls[i];
    if (IsRemovalOpen(call)) {
      open = call.text;
      removal[i] = true;
    } else if (open && IsHandleCall(call.op) && call.text == *open) {
      removal[i] = true;
    } else {
      open.reset();
    }
  }
  return removal;
}

// The exit code with which a failure of this call ends the run, from the table of exit codes:
// by the step the call serves, told by the call and the object it names. Nothing when the run
// goes on: a release, a mark, a time, a flush, the trim, a removal, a registry read (which only
// keeps the files from being kept), a volume query (the directory is made without an access
// list), one of several names or library paths while another is still to come.
struct RunFacts {
  std::u16string work;          // the run's work directory, with its backslash; empty if none
  bool directory_made = false;  // some CreateDirectoryW succeeded
  bool library_loaded = false;  // some LoadLibraryExW succeeded
  bool setup_started = false;   // some CreateProcessW succeeded
};

std::optional<RunResult> CodeOfFailure(const Scenario& s, const emu::Call& call, bool removal,
                                       const RunFacts& facts) {
  using namespace StubExitCode;
  if (removal) return std::nullopt;
  switch (call.op) {
    case Op::CommandLineToArgvW:
      return CONFIGURATION_FAILED;
    case Op::GetModuleFileNameW:
      return OWN_PATH_UNAVAILABLE;
    case Op::OpenProcessToken:
    case Op::GetTokenInformation:
    case Op::LocalAlloc:
    case Op::ConvertSidToStringSidW:
    case Op::ConvertStringSecurityDescriptorToSecurityDescriptorW:
      return WORK_DIRECTORY_SECURITY_FAILED;
    case Op::CreateDirectoryW:
      if (facts.directory_made) return std::nullopt;
      return NO_WORK_DIRECTORY;
    case Op::EnumResourceNamesW:
      if (call.text == kArchiveType) return ARCHIVE_NOT_FOUND;
      if (call.text == s.setup_type) return SETUP_EXTRACTION_FAILED;
      return std::nullopt;  // a type that holds nothing
    case Op::FindResourceW:
    case Op::SizeofResource:
    case Op::LoadResource:
    case Op::LockResource:
      return call.text == kArchiveName ? ARCHIVE_NOT_FOUND : SETUP_EXTRACTION_FAILED;
    case Op::CreateFileW:
    case Op::WriteFile:
      if (call.text == facts.work + ResourceFile(s)) {
        // The resource's own file, or the cabinet library reading it back.
        return call.op == Op::WriteFile || (call.detail & GENERIC_WRITE) != 0
                   ? RESOURCE_WRITE_FAILED
                   : SETUP_EXTRACTION_FAILED;
      }
      return SETUP_EXTRACTION_FAILED;  // setup.exe, expanded from the cabinet
    case Op::ExpandEnvironmentStringsW:
    case Op::LoadLibraryExW:
      if (facts.library_loaded) return std::nullopt;
      return SETUP_EXTRACTION_FAILED;
    case Op::GetProcAddress:
    case Op::HeapAlloc:
    case Op::WideCharToMultiByte:
    case Op::MultiByteToWideChar:
    case Op::ReadFile:
    case Op::SetFilePointer:
    case Op::DuplicateHandle:
      return SETUP_EXTRACTION_FAILED;
    case Op::CreateProcessW:
      // What a scanner's hold gives is tried again; it ends the run only when no start followed.
      if ((call.error == ERROR_ACCESS_DENIED || call.error == ERROR_SHARING_VIOLATION) &&
          facts.setup_started) {
        return std::nullopt;
      }
      return call.error == ERROR_FILE_NOT_FOUND   ? SETUP_FILE_NOT_FOUND
             : call.error == ERROR_PATH_NOT_FOUND ? SETUP_PATH_NOT_FOUND
                                                  : SETUP_LAUNCH_FAILED;
    case Op::WaitForSingleObject:
    case Op::GetExitCodeProcess:
      return SETUP_WAIT_FAILED;
    default:
      return std::nullopt;
  }
}

// The documented errors of an operation, each injected in turn. One with a single documented
// error is failed with 0, which reports that same error at the failing call and lets a persistent
// fault fail each later call with its own operation's error.
std::vector<DWORD> ErrorsToInject(Op op) {
  const std::vector<DWORD>& documented = emu::DocumentedErrors(op);
  if (documented.size() == 1) return {0};
  return documented;
}

class FaultSweepTest : public EmulatedTest, public ::testing::WithParamInterface<Scenario> {};

struct Totals {
  size_t scenarios = 0, runs = 0, failed_calls = 0, violations = 0;
};
Totals g_totals;

// One line for all scenarios that ran in this process.
class SweepSummary : public ::testing::Environment {
 public:
  void TearDown() override {
    if (g_totals.scenarios == 0) return;
    std::printf("fault sweep: %zu scenarios, %zu runs, %zu failed calls, %zu violations\n",
                g_totals.scenarios, g_totals.runs, g_totals.failed_calls, g_totals.violations);
  }
};
[[maybe_unused]] ::testing::Environment* const g_summary =
    ::testing::AddGlobalTestEnvironment(new SweepSummary);

std::string Describe(const emu::Call& call) {
  std::string text = emu::OpName(call.op);
  if (!call.text.empty()) text += " " + Show(call.text);
  return text;
}

TEST_P(FaultSweepTest, EveryFailingCallLeavesTheRunSound) {
  const Scenario& s = GetParam();
  World world;
  Arrange(s, world);
  const size_t offset = emu::Calls().size();  // calls of the first run in the second-run scenario
  ASSERT_EQ(RunStub(emu::Image()), s.expected) << "the fault-free run";
  const std::vector<emu::Call> clean = emu::Calls();
  size_t runs = 0, failed_calls = 0;
  Violations violations;

  for (bool persistent : {false, true}) {
    for (uint64_t k = 1;; ++k) {
      // The k-th call of a run with its fault at k is the fault-free run's k-th call.
      if (offset + k > clean.size()) break;
      const Op op = clean[offset + k - 1].op;
      for (DWORD error : ErrorsToInject(op)) {
        World run_world;
        Arrange(s, run_world);
        const std::vector<std::u16string> tree_before = emu::ListTree();
        emu::InjectFault({Op::Any, offset + k, persistent, error});
        const RunResult result = RunStub(emu::Image());
        const uint64_t injected = emu::InjectedFailures();
        emu::ClearFaults();
        ++runs;
        failed_calls += injected;
        const std::vector<emu::Call> calls = emu::Calls();
        const std::string where = std::string(s.name) + (persistent ? ", persistent" : ", once") +
                                  " fault at call " + std::to_string(k) + " (" +
                                  emu::OpName(op) + ", error " + std::to_string(error) + ")";
        SCOPED_TRACE(where);

        RunFacts facts;
        facts.work = WorkDirectoryOf(calls, offset);
        for (size_t i = offset; i < calls.size(); ++i) {
          if (calls[i].failed) continue;
          facts.directory_made |= calls[i].op == Op::CreateDirectoryW;
          facts.library_loaded |= calls[i].op == Op::LoadLibraryExW;
          facts.setup_started |= calls[i].op == Op::CreateProcessW;
        }
        const std::vector<bool> removal = RemovalCalls(calls, offset);

        // The exit code: that of the first injected failure that ends the run, or the run's own.
        RunResult expected = s.expected;
        std::string broken = "nothing";
        bool registry_failed = false, mark_failed = false, removal_failed = false;
        bool decided = false;
        for (size_t i = offset; i < calls.size(); ++i) {
          const emu::Call& call = calls[i];
          if (!call.injected) continue;
          registry_failed |= call.op == Op::RegOpenKeyExW || call.op == Op::RegQueryValueExW;
          removal_failed |= removal[i];
          mark_failed |= !removal[i] && call.op == Op::SetFileInformationByHandle &&
                         call.detail == FileDispositionInfo;
          const std::optional<RunResult> code = CodeOfFailure(s, call, removal[i], facts);
          if (code && !decided) {
            expected = *code;
            broken = Describe(call);
            decided = true;
          }
        }
        violations.Check(result == expected, where + ": exit code " + std::to_string(result) +
                                                 ", expected " + std::to_string(expected) +
                                                 " from the failure of " + broken);

        // Nothing leaked but the cabinet library, which stays loaded.
        violations.Check(emu::OpenHandles() == 0, where + ": handles left open");
        violations.Check(emu::LocalBlocks() == 0, where + ": LocalAlloc blocks left");
        violations.Check(emu::HeapBlocks() == 0, where + ": HeapAlloc blocks left");

        const std::u16string& work = facts.work;
        violations.Check(Outside(emu::ListTree(), work) == Outside(tree_before, work),
                         where + ": something changed outside the work directory");

        // Nothing partly written, unless the delete mark itself was what failed.
        if (!work.empty() && !mark_failed) {
          for (const auto& name : emu::ListDirectory(work)) {
            const std::string content = emu::FileContent(work + name);
            violations.Check(content == kSetupBytes || content == kExpandedBytes,
                             where + ": partly written " + Show(name));
          }
        }

        // Removed where removal is allowed, unless an injected failure stood in its way; kept
        // with exactly what was extracted where the registry value keeps it.
        const bool kept = s.keep_files && !registry_failed;
        if (!work.empty() && !kept && !removal_failed) {
          violations.Check(!emu::Exists(work), where + ": the work directory stayed, holding " +
                                                   std::to_string(emu::ListDirectory(work).size()) +
                                                   " entries");
        }
        if (!work.empty() && kept) {
          const bool extracted = std::any_of(calls.begin() + offset, calls.end(),
                                             [](const emu::Call& c) {
                                               return c.op == Op::CreateProcessW;
                                             });
          std::vector<std::u16string> want;
          if (extracted) want.push_back(SetupFile(s));
          const std::vector<std::u16string> have = emu::ListDirectory(work);
          const bool excused = (removal_failed || mark_failed) &&
                               std::includes(have.begin(), have.end(), want.begin(), want.end());
          violations.Check(emu::Exists(work), where + ": the kept work directory is gone");
          violations.Check(have == want || excused,
                           where + ": the kept work directory holds " +
                               std::to_string(have.size()) + " entries, not " +
                               std::to_string(want.size()));
          if (extracted && have == want) {
            violations.Check(emu::FileContent(work + want.front()) == SetupBytes(s),
                             where + ": the kept setup is not what was extracted");
          }
        }

        // Setup starts at most once, and never after a failed extraction.
        violations.Check(run_world.setup_runs <= 1, where + ": setup started twice");
        if (result == StubExitCode::PATH_TOO_LONG || result == StubExitCode::ARCHIVE_NOT_FOUND ||
            result == StubExitCode::SETUP_EXTRACTION_FAILED ||
            result == StubExitCode::RESOURCE_WRITE_FAILED) {
          violations.Check(run_world.setup_runs == 0,
                           where + ": setup started after a failed extraction");
        }
      }
      ASSERT_LT(k, 5000u);
    }
  }
  g_totals.scenarios += 1;
  g_totals.runs += runs;
  g_totals.failed_calls += failed_calls;
  g_totals.violations += violations.count;
  std::printf("fault sweep %s: %zu runs, %zu failed calls, %zu violations\n", s.name, runs,
              failed_calls, violations.count);
}

// --- the crash sweep ------------------------------------------------------------------------
// The process is stopped before each of its calls in turn, as a kill would stop it; then the disk
// is read and the stub runs again beside what the stopped run left.

// The work directory's access list as the platform reads it back, for the token of Reset.
const std::u16string kWorkAccessList =
    u"D:PAI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)(A;OICIIO;GA;;;CO)"
    u"(A;;FA;;;S-1-5-21-1004336348-1177238915-682003330-513)";

bool IsWorkDirectoryName(const std::u16string& name) {
  return name.size() == 12 && name.compare(0, 3, u"VQ_") == 0 && name.compare(8, 4, u".tmp") == 0;
}

// Every path under directory with each file's bytes, to see that nothing in it changed.
std::map<std::u16string, std::string> Snapshot(const std::u16string& directory) {
  std::map<std::u16string, std::string> taken;
  for (const auto& path : emu::ListTree()) {
    if (path.compare(0, directory.size(), directory) != 0) continue;
    taken[path] = path.back() == u'\\' ? std::string() : emu::FileContent(path);
  }
  return taken;
}

struct CrashTotals {
  size_t scenarios = 0, stops = 0, left = 0, violations = 0;
};
CrashTotals g_crash_totals;

class CrashSummary : public ::testing::Environment {
 public:
  void TearDown() override {
    if (g_crash_totals.scenarios == 0) return;
    std::printf(
        "crash sweep: %zu scenarios, %zu stopped runs, %zu work directories left by them, %zu "
        "violations\n",
        g_crash_totals.scenarios, g_crash_totals.stops, g_crash_totals.left,
        g_crash_totals.violations);
  }
};
[[maybe_unused]] ::testing::Environment* const g_crash_summary =
    ::testing::AddGlobalTestEnvironment(new CrashSummary);

class CrashSweepTest : public EmulatedTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(CrashSweepTest, AStoppedRunLeavesOneProtectedDirectoryThatTheNextRunLeavesAlone) {
  const Scenario& s = GetParam();
  World world;
  Arrange(s, world);
  const size_t calls = emu::CallCount();
  ASSERT_EQ(RunStub(emu::Image()), s.expected) << "the run that is never stopped";
  const size_t run_calls = emu::CallCount() - calls;
  size_t stops = 0, left = 0;
  Violations violations;

  for (size_t k = 1; k <= run_calls; ++k) {
    World stopped_world;
    Arrange(s, stopped_world);
    const std::vector<std::u16string> tree_before = emu::ListTree();
    emu::StopProcessAt(emu::CallCount() + k);
    bool stopped = false;
    try {
      RunStub(emu::Image());
    } catch (const emu::ProcessStopped&) {
      stopped = true;
    }
    emu::EndProcess();
    const std::string where = std::string(s.name) + ", stopped before call " + std::to_string(k);
    SCOPED_TRACE(where);
    violations.Check(stopped, where + ": the run ended before its stop");
    ++stops;

    // At most one new work directory, protected from its creation on.
    std::vector<std::u16string> made;
    for (const auto& name : emu::ListDirectory(s.stub_directory)) {
      const std::u16string path = s.stub_directory + name + u"\\";
      if (IsWorkDirectoryName(name) &&
          std::find(tree_before.begin(), tree_before.end(), path) == tree_before.end()) {
        made.push_back(path);
      }
    }
    violations.Check(made.size() <= 1,
                     where + ": " + std::to_string(made.size()) + " work directories");
    const std::u16string work = made.empty() ? std::u16string() : made.front();
    left += made.size();
    if (!work.empty() && !s.volume_without_access_lists) {
      violations.Check(emu::SecurityText(work) == kWorkAccessList,
                       where + ": access list " + Show(emu::SecurityText(work)));
    }
    violations.Check(Outside(emu::ListTree(), work) == Outside(tree_before, work),
                     where + ": something changed outside");

    // The next run: its first names are those the stopped run drew.
    const std::map<std::u16string, std::string> kept = Snapshot(work);
    const std::vector<std::u16string> tree_after_stop = emu::ListTree();
    TheCabinetLibrary() = CabinetLibrary{};
    emu::ScriptRandom({0x12, 0x34, 0x56, 0x78, 0xAB, 0xCD, 0xEF, 0x01, 0, 0, 0, 0});
    stopped_world.setup_runs = 0;
    const RunResult rerun = RunStub(emu::Image());
    violations.Check(rerun == s.expected,
                     where + ": the next run ended with " + std::to_string(rerun));
    violations.Check(emu::OpenHandles() == 0 && emu::LocalBlocks() == 0 && emu::HeapBlocks() == 0,
                     where + ": the next run leaked");
    violations.Check(
        stopped_world.setup_runs == (s.expected == StubExitCode::PATH_TOO_LONG ? 0 : 1),
        where + ": setup ran " + std::to_string(stopped_world.setup_runs) +
            " times in the next run");
    const std::u16string rerun_work = WorkDirectoryOf(emu::Calls(), 0);
    if (!work.empty()) {
      violations.Check(Snapshot(work) == kept,
                       where + ": the next run changed the stopped run's directory");
      violations.Check(rerun_work != work,
                       where + ": the next run adopted the stopped run's directory");
    }
    if (!s.keep_files) {
      violations.Check(emu::ListTree() == tree_after_stop, where + ": the next run left something");
    } else if (s.expected != StubExitCode::PATH_TOO_LONG) {
      const std::vector<std::u16string> want = {SetupFile(s)};
      violations.Check(!rerun_work.empty() && emu::ListDirectory(rerun_work) == want &&
                           emu::FileContent(rerun_work + want.front()) == SetupBytes(s),
                       where + ": the next run did not keep exactly what it extracted");
    }
  }
  g_crash_totals.scenarios += 1;
  g_crash_totals.stops += stops;
  g_crash_totals.left += left;
  g_crash_totals.violations += violations.count;
  std::printf("crash sweep %s: %zu stopped runs, %zu directories left, %zu violations\n", s.name,
              stops, left, violations.count);
}

Scenario Make(const char* name, size_t stub_units, const char16_t* type, const char16_t* setup,
              DWORD exit_code, RunResult expected) {
  Scenario s;
  s.name = name;
  s.stub_directory = DirectoryOfLength(stub_units);
  s.setup_type = type;
  s.setup_name = setup;
  s.setup_exit = exit_code;
  s.expected = expected;
  return s;
}

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> all = {
      Make("cabinet", 20, u"BL", u"SETUP.EX_", 0, 0),
      Make("plain", 20, u"BN", u"SETUP.EXE", 3, 3),
      Make("setup_under_the_archive_type", 20, u"B7", u"SETUP.BIN", 0, 0),
      Make("stub_directory_of_237_units", 237, u"BL", u"SETUP.EX_", 0, 0),
      Make("stub_directory_of_246_units", 246, u"BL", u"SETUP.EX_", 0, StubExitCode::PATH_TOO_LONG),
  };
  Scenario keep = Make("keep_files", 20, u"BL", u"SETUP.EX_", 3, 3);
  keep.keep_files = true;
  all.push_back(keep);
  // Kept files for the other two ways of carrying setup: what is kept differs with each.
  for (Scenario kept : {Make("keep_files_plain", 20, u"BN", u"SETUP.EXE", 0, 0),
                        Make("keep_files_under_the_archive_type", 20, u"B7", u"SETUP.BIN", 0, 0)}) {
    kept.keep_files = true;
    all.push_back(kept);
  }
  Scenario scanned = Make("scanner_holds_setup", 20, u"BL", u"SETUP.EX_", 3, 3);
  scanned.scanner = true;
  all.push_back(scanned);
  Scenario fat = Make("volume_without_access_lists", 20, u"BL", u"SETUP.EX_", 0, 0);
  fat.volume_without_access_lists = true;
  all.push_back(fat);
  Scenario second = Make("second_run_beside_the_first", 20, u"BL", u"SETUP.EX_", 0, 0);
  second.second_run = true;
  all.push_back(second);
  return all;
}

std::string ScenarioName(const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(Layouts, FaultSweepTest, ::testing::ValuesIn(Scenarios()), ScenarioName);
INSTANTIATE_TEST_SUITE_P(Layouts, CrashSweepTest, ::testing::ValuesIn(Scenarios()), ScenarioName);

}  // namespace
