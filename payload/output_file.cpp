#include "payload/output_file.h"

#include "strings/bounded_text.h"

namespace {
constexpr uint64_t kChunkBytes = 0x800000;  // 8 MiB a call
}  // namespace

bool OutputFile::OpenForWrite(const WCHAR* file_path) {
  Close();
  // The path buffers' limit holds for every file the stub writes, whatever the system accepts.
  if (BoundedLength(file_path, PathBuffer::Capacity() + 1) >= PathBuffer::Capacity()) return false;
  handle_.Reset(CreateFileW(file_path, GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL,
                            nullptr));
  return IsOpen();
}

bool OutputFile::MarkDeleteOnClose() {
  if (!IsOpen()) return false;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(handle_.Get(), FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

HANDLE OutputFile::Duplicate() {
  if (!IsOpen()) return INVALID_HANDLE_VALUE;
  HANDLE copy = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), handle_.Get(), GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return copy;
}

bool WriteResourceToFile(const ResourceBlob& blob, const WCHAR* file_path) {
  OutputFile file;
  if (!file.OpenForWrite(file_path)) return false;
  uint64_t offset = 0;
  while (offset < blob.size) {
    const uint64_t left = blob.size - offset;
    const DWORD chunk = static_cast<DWORD>(left < kChunkBytes ? left : kChunkBytes);
    DWORD written = 0;
    BOOL ok = WriteFile(file.GetHandle(), blob.data + offset, chunk, &written, nullptr);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    // A full disk can report success with fewer bytes (the next call fails); go on from there.
    // A success that wrote nothing would never end, so it is the full disk it stands for.
    if (ok && written == 0) {
      ok = FALSE;
      error = ERROR_DISK_FULL;
    }
    if (!ok) {
      file.MarkDeleteOnClose();
      file.Close();
      SetLastError(error);
      return false;
    }
    offset += written < chunk ? written : chunk;
  }
  file.Close();
  return true;
}
