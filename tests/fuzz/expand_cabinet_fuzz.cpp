// Scripts of the cabinet library's notifications, writes and read failures, with failed writes,
// a full disk or any one failed platform call, against the expansion. Always: nothing leaked,
// and the work directory holds the cabinet and either the whole first file or nothing else.
// Without an injected call failure the result and the file's bytes must also match a model of
// the library walking the script with the expansion's answers.
#include <algorithm>
#include <string>
#include <vector>

#include "payload/cabinet_expansion.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

const std::u16string kWork = u"C:\\Installer\\VQ_12345.tmp\\";
const std::u16string kCabinet = kWork + u"SETUP.EX_";
const std::u16string kDestination = kWork + u"setup.exe";

struct Outcome {
  bool expanded = false;
  std::string bytes;                        // the first file, as its writes delivered it
  const emu::CabinetStep* close = nullptr;  // the notification that completed it
};

struct Disk {
  uint64_t left = UINT64_MAX;
  bool short_writes = false;
  bool full_reported = false;
};

// The library's walk over the script, given the answers the expansion must give; failing_write
// is the ordinal of the write that fails (0: none).
Outcome Walk(const emu::CabinetScript& script, uint32_t failing_write, Disk disk) {
  Outcome out;
  bool open = false, write_failed = false, expanded = false;
  uint32_t writes = 0;
  std::string current;
  bool stopped = false;
  for (size_t i = 0; i < script.steps.size() && !stopped; ++i) {
    const emu::CabinetStep& step = script.steps[i];
    if (step.kind == emu::CabinetStep::Kind::kReadFailure) break;  // damaged: the library stops
    if (step.kind == emu::CabinetStep::Kind::kWrite) {
      if (!open) continue;
      const uint64_t size = step.bytes.size();
      bool whole = ++writes != failing_write;
      uint64_t written = 0;
      if (whole && size > disk.left) {
        whole = false;
        if (disk.short_writes && !disk.full_reported) {
          disk.full_reported = true;
          written = disk.left;
          disk.left = 0;
        }
      } else if (whole) {
        written = size;
        if (disk.left != UINT64_MAX) disk.left -= size;
      }
      current += step.bytes.substr(0, written);
      if (!whole) {
        write_failed = true;
        if (!script.ignore_write_failure) break;
      }
      continue;
    }
    switch (static_cast<unsigned>(step.type)) {
      case fdintCABINET_INFO:
      case fdintENUMERATE:
        continue;  // answered 0
      case fdintCOPY_FILE:
        if (expanded) {
          open = false;  // answered 0: a later file never replaces the first
          continue;
        }
        if (open && !script.close_before_next) {
          // The library still holds the unfinished file: opening it anew is refused, the copy
          // stops.
          open = false;
          stopped = true;
          continue;
        }
        open = true;  // the destination, opened anew
        current.clear();
        continue;
      case fdintCLOSE_FILE_INFO:
        if (!open) continue;  // the library closes only what it opened
        open = false;
        expanded = true;
        out.bytes = current;
        out.close = &step;
        stopped = !script.ignore_abort;  // the answer asks the library to stop
        continue;
      default:
        stopped = true;  // a partial file, a next cabinet or an unknown notification: refused
        continue;
    }
  }
  out.expanded = expanded && !write_failed;
  return out;
}

emu::CabinetStep Step(FuzzInput& in, uint32_t& writes, uint32_t& failing_write) {
  emu::CabinetStep step;
  const uint8_t b = in.Byte();
  switch (b % 9) {
    case 0:
      step.type = fdintCABINET_INFO;
      break;
    case 1:
    case 2:
      step.type = fdintCOPY_FILE;
      break;
    case 3:
      step.type = fdintCLOSE_FILE_INFO;
      step.date = in.Word(), step.time = in.Word(), step.attribs = in.Word();
      break;
    case 4:
      step.type = fdintENUMERATE;
      break;
    case 5: {
      // 6 and 7 are the only unknown values in the range of the enumeration's type.
      static const unsigned kOthers[] = {fdintPARTIAL_FILE, fdintNEXT_CABINET, 6, 7};
      step.type = static_cast<FDINOTIFICATIONTYPE>(kOthers[in.Byte() % 4]);
      break;
    }
    case 6:
    case 7:
      step.kind = emu::CabinetStep::Kind::kWrite;
      step.bytes.assign(in.Byte() % 48, '\0');
      for (char& c : step.bytes) c = static_cast<char>(in.Byte());
      // The k-th write that reaches the file fails, k being this step's place among the writes.
      if ((b & 0x80) && failing_write == 0) failing_write = writes + 1;
      ++writes;
      break;
    default:
      step.kind = emu::CabinetStep::Kind::kReadFailure;
      break;
  }
  return step;
}

