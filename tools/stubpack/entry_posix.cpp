// The entry point on Linux: the arguments are already the bytes the user gave.
#include <string>
#include <vector>

#include "tools/stubpack/main.h"
#include "tools/stubpack/system.h"

int main(int argc, char** argv) {
  stubpack::sys::PrepareOutput();
  return stubpack::RunStubpack(std::vector<std::string>(argv + 1, argv + argc));
}
