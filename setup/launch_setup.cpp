#include "setup/launch_setup.h"

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

RunResult LaunchSetup(const StubConfig& config, HMODULE stub_module, const PathBuffer& archive_name,
                      const ResourceTypeBuffer& archive_type, const PathBuffer& setup_path) {
  constexpr size_t kPath = PathBuffer::Capacity();
  constexpr size_t kLine = CommandLineBuffer::Capacity();
  PathBuffer stub_path;
  PathBuffer program;
  CommandLineBuffer command_line;

  const DWORD length = GetModuleFileNameW(stub_module, stub_path.Text(), static_cast<DWORD>(kPath));
  if (length == 0 || length >= kPath) return StubExitCode::SETUP_COMMAND_LINE_FAILED;
  if (!BoundedCopy(program.Text(), kPath, setup_path.Text()))
    return StubExitCode::SETUP_COMMAND_LINE_FAILED;

  WCHAR* line = command_line.Text();
  const WCHAR* const pieces[] = {
      program.Text(), WTEXT("\""),         WTEXT(" --"),   WTEXT("pellorin-path"),
      WTEXT("=\""),   stub_path.Text(),    WTEXT("\" --"), WTEXT("archive-resource-name"),
      WTEXT("=\""),   archive_name.Text(), WTEXT("\" --"), WTEXT("archive-resource-type"),
      WTEXT("=\""),   archive_type.Text(), WTEXT("\""),
  };
  if (!BoundedCopy(line, kLine, WTEXT("\""))) return StubExitCode::SETUP_COMMAND_LINE_FAILED;
  for (const WCHAR* piece : pieces) {
    if (!BoundedAppend(line, kLine, piece)) return StubExitCode::SETUP_COMMAND_LINE_FAILED;
  }
  ForwardArguments(config.command_line, line, kLine);
  return StartAndAwaitProcess(program.Text(), line, StubExitCode::SETUP_FILE_NOT_FOUND,
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

  if (!CreateProcessW(program_path, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    const DWORD error = GetLastError();
    if (error == ERROR_PATH_NOT_FOUND) return missing_path;
    if (error == ERROR_FILE_NOT_FOUND) return missing_file;
    return other_failure;
  }
  CloseHandle(process.hThread);
  RunResult result = StubExitCode::SETUP_WAIT_FAILED;
  DWORD exit_code = 0;
  if (WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process.hProcess, &exit_code)) {
    result = exit_code;
  }
  CloseHandle(process.hProcess);
  return result;
}
