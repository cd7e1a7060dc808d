// The entry point on Linux: the arguments are already the bytes the user gave.
#include <string>
#include <vector>

#include "tools/stubpack/main.h"

int main(int argc, char** argv) {
  return stubpack::RunStubpack(std::vector<std::string>(argv + 1, argv + argc));
}
