// Prints the toolchain's values of every pinned constant and record size, one "NAME VALUE" a line;
// the host's constants test compares them with the emulation's.
#include <cstddef>
#include <cstdio>

#include "platform/pinned_values.h"
#include "platform/win32.h"

int main() {
#define PIN_VALUE(name) std::printf("%s %llu\n", #name, PinnedNumber(name));
#define PIN_SIZE(type) \
  std::printf("sizeof(%s) %llu\n", #type, static_cast<unsigned long long>(sizeof(type)));
#define PIN_OFFSET(type, field)                        \
  std::printf("offsetof(%s.%s) %llu\n", #type, #field, \
              static_cast<unsigned long long>(offsetof(type, field)));
#include "platform/pinned_values.inc"
  return 0;
}
