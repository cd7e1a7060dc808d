// A file opened for writing and deleting, whose owner sets the delete mark before closing when
// a write fails, so that nothing partly written stays behind.
#pragma once

#include "payload/resource_scan.h"
#include "platform/win32.h"
#include "strings/fixed_wide_buffer.h"

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Close(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool OpenForWrite(const WCHAR* file_path);
  void Close();
  bool IsOpen() const { return handle != INVALID_HANDLE_VALUE; }
  bool MarkDeleteOnClose();
  // A second handle to the same open file, owned by the caller.
  HANDLE Duplicate();
  HANDLE GetHandle() const { return handle; }

  PathBuffer path;
  HANDLE handle = INVALID_HANDLE_VALUE;
};

// True when every byte was written and the file closed; on false a partly written file has been
// marked to remove itself and the last-error code is the failed write's.
bool WriteResourceToFile(const ResourceBlob& blob, const WCHAR* file_path);
