#include "strings/bounded_text.h"

size_t BoundedLength(const WCHAR* text, size_t capacity) {
  if (text == nullptr || capacity < 2) return 0;
  for (size_t i = 0; i + 1 < capacity; ++i) {
    if (text[i] == 0) return i;
  }
  return capacity - 1;
}

bool BoundedCopy(WCHAR* destination, size_t capacity, const WCHAR* source) {
  if (destination == nullptr || capacity == 0) return false;
  for (size_t i = 0; i < capacity; ++i) {
    destination[i] = source[i];
    if (source[i] == 0) return true;
  }
  destination[0] = 0;
  return false;
}

bool BoundedAppend(WCHAR* destination, size_t capacity, const WCHAR* source) {
  const size_t end = BoundedLength(destination, capacity);
  if (destination == nullptr || capacity - end == 0) return false;
  if (BoundedCopy(destination + end, capacity - end, source)) return true;
  destination[end] = 0;
  return false;
}

WCHAR* AfterLastBackslash(WCHAR* text, size_t length) {
  if (length == 0) return text;
  for (size_t k = length - 1; k >= 1; --k) {
    if (text[k] == u'\\') return text + k + 1;
  }
  return text[0] == u'\\' ? text + 1 : text;
}

bool EncodeHexUpper(const void* bytes, size_t count, WCHAR* destination, size_t capacity) {
  if (capacity <= 2 * count) return false;
  static const char kDigits[] = "0123456789ABCDEF";
  const unsigned char* in = static_cast<const unsigned char*>(bytes);
  destination[2 * count] = 0;
  for (size_t i = 0; i < count; ++i) {
    destination[2 * i] = static_cast<WCHAR>(kDigits[in[i] >> 4]);
    destination[2 * i + 1] = static_cast<WCHAR>(kDigits[in[i] & 0x0F]);
  }
  return true;
}
