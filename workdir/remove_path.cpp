#include "workdir/remove_path.h"

#include "core/owner.h"
#include "core/retries.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Directories open only with backup semantics; a link is opened as itself.
constexpr DWORD kOpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

enum class Round { kGone, kRetryAtOnce, kPause, kGiveUp };

// Sets the delete disposition; on failure the last-error code is the one that decides what
// follows.
bool SetDeleteDisposition(const WCHAR* path) {
  FileHandle file(
      CreateFileW(path, DELETE, kShareAll, nullptr, OPEN_EXISTING, kOpenFlags, nullptr));
  if (!file.IsValid()) return false;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition,
                                 sizeof(disposition))) {
    return true;
  }
  const DWORD error = GetLastError();
  file.Reset();
  SetLastError(error);  // the close must not hide why the disposition failed
  return false;
}

// True when the read-only attribute was found set and written back cleared.
bool ClearReadOnly(const WCHAR* path) {
  FileHandle file(CreateFileW(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                              nullptr, OPEN_EXISTING, kOpenFlags, nullptr));
  if (!file.IsValid()) return false;
  FILE_BASIC_INFO info = {};
  if (!GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &info, sizeof(info)) ||
      (info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  // Zero would mean "leave the attributes as they are"; NORMAL alone means none.
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(file.Get(), FileBasicInfo, &info, sizeof(info)) != FALSE;
}

}  // namespace

bool RemovePathWithRetries(const WCHAR* path) {
  int attempt = 1;
  // The retries that follow a successful disposition or attribute write go on at once, relying on
  // the file system to make progress. Some do not (a delete-pending file that another handle
  // holds, an attribute write accepted and not kept), so a step that succeeds a second time
  // without a counted attempt between makes that round a counted one.
  bool disposition_uncounted = false;
  bool attributes_uncounted = false;
  for (;;) {
    Round round = Round::kPause;
    if (SetDeleteDisposition(path)) {
      round = disposition_uncounted ? Round::kPause : Round::kRetryAtOnce;
      disposition_uncounted = true;
    } else {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        round = Round::kGone;
      } else if (error == ERROR_SHARING_VIOLATION || error == ERROR_DIR_NOT_EMPTY) {
        round = Round::kPause;
      } else if (error == ERROR_ACCESS_DENIED) {
        if (ClearReadOnly(path)) {
          round = attributes_uncounted ? Round::kPause : Round::kRetryAtOnce;
          attributes_uncounted = true;
        }
      } else {
        round = Round::kGiveUp;
      }
    }

    switch (round) {
      case Round::kGone:
        return true;
      case Round::kGiveUp:
        return false;
      case Round::kRetryAtOnce:
        continue;
      case Round::kPause:
        if (attempt >= kRemovalAttempts) return false;
        ++attempt;
        disposition_uncounted = false;
        attributes_uncounted = false;
        Sleep(kRetryPauseMilliseconds);
        continue;
    }
  }
}
