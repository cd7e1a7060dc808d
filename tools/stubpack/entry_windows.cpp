// The entry point on Windows (linked with -municode): the UTF-16 arguments become UTF-8 once,
// so that the parser, the messages and --json see the same text as on Linux. Output stays the
// UTF-8 bytes Linux writes: stdout and stderr in binary mode ("\n" not turned into "\r\n"), so
// that a pipe or a file receives exactly what the Linux build writes. A console is switched to
// the UTF-8 code page for the run, rather than each write going through WriteConsoleW: every
// writer (iostreams, the progress line's stdio) then stays as it is, and the console's own code
// page comes back when the run ends.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include <fcntl.h>
#include <io.h>

#include <string>
#include <vector>

#include "tools/stubpack/main.h"

namespace {

UINT g_console_code_page = 0;

void RestoreConsoleCodePage() {
  if (g_console_code_page != 0) SetConsoleOutputCP(g_console_code_page);
}

std::string Utf8(const wchar_t* text) {
  const int size = static_cast<int>(std::wcslen(text));
  if (size == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, size, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ||
      GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode)) {
    g_console_code_page = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    std::atexit(RestoreConsoleCodePage);
  }
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf8(argv[i]));
  return stubpack::RunStubpack(args);
}
