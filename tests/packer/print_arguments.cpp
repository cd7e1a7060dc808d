// The child of tool-run-test.exe: says what it was started with, as the packer's tools would see
// it. Without a mode it prints the arguments after its own name, each as hexadecimal UTF-16
// units, once as CommandLineToArgvW splits its command line ("shell=") and once as the C
// runtime's wmain receives them ("crt="). Modes (first argument):
//   --exit N           writes "out" to stdout and "err" to stderr, exits with N
//   --stdin            prints "stdin=" and the number of bytes that stdin held
//   --read-mapped P    prints P's bytes, read as osslsigncode reads -readpass (a mapped view)
//   --handle H NAME    prints "inherited" when the handle value H is a file named NAME here,
//                      else "closed"
//   --sleep            sleeps a minute
//   --sleep-with-child PIDFILE   starts itself with --sleep, writes that child's id to PIDFILE,
//                      then sleeps a minute
//   --leave-child PIDFILE   the same, the child inheriting its handles (its stdout too), and
//                      exits at once
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <string>

namespace {

std::string Hex(const wchar_t* text) {
  std::string hex;
  char unit[8];
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    std::snprintf(unit, sizeof(unit), "%04x", static_cast<unsigned>(*p));
    hex += unit;
  }
  return hex;
}

std::string Joined(int count, wchar_t** items) {
  std::string line;
  for (int i = 1; i < count; ++i) {
    if (i > 1) line += ',';
    line += "[" + Hex(items[i]) + "]";
  }
  return line;
}

int ReadMapped(const wchar_t* path) {
  HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot open: %lu\n", GetLastError());
    return 2;
  }
  HANDLE map = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (map == nullptr) {
    std::printf("cannot map: %lu\n", GetLastError());
    return 2;
  }
  const void* view = MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0);
  CloseHandle(map);
  if (view == nullptr) return 2;
  std::fwrite(view, 1, GetFileSize(file, nullptr), stdout);
  UnmapViewOfFile(view);
  CloseHandle(file);
  return 0;
}

// `inherit`: the child holds this one's handles, its output pipe among them.
int StartSleepingChild(const wchar_t* pid_file, bool inherit) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line = L"\"" + std::wstring(self) + L"\" --sleep";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(self, line.data(), nullptr, nullptr, inherit, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &child))
    return 3;
  FILE* out = _wfopen(pid_file, L"w");
  if (out == nullptr) return 3;
  std::fprintf(out, "%lu\n", child.dwProcessId);
  std::fclose(out);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Bytes as written, no CR added: the parent compares them exactly.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  if (argc >= 3 && std::wcscmp(argv[1], L"--exit") == 0) {
    std::fputs("out", stdout);
    std::fflush(stdout);
    std::fputs("err", stderr);
    return static_cast<int>(std::wcstoul(argv[2], nullptr, 10));
  }
  if (argc >= 2 && std::wcscmp(argv[1], L"--stdin") == 0) {
    size_t total = 0;
    char buffer[256];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), stdin)) > 0;) total += n;
    std::printf("stdin=%zu\n", total);
    return 0;
  }
  if (argc >= 3 && std::wcscmp(argv[1], L"--read-mapped") == 0) return ReadMapped(argv[2]);
  if (argc >= 4 && std::wcscmp(argv[1], L"--handle") == 0) {
    // A handle value alone may name another object here: only the file's own name tells.
    const HANDLE h =
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(_wcstoui64(argv[2], nullptr, 10)));
    wchar_t path[MAX_PATH * 2];
    const DWORD n = GetFinalPathNameByHandleW(h, path, MAX_PATH * 2, 0);
    const size_t name = std::wcslen(argv[3]);
    std::puts(n > name && n < MAX_PATH * 2 && _wcsicmp(path + n - name, argv[3]) == 0 ? "inherited"
                                                                                      : "closed");
    return 0;
  }
  if (argc >= 2 && std::wcscmp(argv[1], L"--sleep") == 0) {
    Sleep(60000);
    return 0;
  }
  if (argc >= 3 && std::wcscmp(argv[1], L"--sleep-with-child") == 0) {
    const int status = StartSleepingChild(argv[2], false);
    Sleep(60000);
    return status;
  }
  if (argc >= 3 && std::wcscmp(argv[1], L"--leave-child") == 0)
    return StartSleepingChild(argv[2], true);
  int count = 0;
  wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
  if (split == nullptr) return 4;
  std::printf("shell=%s\ncrt=%s\n", Joined(count, split).c_str(), Joined(argc, argv).c_str());
  LocalFree(split);
  return 0;
}
