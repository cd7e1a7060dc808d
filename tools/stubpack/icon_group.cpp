#include "tools/stubpack/icon_group.h"

#include <cstring>

namespace stubpack {

namespace {

struct ExpectedImage {
  int size;  // pixels; 256 appears as 0 in the entries
  int bits;
  bool png;
};

// The installer's icon: 16 colours, 256 colours, then true colour with alpha.
constexpr ExpectedImage kExpected[] = {
    {48, 4, false}, {32, 4, false},  {16, 4, false},  {48, 8, false},  {32, 8, false},
    {16, 8, false}, {256, 32, true}, {48, 32, false}, {32, 32, false}, {16, 32, false},
};

// Header, palette, colour rows and mask rows, each row padded to 4 bytes.
uint64_t BitmapBytes(int size, int bits) {
  const uint64_t palette = bits <= 8 ? (uint64_t{1} << bits) * 4 : 0;
  const uint64_t colour_row = (uint64_t(size) * bits + 31) / 32 * 4;
  const uint64_t mask_row = (uint64_t(size) + 31) / 32 * 4;
  return 40 + palette + (colour_row + mask_row) * size;
}

}  // namespace

bool ReadIconGroup(const Bytes& file, IconGroup& group, std::string& problem) {
  if (file.size() < 6 || GetU16(&file[0]) != 0 || GetU16(&file[2]) != 1) {
    problem = "not an icon file: no icon header";
    return false;
  }
  const uint32_t count = GetU16(&file[4]);
  if (count == 0 || 6 + 16 * uint64_t{count} > file.size()) {
    problem = "not an icon file: no images, or its image list is cut short";
    return false;
  }
  group = IconGroup();
  PutU16(group.directory, 0);
  PutU16(group.directory, 1);
  PutU16(group.directory, count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = &file[6 + 16 * i];
    const uint32_t bytes = GetU32(e + 8), offset = GetU32(e + 12);
    if (bytes == 0 || uint64_t{offset} + bytes > file.size()) {
      problem = "not an icon file: image " + std::to_string(i + 1) + " lies outside the file";
      return false;
    }
    group.images.emplace_back(file.begin() + offset, file.begin() + offset + bytes);
    group.directory.insert(group.directory.end(), e,
                           e + 12);  // sizes, colours, planes, bits, bytes
    PutU16(group.directory, i + 1);  // the RT_ICON identifier

    const int size = e[0] == 0 ? 256 : e[0];
    const int bits = GetU16(e + 6);
    const bool png = bytes >= 8 && std::memcmp(&file[offset], "\x89PNG\r\n\x1a\n", 8) == 0;
    const std::string label = "image " + std::to_string(i + 1);
    if (i >= std::size(kExpected)) {
      group.differences.push_back(label + " is beyond the ten the installer's icon holds");
      continue;
    }
    const ExpectedImage& want = kExpected[i];
    if (size != want.size || bits != want.bits || png != want.png) {
      group.differences.push_back(label + " is " + std::to_string(size) + " pixels, " +
                                  std::to_string(bits) + " bits" + (png ? ", PNG" : "") +
                                  "; expected " + std::to_string(want.size) + " pixels, " +
                                  std::to_string(want.bits) + " bits" + (want.png ? ", PNG" : ""));
    } else if (!png && bytes != BitmapBytes(size, bits)) {
      group.differences.push_back(label + " holds " + std::to_string(bytes) + " bytes; a " +
                                  std::to_string(size) + "-pixel " + std::to_string(bits) +
                                  "-bit bitmap holds " + std::to_string(BitmapBytes(size, bits)));
    }
  }
  if (count < std::size(kExpected))
    group.differences.push_back("it holds " + std::to_string(count) + " images, not ten");
  return true;
}

}  // namespace stubpack
