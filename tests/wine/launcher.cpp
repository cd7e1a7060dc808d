// Starts a program with an exact raw command line and prints its full 32-bit exit code.
// The shell under Wine sees only the low byte of an exit code and rebuilds any command line it
// passes, so the Wine tests go through this.
//
//   launcher.exe PROGRAM COMMAND_LINE_FILE
//
// COMMAND_LINE_FILE holds the command line in UTF-8, taken byte for byte (no newline is
// stripped). Prints "exit=N" on success; exits 2 when the child could not be started or waited for.
#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: launcher PROGRAM COMMAND_LINE_FILE\n");
    return 2;
  }
  FILE* in = _wfopen(argv[2], L"rb");
  if (in == nullptr) {
    std::fprintf(stderr, "launcher: cannot open the command-line file\n");
    return 2;
  }
  std::vector<char> bytes;
  char chunk[4096];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof(chunk), in)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(in);

  std::vector<wchar_t> command_line(bytes.size() + 1, L'\0');
  if (!bytes.empty()) {
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                          static_cast<int>(bytes.size()), command_line.data(),
                                          static_cast<int>(command_line.size()));
    if (units <= 0) {
      std::fprintf(stderr, "launcher: the command line is not UTF-8\n");
      return 2;
    }
    command_line[units] = L'\0';
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(argv[1], command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "launcher: CreateProcessW failed with %lu\n", GetLastError());
    return 2;
  }
  CloseHandle(process.hThread);
  DWORD code = 0;
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.hProcess, &code)) {
    std::fprintf(stderr, "launcher: waiting failed with %lu\n", GetLastError());
    CloseHandle(process.hProcess);
    return 2;
  }
  CloseHandle(process.hProcess);
  std::printf("exit=%lu\n", code);
  std::fflush(stdout);
  return 0;
}
