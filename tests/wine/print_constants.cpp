// Prints the toolchain's values of every pinned constant and record size, one "NAME VALUE" a line;
// the host's constants test compares them with the emulation's.
#include <cstddef>
#include <cstdio>

#include "platform/pinned_values.h"
// ntstatus.h's codes in place of winnt.h's few, for the one status below.
#define WIN32_NO_STATUS
#include "platform/win32.h"
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>

// The toolchain's headers lack ERROR_ELEVATION_REQUIRED but hold the NT status it stands for:
// the system's own translation of that status gives the code to compare.
#ifndef ERROR_ELEVATION_REQUIRED
#define ERROR_ELEVATION_REQUIRED RtlNtStatusToDosError(STATUS_ELEVATION_REQUIRED)
#endif

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
