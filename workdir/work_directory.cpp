#include "workdir/work_directory.h"

#include "core/fill_bytes.h"
#include "core/payload_layout.h"
#include "strings/bounded_text.h"

namespace {

// Administrators and the local system account on the directory and everything in it, each
// file's owner on that file, and the token's default owner on the directory; nothing inherited.
const WCHAR kAccessListStart[] =
    WTEXT("D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)")
        WTEXT("(A;;FA;;;");

constexpr size_t kAccessListCapacity = 300;

constexpr auto kNamePrefix = payload_layout::InUnits<WCHAR>(payload_layout::kWorkDirectoryPrefix);
constexpr auto kNameSuffix = payload_layout::InUnits<WCHAR>(payload_layout::kWorkDirectorySuffix);

}  // namespace

bool ToExtendedPath(const WCHAR* path, WCHAR* extended, size_t capacity) {
  if (capacity == 0) return false;
  extended[0] = 0;
  const bool separators = path[0] == WTEXT('\\') && path[1] == WTEXT('\\');
  if (separators && (path[2] == WTEXT('?') || path[2] == WTEXT('.')) && path[3] == WTEXT('\\')) {
    return BoundedCopy(extended, capacity, path);
  }
  if (separators) {
    return BoundedAppend(extended, capacity, WTEXT("\\\\?\\UNC\\")) &&
           BoundedAppend(extended, capacity, path + 2);
  }
  return BoundedAppend(extended, capacity, WTEXT("\\\\?\\")) &&
         BoundedAppend(extended, capacity, path);
}

bool GetTokenOwnerSidText(LocalBlock<WCHAR>& text) {
  KernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
    token.Release();  // a failed open hands out nothing to close
    return false;
  }
  DWORD size = 0;
  const BOOL sized = GetTokenInformation(token.Get(), TokenOwner, nullptr, 0, &size);
  const DWORD error = GetLastError();
  if (sized || size == 0 || error != ERROR_INSUFFICIENT_BUFFER) return false;
  LocalBlock<TOKEN_OWNER> owner(static_cast<TOKEN_OWNER*>(LocalAlloc(LMEM_ZEROINIT, size)));
  return owner.IsValid() &&
         GetTokenInformation(token.Get(), TokenOwner, owner.Get(), size, &size) &&
         ConvertSidToStringSidW(owner.Get()->Owner, text.Receive());
}

bool BuildDirectoryAccessList(const WCHAR* path, LocalBlock<void>& descriptor) {
  descriptor.Reset();

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

  LocalBlock<WCHAR> owner_text;
  if (!GetTokenOwnerSidText(owner_text)) return false;

  FixedWideBuffer<kAccessListCapacity> access_list;
  if (!BoundedAppend(access_list.Text(), kAccessListCapacity, kAccessListStart) ||
      !BoundedAppend(access_list.Text(), kAccessListCapacity, owner_text.Get()) ||
      !BoundedAppend(access_list.Text(), kAccessListCapacity, WTEXT(")"))) {
    return false;
  }
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(access_list.Text(), SDDL_REVISION_1,
                                                            descriptor.Receive(), nullptr)) {
    descriptor.Release();  // what a failed conversion leaves there is not the stub's to free
    return false;
  }
  return true;
}

RunResult CreateUniqueWorkDirectory(const WCHAR* stub_directory, PathBuffer& work_directory) {
  constexpr size_t kCapacity = PathBuffer::Capacity();

  WCHAR* path = work_directory.Text();
  if (!BoundedCopy(path, kCapacity, stub_directory) ||
      !BoundedAppend(path, kCapacity, kNamePrefix.Text())) {
    return StubExitCode::PATH_TOO_LONG;
  }
  const size_t stem = BoundedLength(path, kCapacity);
  // The digits, the suffix, the final backslash and the terminator.
  if (stem + payload_layout::kWorkDirectoryNameUnits - kNamePrefix.Length() >= kCapacity) {
    return StubExitCode::PATH_TOO_LONG;
  }

  LocalBlock<void> descriptor;
  if (!BuildDirectoryAccessList(stub_directory, descriptor)) {
    return StubExitCode::WORK_DIRECTORY_SECURITY_FAILED;
  }
  SECURITY_ATTRIBUTES security = {};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = descriptor.Get();
  security.bInheritHandle = FALSE;

  unsigned char random[4];
  for (int attempt = 0; attempt < payload_layout::kWorkDirectoryAttempts; ++attempt) {
    // Cleared each time: a generator that fails must not name directories from stale bytes.
    FillBytes(random, 0, sizeof(random));
    SystemFunction036(random, sizeof(random));
    EncodeHexUpper(random, sizeof(random), path + stem, kCapacity - stem);
    path[stem + payload_layout::kWorkDirectoryDigits] = 0;
    BoundedAppend(path, kCapacity, kNameSuffix.Text());
    // Windows refuses a directory path over 247 units unless it is in the extended form; the
    // stub's own limits are what decide, so the directory is made through that form alone.
    FixedWideBuffer<kExtendedPathUnits> extended;
    if (!ToExtendedPath(path, extended.Text(), extended.Capacity())) {
      return StubExitCode::PATH_TOO_LONG;
    }
    if (CreateDirectoryW(extended.Text(), descriptor.IsValid() ? &security : nullptr)) {
      BoundedAppend(path, kCapacity, WTEXT("\\"));
      return StubExitCode::SUCCESS;
    }
  }
  return StubExitCode::NO_WORK_DIRECTORY;
}
