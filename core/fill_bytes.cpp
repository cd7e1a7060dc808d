#include "core/fill_bytes.h"

void* FillBytes(void* destination, int value, size_t count) {
  // volatile keeps the compiler from turning this loop into a call to memset, which forwards here.
  volatile unsigned char* out = static_cast<unsigned char*>(destination);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(value);
  return destination;
}
