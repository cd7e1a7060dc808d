#include "tools/stubpack/cabinet.h"

#include <algorithm>

#include <zlib.h>

#include "core/payload_layout.h"
#include "tools/stubpack/bytes.h"
#include "tools/stubpack/system.h"

namespace stubpack {

namespace {

constexpr uint32_t kBlockBytes = 32768;   // the most one MSZIP data block expands to
constexpr uint32_t kMostBlocks = 0xFFFF;  // a folder counts its data blocks in 16 bits
constexpr uint16_t kMszip = 1;
constexpr uint32_t kHeaderBytes = 36, kFolderBytes = 8, kFileBytes = 16, kBlockHeaderBytes = 8;
// A stored deflate block: BFINAL and BTYPE 00 in one byte, then LEN and its complement.
constexpr uint32_t kStoredHeaderBytes = 5;
// The most an MSZIP block of ours holds: "CK" and its 32 KiB stored, well within what readers
// take (32 KiB + 6 KiB) and within a CFDATA's 16-bit cbData.
constexpr uint32_t kMostPacked = 2 + kStoredHeaderBytes + kBlockBytes;
// zlib's default level: on a Windows program of 853,280 bytes, level 9 saved 0.6% more at three
// times the time, level 1 gave 10% more bytes. zlib's output is fixed by its version, level,
// window, memory level and strategy, all set here, so the Linux and the Windows build write the
// same bytes when they link the same zlib (1.2.13 on both in Debian 12).
constexpr int kLevel = 6;

struct CivilDate {
  int64_t year;
  unsigned month, day;
};

// The civil date (proleptic Gregorian) of a day counted from 1970-01-01: the calendar done here,
// as mingw's runtime has no gmtime_r and the date must not hang on the local time zone.
CivilDate CivilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;  // March is 0
  CivilDate date;
  date.day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  date.month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  date.year = static_cast<int64_t>(year_of_era) + era * 400 + (date.month <= 2);
  return date;
}

// The checksum of one CFDATA: its packed bytes, then cbData and cbUncomp.
uint32_t DataChecksum(const uint8_t* packed, uint16_t packed_size, uint16_t unpacked_size) {
  uint8_t sizes[4];
  SetU16(sizes, packed_size);
  SetU16(sizes + 2, unpacked_size);
  return CabinetBlockChecksum(sizes, 4, CabinetBlockChecksum(packed, packed_size, 0));
}

// One folder's MSZIP blocks. Each block is a deflate stream of its own, ended with
// Z_FINISH, whose dictionary is the folder's previous 32 KiB: the history that cabinet.dll,
// libmspack (cabextract) and libgcab all carry from block to block, so a block may refer back
// into the one before it. Not after a stored block, though: bytes that deflate could not shrink
// rarely match later ones, and handing them to deflate as a dictionary costs about as much as
// compressing them again. Either way the bytes depend on nothing but the input.
class MszipBlocks {
 public:
  MszipBlocks() = default;
  ~MszipBlocks() {
    if (started_) deflateEnd(&stream_);
  }
  MszipBlocks(const MszipBlocks&) = delete;
  MszipBlocks& operator=(const MszipBlocks&) = delete;

