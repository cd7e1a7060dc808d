// What every fuzz target shares: a reader that turns the fuzzer's bytes into choices, and a
// check that stops the fuzzer with a message when the code and the model disagree.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "platform/emulated/world.h"
#include "tests/fuzz/fuzz_check.h"

// Bytes past the end read as 0, so every input decodes to some case.
struct FuzzInput {
  const uint8_t* data;
  size_t size;
  size_t at = 0;

  bool Empty() const { return at >= size; }
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  uint16_t Word() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
};

// Units that the code under test singles out, and their neighbours: NUL, the separators,
// the ends of the ASCII capitals and small letters, Latin-1 letters that only a wider fold would
// match, a lone surrogate.
inline char16_t InterestingUnit(FuzzInput& in) {
  static const char16_t kUnits[] = {0,    u'a',  u'A', u'z', u'Z', u'\\', u'/',   u'"',
                                    u' ', u'\t', 0x40, 0x60, 0x5B, 0x7B,  0xC9,   0xE9,
                                    u'S', u's',  u'e', u'E', u'.', 0x01,  0xD800, 0xFFFF};
  const uint8_t b = in.Byte();
  if (b < 0xF0) return kUnits[b % (sizeof(kUnits) / sizeof(kUnits[0]))];
  return static_cast<char16_t>(in.Word());  // any unit at all
}

inline std::string ShowText(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      char escaped[12];
      snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(unit));
      out += escaped;
    }
  }
  return out;
}

// "C:\" and directories of 'd' until the path, with its trailing backslash, has exactly length
// units (5 or more).
inline std::u16string FuzzDirectoryOfLength(size_t length) {
  std::u16string path = u"C:\\";
  while (path.size() + 1 < length) {
    const size_t remaining = length - path.size();  // a part and its backslash
    size_t part = remaining - 1 > 100 ? 100 : remaining - 1;
    if (remaining - (part + 1) == 1) --part;  // never leave room for a backslash alone
    path.append(part, u'd');
    path += u'\\';
  }
  return path;
}

// Nothing of the emulated machine's handles or blocks may outlive the operation.
inline void CheckNothingLeaked() {
  FUZZ_CHECK(emu::OpenHandles() == 0, "%zu handles left open", emu::OpenHandles());
  FUZZ_CHECK(emu::LocalBlocks() == 0, "%zu LocalAlloc blocks left", emu::LocalBlocks());
  FUZZ_CHECK(emu::HeapBlocks() == 0, "%zu HeapAlloc blocks left", emu::HeapBlocks());
}
