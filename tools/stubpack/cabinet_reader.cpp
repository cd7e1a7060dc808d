#include "tools/stubpack/cabinet_reader.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace stubpack {

namespace {

// The header, the first folder and the first file's entry: what the stub's expansion reads
// before the data blocks.
struct FirstFolder {
  uint32_t total = 0;  // the cabinet's bytes by its header
  uint32_t data_reserve = 0;
  uint32_t blocks_at = 0;
  uint16_t blocks = 0, compression = 0;
  uint32_t file_size = 0, file_offset = 0;  // of the first file, in the folder's expanded bytes
};

std::string ReadFirstFolder(const uint8_t* data, uint64_t size, FirstFolder& f) {
  if (size < 36 || std::memcmp(data, "MSCF", 4) != 0) return "no \"MSCF\" cabinet header";
  f.total = GetU32(data + 8);
  const uint32_t files_at = GetU32(data + 16);
  const uint8_t minor = data[24], major = data[25];
  const uint16_t folders = GetU16(data + 26), files = GetU16(data + 28), flags = GetU16(data + 30);
  if (major != 1 || minor != 3) return "cabinet format version is not 1.3";
  if (f.total > size) return "the cabinet's header claims more bytes than it has";
  if (folders == 0 || files == 0) return "the cabinet holds no file";
  if (flags & 0x3) return "the cabinet continues a previous one or into a next one";
  uint64_t at = 36;
  uint32_t header_reserve = 0, folder_reserve = 0;
  if (flags & 0x4) {
    if (size < 40) return "the cabinet's reserve fields are cut short";
    header_reserve = GetU16(data + 36);
    folder_reserve = data[38];
    f.data_reserve = data[39];
    at = 40 + header_reserve;
  }
  if (at + 8 + folder_reserve > f.total) return "the cabinet's folder entry is cut short";
  f.blocks_at = GetU32(data + at);
  f.blocks = GetU16(data + at + 4);
  f.compression = GetU16(data + at + 6) & 0xF;
  if (f.compression > 3) return "the cabinet's folder uses an unknown compression";
  if (uint64_t{files_at} + 16 > f.total) return "the cabinet's file entry is cut short";
  f.file_size = GetU32(data + files_at);
  f.file_offset = GetU32(data + files_at + 4);
  const uint16_t file_folder = GetU16(data + files_at + 8);
  if (file_folder >= 0xFFFD) return "the cabinet's first file continues across cabinets";
  if (file_folder != 0) return "the cabinet's first file is not in its first folder";
  return {};
}

}  // namespace

uint32_t CabinetBlockChecksum(const uint8_t* data, size_t size, uint32_t seed) {
  uint32_t sum = seed;
  size_t i = 0;
  for (; i + 4 <= size; i += 4) sum ^= GetU32(data + i);
  uint32_t tail = 0;
  switch (size - i) {
    case 3:
      tail |= uint32_t{data[i++]} << 16;
      [[fallthrough]];
    case 2:
      tail |= uint32_t{data[i++]} << 8;
      [[fallthrough]];
    case 1:
      tail |= data[i];
      break;
    default:
      break;
  }
  return sum ^ tail;
}

std::string CabinetProblem(const uint8_t* data, uint64_t size) {
  FirstFolder f;
  if (std::string problem = ReadFirstFolder(data, size, f); !problem.empty()) return problem;
  uint64_t expanded = 0;
  uint64_t at = f.blocks_at;
  for (uint32_t i = 0; i < f.blocks; ++i) {
    if (at + 8 + f.data_reserve > f.total) return "a data block of the cabinet is cut short";
    const uint32_t checksum = GetU32(data + at);
    const uint16_t packed = GetU16(data + at + 4), unpacked = GetU16(data + at + 6);
    const uint64_t payload = at + 8 + f.data_reserve;
    if (payload + packed > f.total) return "a data block of the cabinet is cut short";
    if (checksum != 0) {
      const uint32_t sum = CabinetBlockChecksum(data + at + 4, 4 + f.data_reserve,
                                                CabinetBlockChecksum(data + payload, packed, 0));
      if (sum != checksum) return "a data block of the cabinet fails its checksum";
    }
    if (f.compression == 1 && (packed < 2 || data[payload] != 'C' || data[payload + 1] != 'K'))
      return "an MSZIP data block of the cabinet lacks its \"CK\" mark";
    expanded += unpacked;
    at = payload + packed;
  }
  if (uint64_t{f.file_offset} + f.file_size > expanded)
    return "the cabinet's data blocks hold less than its first file";
  return {};
}

