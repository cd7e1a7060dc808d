// The floor of one extra process start: starts the program named by the rest of its own command
// line, waits for it and ends with its exit code. No C runtime, like the stub, so that what it
// costs is the process start and nothing else.
//
//   trivial-parent.exe CHILD_COMMAND_LINE
//
// Built a second time with PARENT_WITH_STUB_IMPORTS (trivial-parent-imports.exe): the same, but
// it also loads what the stub imports (advapi32, shell32) and splits its command line once, so
// that the benchmark can tell the cost of those libraries' start from the stub's own work.
#include <windows.h>
#ifdef PARENT_WITH_STUB_IMPORTS
#include <shellapi.h>
#endif

extern "C" void* memset(void* destination, int value, size_t count) {
  volatile unsigned char* out = static_cast<unsigned char*>(destination);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(value);
  return destination;
}

extern "C" void ParentEntry() {
  WCHAR* line = GetCommandLineW();
#ifdef PARENT_WITH_STUB_IMPORTS
  int count = 0;
  LocalFree(CommandLineToArgvW(line, &count));
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key) == ERROR_SUCCESS)
    RegCloseKey(key);
#endif
  // Skip our own name (quoted or not) and the blanks after it; the rest goes to the child as is.
  if (*line == L'"') {
    for (++line; *line != 0 && *line != L'"'; ++line) {
    }
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ExitProcess(2);
  }
  CloseHandle(process.hThread);
  DWORD code = 2;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &code);
  ExitProcess(code);
}
