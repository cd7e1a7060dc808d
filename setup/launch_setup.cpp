#include "setup/launch_setup.h"

#include "core/fill_bytes.h"
#include "core/owner.h"
#include "core/retries.h"
#include "strings/bounded_text.h"

namespace {

// The stub's own arguments as it received them: everything after its first argument, which is
// skipped in the raw text with the platform's rule for the program's path.
void ForwardArguments(const WCHAR* own, WCHAR* command_line, size_t capacity) {
  if (own == nullptr) return;
  const WCHAR* p = own;
  if (*p == WTEXT('"')) {
    ++p;
    while (*p != 0 && *p != WTEXT('"')) ++p;
    if (*p == 0) return;  // an unterminated quoted path: nothing is forwarded
    ++p;
  } else {
    while (*p != 0 && *p != WTEXT('\t') && *p != WTEXT(' ')) ++p;
  }
  if (*p == 0) return;
  if (*p != WTEXT('\t') && *p != WTEXT(' ') && !BoundedAppend(command_line, capacity, WTEXT(" ")))
    return;
  // Arguments that do not fit are dropped whole; setup starts without them.
  BoundedAppend(command_line, capacity, p);
}

}  // namespace

RunResult LaunchSetup(const WCHAR* stub_command_line, const PathBuffer& stub_path,
                      const PathBuffer& archive_name, const ResourceTypeBuffer& archive_type,
                      const PathBuffer& setup_path) {
  constexpr size_t kLine = CommandLineBuffer::Capacity();
  CommandLineBuffer command_line;

  WCHAR* line = command_line.Text();
  const WCHAR* const pieces[] = {
      WTEXT("\""),  setup_path.Text(),   WTEXT("\" --"), WTEXT("pellorin-path"),
      WTEXT("=\""), stub_path.Text(),    WTEXT("\" --"), WTEXT("archive-resource-name"),
      WTEXT("=\""), archive_name.Text(), WTEXT("\" --"), WTEXT("archive-resource-type"),
      WTEXT("=\""), archive_type.Text(), WTEXT("\""),
  };
  // Three paths of at most 259 units, a type of 2 and 75 units of switches and quotes always fit,
  // so this failure is a guard of the append chain that no input reaches; forwarded arguments
  // always keep at least the rest of the buffer.
  static_assert(3 * (kPathUnits - 1) + (kResourceTypeUnits - 1) + 75 < kLine,
                "the fixed part of setup's command line must always fit");
  for (const WCHAR* piece : pieces) {
    if (!BoundedAppend(line, kLine, piece)) return StubExitCode::SETUP_COMMAND_LINE_FAILED;
  }
  ForwardArguments(stub_command_line, line, kLine);
  return StartAndAwaitProcess(setup_path.Text(), line, StubExitCode::SETUP_FILE_NOT_FOUND,
                              StubExitCode::SETUP_PATH_NOT_FOUND,
                              StubExitCode::SETUP_LAUNCH_FAILED);
}

RunResult StartAndAwaitProcess(const WCHAR* program_path, WCHAR* command_line,
                               RunResult missing_file, RunResult missing_path,
                               RunResult other_failure) {
  STARTUPINFOW startup;
  FillBytes(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  FillBytes(&process, 0, sizeof(process));

  // A scanner or indexer commonly holds a freshly written executable for a moment; Windows then
  // refuses the start with one of these two errors, and a moment later it succeeds.
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(program_path, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                       nullptr, nullptr, &startup, &process)) {
      break;
    }
    const DWORD error = GetLastError();
    if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) &&
        attempt < kLaunchAttempts) {
      Sleep(kRetryPauseMilliseconds);
      continue;
    }
    if (error == ERROR_PATH_NOT_FOUND) return missing_path;
    if (error == ERROR_FILE_NOT_FOUND) return missing_file;
    return other_failure;
  }
  const KernelHandle setup(process.hProcess);
  KernelHandle(process.hThread).Reset();  // nothing waits for the thread
  DWORD exit_code = 0;
  if (WaitForSingleObject(setup.Get(), INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(setup.Get(), &exit_code)) {
    return StubExitCode::SETUP_WAIT_FAILED;
  }
  return exit_code;
}
