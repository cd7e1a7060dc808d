// A UTF-16 buffer of fixed capacity whose guard unit keeps it terminated, whatever a platform
// call or a failed bounded operation leaves in the usable units.
#pragma once

#include <stddef.h>

#include "core/capacities.h"
#include "platform/win32.h"

template <size_t N>
class FixedWideBuffer {
 public:
  static constexpr size_t kCapacity = N;

  FixedWideBuffer() {
    units_[0] = 0;
    units_[N] = 0;
  }

  WCHAR* Text() { return units_; }
  const WCHAR* Text() const { return units_; }
  static constexpr size_t Capacity() { return N; }
  void Clear() { units_[0] = 0; }

 private:
  WCHAR units_[N + 1];
};

using ResourceTypeBuffer = FixedWideBuffer<kResourceTypeUnits>;
using PathBuffer = FixedWideBuffer<kPathUnits>;
using CommandLineBuffer = FixedWideBuffer<kCommandLineUnits>;
