#include "tools/stubpack/cabinet.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include <libgcab.h>

#include <memory>

#include <zlib.h>

#include "core/payload_layout.h"
#include "tools/stubpack/bytes.h"

namespace stubpack {

namespace {

template <typename T>
struct Unref {
  void operator()(T* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, Unref<T>>;

std::string Take(GError* error) {
  std::string text = error != nullptr ? error->message : "unknown error";
  if (error != nullptr) g_error_free(error);
  return text;
}

// The checksum that the cabinet format keeps for each data block: a XOR of 32-bit words, the
// last one to three bytes taken most significant first.
uint32_t BlockChecksum(const uint8_t* data, size_t size, uint32_t seed) {
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

DosDateTime DosDateTimeFromUnix(int64_t seconds) {
  constexpr int64_t kFirst = 315532800;  // 1980-01-01 00:00:00 UTC
  constexpr int64_t kLast = 4354819198;  // 2107-12-31 23:59:58 UTC
  if (seconds < kFirst) seconds = kFirst;
  if (seconds > kLast) seconds = kLast;
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  gmtime_r(&t, &utc);
  DosDateTime dos;
  dos.date = static_cast<uint16_t>((utc.tm_year - 80) << 9 | (utc.tm_mon + 1) << 5 | utc.tm_mday);
  dos.time = static_cast<uint16_t>(utc.tm_hour << 11 | utc.tm_min << 5 | utc.tm_sec / 2);
  return dos;
}

bool WriteSetupCabinet(const std::string& setup_path, const std::string& cabinet_path,
                       int64_t seconds, std::string& problem) {
  GError* error = nullptr;
  GPtr<GCabCabinet> cabinet(gcab_cabinet_new());
  GPtr<GCabFolder> folder(gcab_folder_new(GCAB_COMPRESSION_MSZIP));
  GPtr<GFile> input(g_file_new_for_path(setup_path.c_str()));
  // The stub expands the first file whatever its name; it is named after the file it becomes.
  GPtr<GCabFile> file(gcab_file_new_with_file(payload_layout::kSetupFileName, input.get()));
  if (!gcab_folder_add_file(folder.get(), file.get(), FALSE, nullptr, &error)) {
    problem = "cannot add setup to the cabinet: " + Take(error);
    return false;
  }
  // Set after adding: adding reads the file's own time and attributes. The gcab tool would
  // leave the archive bit; the stub copies attributes onto setup.exe, so none are stored.
  const DosDateTime dos = DosDateTimeFromUnix(seconds);
  GDateTime* when =
      g_date_time_new_utc(1980 + (dos.date >> 9), (dos.date >> 5) & 0xF, dos.date & 0x1F,
                          dos.time >> 11, (dos.time >> 5) & 0x3F, (dos.time & 0x1F) * 2);
  gcab_file_set_date_time(file.get(), when);
  g_date_time_unref(when);
  gcab_file_set_attributes(file.get(), 0);
  if (!gcab_cabinet_add_folder(cabinet.get(), folder.get(), &error)) {
    problem = "cannot make the cabinet: " + Take(error);
    return false;
  }
  GPtr<GFile> output(g_file_new_for_path(cabinet_path.c_str()));
  GPtr<GFileOutputStream> stream(
      g_file_replace(output.get(), nullptr, FALSE, G_FILE_CREATE_PRIVATE, nullptr, &error));
  if (!stream) {
    problem = "cannot create the cabinet: " + Take(error);
    return false;
  }
  if (!gcab_cabinet_write_simple(cabinet.get(), G_OUTPUT_STREAM(stream.get()), nullptr, nullptr,
                                 nullptr, &error)) {
    problem = "cannot write the cabinet: " + Take(error);
    g_output_stream_close(G_OUTPUT_STREAM(stream.get()), nullptr, nullptr);
    return false;
  }
  if (!g_output_stream_close(G_OUTPUT_STREAM(stream.get()), nullptr, &error)) {
    problem = "cannot write the cabinet: " + Take(error);
    return false;
  }
  return true;
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
      const uint32_t sum = BlockChecksum(data + at + 4, 4 + f.data_reserve,
                                         BlockChecksum(data + payload, packed, 0));
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

bool ExpandFirstFile(const uint8_t* data, uint64_t size, Bytes& file, bool& unsupported,
                     std::string& problem) {
  unsupported = false;
  problem = CabinetProblem(data, size);
  FirstFolder f;
  if (problem.empty()) problem = ReadFirstFolder(data, size, f);
  if (!problem.empty()) return false;
  if (f.compression == 2 || f.compression == 3) {
    unsupported = true;
    problem = std::string("the cabinet is compressed with ") +
              (f.compression == 2 ? "Quantum" : "LZX") + ", which the packer does not expand";
    return false;
  }
  // The folder's bytes up to the first file's end; CabinetProblem has checked that every block
  // lies within the cabinet and that they hold the whole file.
  const uint64_t wanted = uint64_t{f.file_offset} + f.file_size;
  Bytes folder;
  z_stream zs{};
  if (f.compression == 1 && inflateInit2(&zs, -MAX_WBITS) != Z_OK) {
    problem = "zlib cannot start inflating";
    return false;
  }
  uint64_t at = f.blocks_at;
  for (uint32_t i = 0; i < f.blocks && folder.size() < wanted; ++i) {
    const uint16_t packed = GetU16(data + at + 4), unpacked = GetU16(data + at + 6);
    const uint8_t* payload = data + at + 8 + f.data_reserve;
    at += 8 + f.data_reserve + packed;
    const size_t start = folder.size();
    if (f.compression == 0) {
      if (packed != unpacked) {
        problem = "an uncompressed data block of the cabinet holds " + std::to_string(packed) +
                  " bytes, not the " + std::to_string(unpacked) + " it claims";
        break;
      }
      folder.insert(folder.end(), payload, payload + packed);
      continue;
    }
    // Each MSZIP block is a deflate stream of its own after "CK", whose window is the folder's
    // last 32 KiB so far.
    folder.resize(start + unpacked);
    inflateReset(&zs);
    const size_t window = std::min<size_t>(start, 32768);
    if (window > 0) inflateSetDictionary(&zs, folder.data() + start - window, window);
    zs.next_in = const_cast<uint8_t*>(payload + 2);
    zs.avail_in = packed - 2u;
    zs.next_out = folder.data() + start;
    zs.avail_out = unpacked;
    const int result = inflate(&zs, Z_FINISH);
    if (result != Z_STREAM_END || zs.avail_out != 0) {
      problem = "MSZIP data block " + std::to_string(i + 1) + " of the cabinet does not expand" +
                (result == Z_STREAM_END ? " to the " + std::to_string(unpacked) + " bytes it claims"
                                        : std::string(""));
      break;
    }
  }
  if (f.compression == 1) inflateEnd(&zs);
  if (problem.empty() && folder.size() < wanted)
    problem = "the cabinet's data blocks hold less than its first file";
  if (!problem.empty()) return false;
  file.assign(folder.begin() + f.file_offset, folder.begin() + wanted);
  return true;
}

}  // namespace stubpack
