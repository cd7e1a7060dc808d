#include "stub/run_stub.h"

#include "payload/extract_payload.h"
#include "setup/launch_setup.h"
#include "strings/bounded_text.h"
#include "strings/fixed_wide_buffer.h"
#include "stub/stub_config.h"
#include "workdir/remove_path.h"
#include "workdir/work_directory.h"

namespace {

// Creates the work directory, extracts, trims, removes. The configuration is the caller's.
RunResult RunWithConfiguration(const StubConfig& config, HMODULE stub_module) {
  constexpr DWORD kPathCapacity = static_cast<DWORD>(PathBuffer::Capacity());
  PathBuffer work_directory;
  PathBuffer own_path;

  // A path that cannot be had, was cut at the buffer's size or holds no directory leaves the
  // stub nowhere to work; that is a failure to report, never a success.
  const DWORD length = GetModuleFileNameW(stub_module, own_path.Text(), kPathCapacity);
  if (length == 0 || length >= kPathCapacity) return StubExitCode::SETUP_COMMAND_LINE_FAILED;
  WCHAR* after = AfterLastBackslash(own_path.Text(), length);
  if (after == own_path.Text()) return StubExitCode::SETUP_COMMAND_LINE_FAILED;
  *after = 0;

  RunResult work_directory_result = StubExitCode::SUCCESS;
  if (!CreateUniqueWorkDirectory(own_path.Text(), work_directory, work_directory_result)) {
    return work_directory_result;
  }

  PathBuffer& setup_path = own_path;
  setup_path.Clear();
  PathBuffer archive_name;
  ResourceTypeBuffer archive_type;
  RunResult result =
      ExtractPayload(stub_module, work_directory.Text(), setup_path, archive_name, archive_type);

  // Whatever the extraction gave: the payload pages are not needed while setup runs.
  SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));

  if (result == StubExitCode::SUCCESS) {
    result = LaunchSetup(config, stub_module, archive_name, archive_type, setup_path);
  }

  if (config.remove_after_run) {
    if (BoundedLength(setup_path.Text(), PathBuffer::Capacity()) > 0) {
      RemovePathWithRetries(setup_path.Text());
    }
    RemovePathWithRetries(work_directory.Text());
  }
  return result;
}

}  // namespace

RunResult RunStub(HMODULE stub_module) {
  StubConfig config;
  RunResult result = StubExitCode::SUCCESS;
  if (!config.Load()) {
    result = StubExitCode::CONFIGURATION_FAILED;
  } else if (config.unsupported_switch_present) {
    result = StubExitCode::UNSUPPORTED_SWITCH;
  } else {
    result = RunWithConfiguration(config, stub_module);
  }
  config.Reset();
  return result;
}

extern "C" void StubEntry() { ExitProcess(RunStub(GetModuleHandleW(nullptr))); }
