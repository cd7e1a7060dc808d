// The rules by which the stub finds its payload and names what it writes: the resource types in
// scan order, the name prefixes and how they fold, where setup's file goes, the work directory's
// name, and the limits that follow from the fixed buffers. The stub runs by them and the packer
// predicts by them, so both read them from here. Plain constants and templates over the unit type
// (WCHAR in the stub, char16_t in the packer): no platform call, nothing to link.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/capacities.h"

namespace payload_layout {

// An ASCII text widened to a terminated array of Unit at compile time, for a platform call.
template <typename Unit, size_t N>
struct UnitText {
  Unit units[N];
  constexpr const Unit* Text() const { return units; }
  static constexpr size_t Length() { return N - 1; }
};

template <typename Unit, size_t N>
constexpr UnitText<Unit, N> InUnits(const char (&ascii)[N]) {
  UnitText<Unit, N> text{};
  for (size_t i = 0; i < N; ++i) text.units[i] = static_cast<Unit>(ascii[i]);
  return text;
}

// --- resource types, in the order the stub scans them ---------------------------------------
constexpr size_t kTypeCount = 3;
inline constexpr char kTypes[kTypeCount][kResourceTypeUnits] = {"B7", "BL", "BN"};

// What the type that holds setup says about how setup is stored.
enum class SetupStorage : uint8_t {
  kNamed,    // written under its own resource name
  kCabinet,  // a cabinet written under its name, then expanded into setup.exe
  kPlain,    // written as setup.exe
};
inline constexpr SetupStorage kStorageOfType[kTypeCount] = {
    SetupStorage::kNamed, SetupStorage::kCabinet, SetupStorage::kPlain};

// --- names ----------------------------------------------------------------------------------
inline constexpr char kArchivePrefix[] = "nimbet";
inline constexpr char kSetupPrefix[] = "setup";
// A name fits when it and its terminator fit a path buffer.
constexpr size_t kNameUnits = kPathUnits;
// The file that setup runs from, unless it is carried under its own name.
inline constexpr char kSetupFileName[] = "setup.exe";
constexpr size_t kSetupFileNameUnits = sizeof(kSetupFileName) - 1;

// Only the ASCII capitals fold: the comparison means the same on every system and locale.
template <typename Unit>
constexpr Unit FoldAscii(Unit unit) {
  return (unit >= 0x41 && unit <= 0x5A) ? static_cast<Unit>(unit | 0x20) : unit;
}

template <typename Unit, typename PrefixUnit>
constexpr bool HasPrefixAsciiNoCase(const Unit* text, const PrefixUnit* prefix) {
  if (text == nullptr || prefix == nullptr) return false;
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (FoldAscii<uint32_t>(static_cast<uint32_t>(text[i])) !=
        FoldAscii<uint32_t>(static_cast<uint32_t>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// A resource name used as a file name must name a file in the work directory and nothing else:
// no separator that climbs out of it, no stream.
template <typename Unit>
constexpr bool IsPlainFileName(const Unit* name) {
  for (size_t i = 0; name[i] != 0; ++i) {
    if (name[i] == Unit('\\') || name[i] == Unit('/') || name[i] == Unit(':')) return false;
  }
  return true;
}

// --- the work directory ---------------------------------------------------------------------
// "VQ_", five uppercase hexadecimal digits, ".tmp", and the final backslash.
inline constexpr char kWorkDirectoryPrefix[] = "VQ_";
constexpr size_t kWorkDirectoryDigits = 5;
inline constexpr char kWorkDirectorySuffix[] = ".tmp";
constexpr size_t kWorkDirectoryNameUnits =
    (sizeof(kWorkDirectoryPrefix) - 1) + kWorkDirectoryDigits + (sizeof(kWorkDirectorySuffix) - 1) + 1;
constexpr int kWorkDirectoryAttempts = 10;

// --- limits that follow ---------------------------------------------------------------------
// Stub directories are counted in units with their final backslash. The shortest is a drive's
// root; the longest still leaves room for the work directory's name below kPathUnits.
constexpr size_t kShortestStubDirectory = 3;
constexpr size_t kLongestStubDirectory = kPathUnits - 1 - kWorkDirectoryNameUnits;

// The units of the file name setup's path ends in, and for a cabinet the longer of its own name
// and the expanded setup.exe: both paths must fit.
constexpr size_t SetupFileUnits(SetupStorage storage, size_t setup_name_units) {
  switch (storage) {
    case SetupStorage::kPlain:
      return kSetupFileNameUnits;
    case SetupStorage::kCabinet:
      return setup_name_units > kSetupFileNameUnits ? setup_name_units : kSetupFileNameUnits;
    case SetupStorage::kNamed:
      break;
  }
  return setup_name_units;
}

// The longest stub directory from which every path of setup's file fits a path buffer; 0 when
// none does.
constexpr size_t LongestStubDirectoryFor(SetupStorage storage, size_t setup_name_units) {
  const size_t file = SetupFileUnits(storage, setup_name_units);
  return file > kLongestStubDirectory ? 0 : kLongestStubDirectory - file;
}

}  // namespace payload_layout
