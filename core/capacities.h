// The capacities of the stub's fixed buffers, in UTF-16 units with the terminator. Everything
// that predicts what the stub accepts (the packer among it) reads them from here.
#pragma once

#include <stddef.h>

constexpr size_t kResourceTypeUnits = 3;
constexpr size_t kPathUnits = 260;
constexpr size_t kCommandLineUnits = 1300;
// A path buffer's text in its extended form: "\\?\UNC\" in place of a share's "\\".
constexpr size_t kExtendedPathUnits = kPathUnits + 6;