emu::Fault AnyFault(FuzzInput& in) {
  static const emu::Op kOps[] = {
      emu::Op::Any,
      emu::Op::CreateFileW,
      emu::Op::CloseHandle,
      emu::Op::HeapAlloc,
      emu::Op::HeapFree,
      emu::Op::WriteFile,
      emu::Op::ReadFile,
      emu::Op::SetFilePointer,
      emu::Op::FlushFileBuffers,
      emu::Op::DuplicateHandle,
      emu::Op::SetFileInformationByHandle,
      emu::Op::DosDateTimeToFileTime,
      emu::Op::LocalFileTimeToFileTime,
      emu::Op::WideCharToMultiByte,
      emu::Op::MultiByteToWideChar,
      emu::Op::ExpandEnvironmentStringsW,
      emu::Op::LoadLibraryExW,
      emu::Op::GetProcAddress,
  };
  emu::Fault fault;
  const uint8_t b = in.Byte();
  fault.op = kOps[b % (sizeof(kOps) / sizeof(kOps[0]))];
  fault.persistent = b & 0x80;
  fault.nth = 1 + in.Byte() % (fault.op == emu::Op::Any ? 48 : 8);
  return fault;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  emu::Reset();
  TheCabinetLibrary() = CabinetLibrary{};
  const uint8_t flags = in.Byte();
  emu::CabinetScript script;
  script.ignore_abort = flags & 1;
  script.ignore_write_failure = flags & 2;
  script.close_before_next = flags & 0x40;
  Disk disk;
  if (flags & 4) {
    disk.left = in.Byte();
    disk.short_writes = flags & 8;
  }
  const bool any_fault = (flags & 0x30) == 0x30;
  const emu::Fault fault = any_fault ? AnyFault(in) : emu::Fault{};
  uint32_t writes = 0, failing_write = 0;
  for (int n = 0; n < 40 && !in.Empty(); ++n)
    script.steps.push_back(Step(in, writes, failing_write));
  if (any_fault) failing_write = 0;

  FUZZ_CHECK(emu::MakeDirectory(kWork), "cannot make the work directory");
  FUZZ_CHECK(emu::MakeFile(kCabinet, "MSCF cabinet bytes"), "cannot place the cabinet");
  emu::SetCabinetScript(script);
  if (disk.left != UINT64_MAX) emu::SetDiskSpace(disk.left, disk.short_writes);
  const std::vector<std::u16string> before = emu::ListTree();
  if (any_fault) {
    emu::InjectFault(fault);
  } else if (failing_write != 0) {
    emu::InjectFault({emu::Op::WriteFile, failing_write, false, ERROR_DISK_FULL});
  }

  const bool got = ExpandCabinet(kCabinet.c_str(), kDestination.c_str());
  emu::ClearFaults();
  const Outcome want = Walk(script, failing_write, disk);

  CheckNothingLeaked();
  FUZZ_CHECK(emu::Cabinet().allocations_outstanding == 0,
             "the library's memory was not all given back");
  if (!any_fault) FUZZ_CHECK(got == want.expanded, "expanded %d, model %d", got, want.expanded);
  if (got) {
    FUZZ_CHECK(want.expanded, "expanded under a fault where the script cannot complete the file");
    FUZZ_CHECK(emu::FileContent(kDestination) == want.bytes,
               "the file is not whole: %zu bytes, model %zu", emu::FileContent(kDestination).size(),
               want.bytes.size());
  }
  if (got && !any_fault) {
    // The stored attributes, of those a setup file may carry, replace the created ones; the
    // stored date and time, read as local time, become the creation time in UTC.
    const DWORD kept = want.close->attribs & 0x27;
    FUZZ_CHECK(emu::Attributes(kDestination) == (kept != 0 ? kept : FILE_ATTRIBUTE_ARCHIVE),
               "attributes 0x%X from stored 0x%X",
               static_cast<unsigned>(emu::Attributes(kDestination)), want.close->attribs);
    FILETIME local = {};
    if (DosDateTimeToFileTime(want.close->date, want.close->time, &local)) {
      FILETIME utc = {};
      FUZZ_CHECK(LocalFileTimeToFileTime(&local, &utc), "the platform cannot convert the time");
      HANDLE file = CreateFileW(kDestination.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      FILE_BASIC_INFO info = {};
      FUZZ_CHECK(GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof(info)),
                 "no file information");
      CloseHandle(file);
      const LONGLONG stored = static_cast<LONGLONG>(
          static_cast<ULONGLONG>(utc.dwHighDateTime) << 32 | utc.dwLowDateTime);
      FUZZ_CHECK(info.CreationTime.QuadPart == stored, "creation time %lld, stored %lld",
                 static_cast<long long>(info.CreationTime.QuadPart),
                 static_cast<long long>(stored));
    }
  }
  // A delete mark that itself failed may leave the partial file: that alone is excused.
  bool mark_failed = false;
  for (const emu::Call& call : emu::Calls()) {
    mark_failed |= call.failed && call.op == emu::Op::SetFileInformationByHandle &&
                   call.detail == FileDispositionInfo;
  }
  std::vector<std::u16string> after = emu::ListTree();
  std::vector<std::u16string> expected = before;
  if (got || (mark_failed && emu::Exists(kDestination))) {
    expected.push_back(kDestination);
    std::sort(expected.begin(), expected.end());
  }
  std::string shown;
  for (const auto& path : after) shown += "\n  " + ShowText(path);
  FUZZ_CHECK(after == expected, "the disk holds:%s", shown.c_str());
  return 0;
}
