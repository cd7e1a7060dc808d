// The entry point on Windows (linked with -municode): the UTF-16 arguments become UTF-8 once,
// so that the parser, the messages and --json see the same text as on Linux.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "tools/stubpack/main.h"
#include "tools/stubpack/system.h"

namespace {

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
  stubpack::sys::PrepareOutput();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf8(argv[i]));
  return stubpack::RunStubpack(args);
}
