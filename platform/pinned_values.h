// Turns a constant of any of the platform's kinds (integer, enumerator, handle) into one number.
#pragma once

#include <stdint.h>

#include <type_traits>

template <typename T>
unsigned long long PinnedNumber(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(value));
  } else {
    // Sign-extend first, as the platform's 32-bit LONG constants are compared as 64-bit values.
    return static_cast<unsigned long long>(static_cast<long long>(value));
  }
}
