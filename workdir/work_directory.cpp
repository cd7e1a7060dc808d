#include "workdir/work_directory.h"

#include "strings/bounded_text.h"

namespace {

// Administrators and the local system account on the directory and everything in it, each
// file's owner on that file, and the token's default owner on the directory; nothing inherited.
const WCHAR kAccessListStart[] =
    WTEXT("D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)")
        WTEXT("(A;;FA;;;");

constexpr size_t kAccessListCapacity = 300;

}  // namespace

bool GetTokenOwnerSidText(WCHAR*& text) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;

  bool ok = false;
  DWORD size = 0;
  const BOOL sized = GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
  const DWORD error = GetLastError();
  if (!sized && size != 0 && error == ERROR_INSUFFICIENT_BUFFER) {
    void* owner = LocalAlloc(LMEM_ZEROINIT, size);
    if (owner != nullptr) {
      if (GetTokenInformation(token, TokenOwner, owner, size, &size)) {
        ok = ConvertSidToStringSidW(static_cast<TOKEN_OWNER*>(owner)->Owner, &text) != FALSE;
      }
      LocalFree(owner);
    }
  }
  CloseHandle(token);
  return ok;
}

bool BuildDirectoryAccessList(const WCHAR* path, PSECURITY_DESCRIPTOR& descriptor) {
  descriptor = nullptr;

  PathBuffer volume_root;
  if (!GetVolumePathNameW(path, volume_root.Text(), static_cast<DWORD>(volume_root.Capacity()))) {
    return true;
  }
  DWORD flags = 0;
  if (!GetVolumeInformationW(volume_root.Text(), nullptr, 0, nullptr, nullptr, &flags, nullptr,
                             0) ||
      (flags & FILE_PERSISTENT_ACLS) == 0) {
    return true;
  }

  WCHAR* owner_text = nullptr;
  if (!GetTokenOwnerSidText(owner_text)) return false;

  bool ok = false;
  FixedWideBuffer<kAccessListCapacity> access_list;
  if (BoundedAppend(access_list.Text(), kAccessListCapacity, kAccessListStart) &&
      BoundedAppend(access_list.Text(), kAccessListCapacity, owner_text) &&
      BoundedAppend(access_list.Text(), kAccessListCapacity, WTEXT(")"))) {
    ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(access_list.Text(), SDDL_REVISION_1,
                                                              &descriptor, nullptr) != FALSE;
    if (!ok) descriptor = nullptr;
  }
  LocalFree(owner_text);
  return ok;
}

bool CreateUniqueWorkDirectory(const WCHAR* base_directory, PathBuffer& work_directory,
                               RunResult& result) {
  constexpr size_t kCapacity = PathBuffer::Capacity();
  result = StubExitCode::PATH_TOO_LONG;

  WCHAR* path = work_directory.Text();
  if (!BoundedCopy(path, kCapacity, base_directory) ||
      !BoundedAppend(path, kCapacity, WTEXT("VQ_"))) {
    return false;
  }
  const size_t stem = BoundedLength(path, kCapacity);
  // Five digits, ".tmp", the final backslash and the terminator.
  if (kCapacity - stem <= 10) return false;

  SECURITY_ATTRIBUTES security = {};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = FALSE;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!BuildDirectoryAccessList(base_directory, descriptor)) {
    result = StubExitCode::WORK_DIRECTORY_SECURITY_FAILED;
    return false;
  }
  security.lpSecurityDescriptor = descriptor;

  result = StubExitCode::NO_WORK_DIRECTORY;
  unsigned char random[4];
  for (int attempt = 0; attempt < 10; ++attempt) {
    // Cleared each time: a generator that fails must not name directories from stale bytes.
    FillBytes(random, 0, sizeof(random));
    SystemFunction036(random, sizeof(random));
    EncodeHexUpper(random, sizeof(random), path + stem, kCapacity - stem);
    path[stem + 5] = 0;
    BoundedAppend(path, kCapacity, WTEXT(".tmp"));
    if (CreateDirectoryW(path, descriptor != nullptr ? &security : nullptr)) {
      BoundedAppend(path, kCapacity, WTEXT("\\"));
      result = StubExitCode::SUCCESS;
      break;
    }
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  return result == StubExitCode::SUCCESS;
}
