// The compiler may emit calls to memset and memcpy on its own (a zeroed record, a structure
// copy); with no C runtime linked, the stub provides them.
#include <stddef.h>

#include "core/fill_bytes.h"

extern "C" void* memset(void* destination, int value, size_t count) {
  return FillBytes(destination, value, count);
}

extern "C" void* memcpy(void* destination, const void* source, size_t count) {
  volatile unsigned char* out = static_cast<unsigned char*>(destination);
  const unsigned char* in = static_cast<const unsigned char*>(source);
  for (size_t i = 0; i < count; ++i) out[i] = in[i];
  return destination;
}
