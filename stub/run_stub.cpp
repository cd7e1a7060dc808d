#include "stub/run_stub.h"

#include "core/fixed_wide_buffer.h"
#include "payload/extract_payload.h"
#include "setup/launch_setup.h"
#include "strings/bounded_text.h"
#include "stub/stub_config.h"
#include "workdir/remove_path.h"
#include "workdir/work_directory.h"

namespace {

// The stub's own path, whole, and its directory with the final backslash. A path that cannot be
// had, was cut at the buffer's size or holds no directory leaves the stub nowhere to work; that
// is a failure to report, never a success.
bool GetOwnPath(HMODULE stub_module, PathBuffer& stub_path, PathBuffer& stub_directory) {
  constexpr DWORD kPathCapacity = static_cast<DWORD>(PathBuffer::Capacity());
  const DWORD length = GetModuleFileNameW(stub_module, stub_path.Text(), kPathCapacity);
  if (length == 0 || length >= kPathCapacity) return false;
  if (!BoundedCopy(stub_directory.Text(), kPathCapacity, stub_path.Text())) return false;
  WCHAR* after = AfterLastBackslash(stub_directory.Text(), length);
  if (after == stub_directory.Text()) return false;
  *after = 0;
  return true;
}

// Creates the work directory, extracts, trims, launches, removes. The configuration is the
// caller's.
RunResult RunWithConfiguration(const StubConfig& config, HMODULE stub_module) {
  PathBuffer stub_path;
  PathBuffer stub_directory;
  if (!GetOwnPath(stub_module, stub_path, stub_directory)) {
    return StubExitCode::OWN_PATH_UNAVAILABLE;
  }

  PathBuffer work_directory;
  const RunResult created = CreateUniqueWorkDirectory(stub_directory.Text(), work_directory);
  if (created != StubExitCode::SUCCESS) return created;

  PathBuffer setup_path;
  PathBuffer archive_name;
  ResourceTypeBuffer archive_type;
  RunResult result =
      ExtractPayload(stub_module, work_directory.Text(), setup_path, archive_name, archive_type);

  // Whatever the extraction gave: the payload pages are not needed while setup runs.
  SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));

  if (result == StubExitCode::SUCCESS) {
    result = LaunchSetup(config.command_line, stub_path, archive_name, archive_type, setup_path);
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
