// Little-endian fields and UTF-8/UTF-16 text, as the PE and cabinet formats store them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stubpack {

using Bytes = std::vector<uint8_t>;

inline void PutU16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void PutU32(Bytes& out, uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}
inline void SetU16(uint8_t* at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}
inline void SetU32(uint8_t* at, uint32_t v) {
  SetU16(at, v & 0xFFFF);
  SetU16(at + 2, v >> 16);
}
inline uint16_t GetU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }
inline uint32_t GetU32(const uint8_t* at) {
  return GetU16(at) | static_cast<uint32_t>(GetU16(at + 2)) << 16;
}
inline void PadTo(Bytes& out, size_t alignment) {
  while (out.size() % alignment != 0) out.push_back(0);
}
inline uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// False when `text` is not valid UTF-8 or holds a NUL.
bool Utf8ToUtf16(const std::string& text, std::u16string& out);
std::string Utf16ToUtf8(const std::u16string& text);
// The same for text from a file that a one-line message or a listing's row shows: control
// characters appear as \uXXXX.
std::string ShownText(const std::u16string& text);
void PutUtf16(Bytes& out, const std::u16string& text);

}  // namespace stubpack
