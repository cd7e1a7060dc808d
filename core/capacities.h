// The capacities of the stub's fixed buffers, in UTF-16 units with the terminator. Everything
// that predicts what the stub accepts (the packer among it) reads them from here.
#pragma once

#include <stddef.h>

constexpr size_t kResourceTypeUnits = 3;
constexpr size_t kPathUnits = 260;
constexpr size_t kCommandLineUnits = 1300;
