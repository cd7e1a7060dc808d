// stubpack's command line, after the entry point (entry_posix.cpp, entry_windows.cpp) has made
// its arguments UTF-8 and its output ready.
#pragma once

#include <string>
#include <vector>

namespace stubpack {

// The arguments after the program's name; the exit status.
int RunStubpack(const std::vector<std::string>& args);

}  // namespace stubpack