bool ExpandFirstFile(const uint8_t* data, uint64_t size, uint64_t keep, Bytes& file,
                     uint64_t& file_size, bool& unsupported, std::string& problem) {
  unsupported = false;
  file.clear();
  file_size = 0;
  problem = CabinetProblem(data, size);
  FirstFolder f;
  if (problem.empty()) problem = ReadFirstFolder(data, size, f);
  if (!problem.empty()) return false;
  file_size = f.file_size;
  if (f.compression == 2 || f.compression == 3) {
    unsupported = true;
    problem = std::string("the cabinet is compressed with ") +
              (f.compression == 2 ? "Quantum" : "LZX") + ", which the packer does not expand";
    return false;
  }
  // Every block up to the first file's end is expanded and checked, as the stub's expansion meets
  // them; CabinetProblem has checked that each lies within the cabinet and that they hold the
  // whole file. Only the part of the file that is kept stays in memory: a small cabinet may claim
  // gigabytes.
  const uint64_t wanted = uint64_t{f.file_offset} + f.file_size;
  const uint64_t kept_end = f.file_offset + std::min<uint64_t>(f.file_size, keep);
  file.reserve(static_cast<size_t>(std::min<uint64_t>(kept_end - f.file_offset, 1u << 20)));
  Bytes block(65535), window;  // window: the folder's last 32 KiB so far, MSZIP's history
  z_stream zs{};
  if (f.compression == 1 && inflateInit2(&zs, -MAX_WBITS) != Z_OK) {
    problem = "zlib cannot start inflating";
    return false;
  }
  uint64_t produced = 0, at = f.blocks_at;
  for (uint32_t i = 0; i < f.blocks && produced < wanted; ++i) {
    const uint16_t packed = GetU16(data + at + 4), unpacked = GetU16(data + at + 6);
    const uint8_t* payload = data + at + 8 + f.data_reserve;
    at += 8 + f.data_reserve + packed;
    const uint8_t* out = block.data();
    if (f.compression == 0) {
      if (packed != unpacked) {
        problem = "an uncompressed data block of the cabinet holds " + std::to_string(packed) +
                  " bytes, not the " + std::to_string(unpacked) + " it claims";
        break;
      }
      out = payload;
    } else {
      // Each MSZIP block is a deflate stream of its own after "CK", whose window is the folder's
      // last 32 KiB so far.
      inflateReset(&zs);
      if (!window.empty())
        inflateSetDictionary(&zs, window.data(), static_cast<uInt>(window.size()));
      zs.next_in = const_cast<uint8_t*>(payload + 2);
      zs.avail_in = packed - 2u;
      zs.next_out = block.data();
      zs.avail_out = unpacked;
      const int result = inflate(&zs, Z_FINISH);
      if (result != Z_STREAM_END || zs.avail_out != 0) {
        problem =
            "MSZIP data block " + std::to_string(i + 1) + " of the cabinet does not expand" +
            (result == Z_STREAM_END ? " to the " + std::to_string(unpacked) + " bytes it claims"
                                    : std::string(""));
        break;
      }
    }
    const uint64_t from = std::max<uint64_t>(produced, f.file_offset);
    const uint64_t to = std::min<uint64_t>(produced + unpacked, kept_end);
    if (from < to) file.insert(file.end(), out + (from - produced), out + (to - produced));
    produced += unpacked;
    window.insert(window.end(), out, out + unpacked);
    if (window.size() > 32768) window.erase(window.begin(), window.end() - 32768);
  }
  if (f.compression == 1) inflateEnd(&zs);
  if (problem.empty() && produced < wanted)
    problem = "the cabinet's data blocks hold less than its first file";
  if (!problem.empty()) {
    file.clear();
    return false;
  }
  return true;
}

}  // namespace stubpack