  bool Start() {
    started_ =
        deflateInit2(&stream_, kLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    return started_;
  }

  // Packs `size` (1 to kBlockBytes) bytes into `out` ("CK" and the deflate stream); returns the
  // packed size. Where deflate would not shrink the block, it is stored as it is.
  uint32_t Pack(const uint8_t* data, uint32_t size, uint8_t* out) {
    out[0] = 'C';
    out[1] = 'K';
    uint32_t packed = 0;
    if (deflateReset(&stream_) == Z_OK &&
        (history_size_ == 0 || last_stored_ ||
         deflateSetDictionary(&stream_, history_, history_size_) == Z_OK)) {
      stream_.next_in = const_cast<uint8_t*>(data);
      stream_.avail_in = size;
      stream_.next_out = out + 2;
      stream_.avail_out = kStoredHeaderBytes + size;
      if (deflate(&stream_, Z_FINISH) == Z_STREAM_END)
        packed = 2 + static_cast<uint32_t>(stream_.total_out);
    }
    if (packed == 0) {  // the stream did not fit the stored size: store the block
      out[2] = 1;       // BFINAL, stored
      SetU16(out + 3, size);
      SetU16(out + 5, ~size & 0xFFFF);
      std::copy(data, data + size, out + 2 + kStoredHeaderBytes);
      packed = kMostPacked - kBlockBytes + size;
    }
    // Stored by us or by zlib itself (which stores where it cannot shrink): as large as stored.
    last_stored_ = packed >= 2 + kStoredHeaderBytes + size;
    // The next block's dictionary: the last 32 KiB expanded so far.
    if (size >= kBlockBytes) {
      std::copy(data + size - kBlockBytes, data + size, history_);
      history_size_ = kBlockBytes;
    } else {
      const uint32_t kept = std::min(history_size_, kBlockBytes - size);
      std::copy(history_ + history_size_ - kept, history_ + history_size_, history_);
      std::copy(data, data + size, history_ + kept);
      history_size_ = kept + size;
    }
    return packed;
  }

 private:
  z_stream stream_{};
  bool started_ = false;
  uint8_t history_[kBlockBytes];
  uint32_t history_size_ = 0;
  bool last_stored_ = false;  // the block before was not shrunk: no dictionary for the next
};

}  // namespace

DosDateTime DosDateTimeFromUnix(int64_t seconds) {
  constexpr int64_t kFirst = 315532800;  // 1980-01-01 00:00:00 UTC
  constexpr int64_t kLast = 4354819198;  // 2107-12-31 23:59:58 UTC
  seconds = std::clamp(seconds, kFirst, kLast);
  const int64_t days = seconds / 86400, in_day = seconds % 86400;
  const CivilDate civil = CivilFromDays(days);
  DosDateTime dos;
  dos.date = static_cast<uint16_t>((civil.year - 1980) << 9 | civil.month << 5 | civil.day);
  dos.time = static_cast<uint16_t>(in_day / 3600 << 11 | in_day / 60 % 60 << 5 | in_day % 60 / 2);
  return dos;
}

CabinetOutcome WriteSetupCabinet(const std::string& setup_path, const std::string& cabinet_path,
                                 int64_t seconds, std::string& problem) {
  constexpr CabinetOutcome kFailed = CabinetOutcome::kFailed;
  sys::File setup;
  uint64_t size = 0;
  if (!setup.OpenRead(setup_path, problem) || !setup.Size(size, problem)) return kFailed;
  if (size > kMaxCabinetSetupBytes) {
    problem = "too large for a cabinet: " + std::to_string(size) + " bytes; its folder holds " +
              std::to_string(kMostBlocks) + " blocks of " + std::to_string(kBlockBytes) +
              " bytes, at most " + std::to_string(kMaxCabinetSetupBytes) +
              " (--setup-storage plain stores it as it is)";
    return CabinetOutcome::kTooLarge;
  }
  const uint32_t blocks = static_cast<uint32_t>((size + kBlockBytes - 1) / kBlockBytes);

  // Header, folder and file, as libgcab wrote them before: no reserved areas, set 0, the name
  // plain ASCII (no _A_NAME_IS_UTF) and no attributes, which the stub would copy onto setup.exe.
  // The stub expands the first file whatever its name; it is named after the file it becomes.
  const std::string name = payload_layout::kSetupFileName;
  const uint32_t files_at = kHeaderBytes + kFolderBytes;
  const uint32_t blocks_at = files_at + kFileBytes + static_cast<uint32_t>(name.size()) + 1;
  Bytes head;
  head.insert(head.end(), {'M', 'S', 'C', 'F'});
  PutU32(head, 0);
  PutU32(head, 0);  // cbCabinet, set once the blocks are written
  PutU32(head, 0);
  PutU32(head, files_at);
  PutU32(head, 0);
  head.insert(head.end(), {3, 1});  // format 1.3
  PutU16(head, 1);                  // folders
  PutU16(head, 1);                  // files
  PutU16(head, 0);                  // flags: no previous or next cabinet, no reserve
  PutU16(head, 0);                  // set ID
  PutU16(head, 0);                  // this cabinet's number in the set
  PutU32(head, blocks_at);
  PutU16(head, blocks);
  PutU16(head, kMszip);
  const DosDateTime dos = DosDateTimeFromUnix(seconds);
  PutU32(head, static_cast<uint32_t>(size));
  PutU32(head, 0);  // offset in the folder
  PutU16(head, 0);  // folder
  PutU16(head, dos.date);
  PutU16(head, dos.time);
  PutU16(head, 0);  // attributes
  head.insert(head.end(), name.begin(), name.end());
  head.push_back(0);

  sys::File cabinet;
  const auto cabinet_failed = [&](const char* what) {
    problem = std::string(what) + " the cabinet " + cabinet_path + ": " + problem;
    return kFailed;
  };
  if (!cabinet.Create(cabinet_path, problem)) return cabinet_failed("cannot create");
  if (!cabinet.Write(head.data(), head.size(), problem)) return cabinet_failed("cannot write");
  MszipBlocks mszip;
  if (!mszip.Start()) {
    problem = "zlib cannot start deflating";
    return kFailed;
  }
  // One block in and one out at a time: memory stays the same whatever setup's size.
  Bytes input(kBlockBytes), output(kBlockHeaderBytes + kMostPacked);
  uint64_t total = head.size();
  for (uint64_t at = 0; at < size; at += kBlockBytes) {
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kBlockBytes, size - at));
    for (uint32_t got = 0; got < want;) {
      const int64_t read = setup.ReadAt(at + got, input.data() + got, want - got, problem);
      if (read < 0) return kFailed;
      if (read == 0) {
        problem = "became shorter while it was being read";
        return kFailed;
      }
      got += static_cast<uint32_t>(read);
    }
    const uint32_t packed = mszip.Pack(input.data(), want, output.data() + kBlockHeaderBytes);
    SetU32(output.data(), DataChecksum(output.data() + kBlockHeaderBytes,
                                       static_cast<uint16_t>(packed), static_cast<uint16_t>(want)));
    SetU16(output.data() + 4, packed);
    SetU16(output.data() + 6, want);
    if (!cabinet.Write(output.data(), kBlockHeaderBytes + packed, problem))
      return cabinet_failed("cannot write");
    total += kBlockHeaderBytes + packed;
  }
  uint8_t total_field[4];
  SetU32(total_field, static_cast<uint32_t>(total));  // below 4 GiB: setup's size is bounded
  if (!cabinet.WriteAt(8, total_field, 4, problem) || !cabinet.Close(problem))
    return cabinet_failed("cannot write");
  return CabinetOutcome::kWritten;
}

}  // namespace stubpack
