// The entry point on Windows (linked with -municode): the UTF-16 arguments become UTF-8 once,
// so that the parser, the messages and --json see the same text as on Linux.
#include <cwchar>
#include <string>
#include <vector>

#include "tools/stubpack/main.h"
#include "tools/stubpack/system.h"
#include "tools/stubpack/utf16_windows.h"

int wmain(int argc, wchar_t** argv) {
  stubpack::sys::PrepareOutput();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i)
    args.push_back(stubpack::sys::Narrow(argv[i], std::wcslen(argv[i])));
  return stubpack::RunStubpack(args);
}
