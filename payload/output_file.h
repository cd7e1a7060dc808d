// A file opened for writing and deleting, whose owner sets the delete mark before closing when
// a write fails, so that nothing partly written stays behind.
#pragma once

#include "core/owner.h"
#include "payload/resource_scan.h"
#include "platform/win32.h"

class OutputFile {
 public:
  // False, without a platform call, for a path that does not fit a path buffer.
  bool OpenForWrite(const WCHAR* file_path);
  void Close() { handle_.Reset(); }
  bool IsOpen() const { return handle_.IsValid(); }
  bool MarkDeleteOnClose();
  // A second handle to the same open file, owned by the caller; invalid on failure.
  HANDLE Duplicate();
  HANDLE GetHandle() const { return handle_.Get(); }

 private:
  FileHandle handle_;
};

// True when every byte was written and the file closed; on false a partly written file has been
// marked to remove itself and the last-error code is the failed write's.
bool WriteResourceToFile(const ResourceBlob& blob, const WCHAR* file_path);
