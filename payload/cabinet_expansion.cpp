#include "payload/cabinet_expansion.h"

#include "core/fill_bytes.h"
#include "core/owner.h"
#include "strings/bounded_text.h"

namespace {

// Plain records of the process: zero before the first use, no constructor runs.
CabinetLibrary g_cabinet_library;

// The write callback has no context argument. A library that ignores a failed write and still
// reports the file complete must not make a partial file count as expanded.
struct CabinetWriteRecord {
  bool failed;
};
CabinetWriteRecord g_cabinet_writes;

// The library holds the cabinet's directory and name in fixed byte buffers (256 bytes each on
// Windows; Wine refuses a joined path over 260) and opens their join through the open callback,
// which also has no context argument. So it is given an empty directory and a name no file can
// have, and the open callback resolves that name to the cabinet's own UTF-16 path, held here for
// the length of the expansion: a long or non-Latin directory never meets those buffers.
struct CabinetSourceRecord {
  const WCHAR* path;
};
CabinetSourceRecord g_cabinet_source;
// FDICopy takes both texts as char*; it never writes them.
char kCabinetAlias[] = "*";
char kNoDirectory[] = "";

bool IsCabinetAlias(const char* name) { return name[0] == kCabinetAlias[0] && name[1] == 0; }

constexpr int kOpenWriteOnly = 0x1;
constexpr int kOpenReadWrite = 0x2;
constexpr int kOpenCreate = 0x100;
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// A drive and its root, or a share. A variable that is missing, empty or relative leaves a path
// that LoadLibraryExW would search for, the installer's own directory first.
bool IsFullPath(const WCHAR* path) {
  const WCHAR drive = static_cast<WCHAR>(path[0] | 0x20);
  const bool drive_root =
      drive >= WTEXT('a') && drive <= WTEXT('z') && path[1] == WTEXT(':') && path[2] == WTEXT('\\');
  return drive_root || (path[0] == WTEXT('\\') && path[1] == WTEXT('\\'));
}

void LoadCabinetLibrary() {
  static const WCHAR* const kCandidates[] = {
      WTEXT("%WINDIR%\\system32\\cabinet.dll"),
      WTEXT("%SYSTEMROOT%\\system32\\cabinet.dll"),
      WTEXT("C:\\Windows\\system32\\cabinet.dll"),
  };
  PathBuffer expanded;
  FillBytes(expanded.Text(), 0, PathBuffer::Capacity() * sizeof(WCHAR));
  for (const WCHAR* candidate : kCandidates) {
    expanded.Clear();
    const DWORD units =
        ExpandEnvironmentStringsW(candidate, expanded.Text(), PathBuffer::Capacity());
    if (units == 0 || units > PathBuffer::Capacity() || !IsFullPath(expanded.Text())) continue;
    g_cabinet_library.module =
        LoadLibraryExW(expanded.Text(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (g_cabinet_library.module != nullptr) return;
  }
}

// void (*)() is the one function type that any other converts to and from without a warning.
template <typename Entry>
Entry LookUp(HMODULE module, const char* name) {
  return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

CabinetLibrary& TheCabinetLibrary() { return g_cabinet_library; }

void* DIAMONDAPI CabinetAlloc(ULONG bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }

void DIAMONDAPI CabinetFree(void* memory) { HeapFree(GetProcessHeap(), 0, memory); }

INT_PTR DIAMONDAPI CabinetOpen(char* name, int flags, int mode) {
  (void)mode;
  DWORD access = GENERIC_READ;
  if (flags & kOpenReadWrite) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else if (flags & kOpenWriteOnly) {
    access = GENERIC_WRITE;
  }
  const DWORD disposition = (flags & kOpenCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_DELETE;
  // The cabinet, as often as the library opens it.
  if (g_cabinet_source.path != nullptr && IsCabinetAlias(name)) {
    return reinterpret_cast<INT_PTR>(CreateFileW(g_cabinet_source.path, access, kShare, nullptr,
                                                 disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  const int units = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
  if (units <= 0) return -1;
  HeapBlock<WCHAR> wide(
      static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, 2 * static_cast<SIZE_T>(units))));
  if (!wide.IsValid() || MultiByteToWideChar(CP_UTF8, 0, name, -1, wide.Get(), units) != units) {
    return -1;
  }
  return reinterpret_cast<INT_PTR>(CreateFileW(wide.Get(), access, kShare, nullptr, disposition,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

UINT DIAMONDAPI CabinetRead(INT_PTR file, void* buffer, UINT bytes) {
  DWORD read = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(file), buffer, bytes, &read, nullptr))
    return static_cast<UINT>(-1);
  return read;
}

UINT DIAMONDAPI CabinetWrite(INT_PTR file, void* buffer, UINT bytes) {
  DWORD written = 0;
  if (!WriteFile(reinterpret_cast<HANDLE>(file), buffer, bytes, &written, nullptr)) {
    g_cabinet_writes.failed = true;
    return static_cast<UINT>(-1);
  }
  if (written < bytes) g_cabinet_writes.failed = true;
  return written;
}

int DIAMONDAPI CabinetClose(INT_PTR file) {
  return CloseHandle(reinterpret_cast<HANDLE>(file)) ? 0 : -1;
}

LONG DIAMONDAPI CabinetSeek(INT_PTR file, LONG distance, int seek_type) {
  return static_cast<LONG>(SetFilePointer(reinterpret_cast<HANDLE>(file), distance, nullptr,
                                          static_cast<DWORD>(seek_type)));
}

INT_PTR DIAMONDAPI CabinetNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
  auto* context = static_cast<CabinetExpansionContext*>(notification->pv);
  switch (static_cast<unsigned>(type)) {
    case fdintCABINET_INFO:
    case fdintENUMERATE:
      return 0;
    case fdintCOPY_FILE:
      // Only after a library ignored the abort: never let a later file replace the first.
      if (context->expanded == 1) return 0;
      // A file announced before the last one was closed: the partly written one must go even
      // if the open below fails, so it carries the delete mark before its handle is dropped.
      if (context->output_file.IsOpen()) context->output_file.MarkDeleteOnClose();
      context->output_file.OpenForWrite(context->destination_path);
      return reinterpret_cast<INT_PTR>(context->output_file.Duplicate());
    case fdintCLOSE_FILE_INFO: {
      FILE_BASIC_INFO info = {};
      FILETIME local = {};
      FILETIME utc = {};
      if (DosDateTimeToFileTime(notification->date, notification->time, &local) &&
          LocalFileTimeToFileTime(&local, &utc)) {
        info.CreationTime.QuadPart = static_cast<LONGLONG>(
            (static_cast<ULONGLONG>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime);
      }
      info.FileAttributes = notification->attribs & kKeptAttributes;
      HANDLE file = reinterpret_cast<HANDLE>(notification->hf);
      SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof(info));
      CloseHandle(file);
      context->expanded = 1;
      return -1;  // the first file is all the stub wants: end the copy
    }
    default:
      return -1;
  }
}

bool ExpandCabinet(const WCHAR* cabinet_path, const WCHAR* destination_path) {
  if (g_cabinet_library.module == nullptr) LoadCabinetLibrary();
  if (g_cabinet_library.module != nullptr) {
    HMODULE module = g_cabinet_library.module;
    g_cabinet_library.fdi_create = LookUp<FdiCreateEntry>(module, "FDICreate");
    g_cabinet_library.fdi_destroy = LookUp<FdiDestroyEntry>(module, "FDIDestroy");
    g_cabinet_library.fdi_copy = LookUp<FdiCopyEntry>(module, "FDICopy");
  }
  if (g_cabinet_library.fdi_create == nullptr || g_cabinet_library.fdi_copy == nullptr ||
      g_cabinet_library.fdi_destroy == nullptr) {
    return false;
  }

  ERF erf;
  FillBytes(&erf, 0, sizeof(erf));
  HFDI fdi =
      g_cabinet_library.fdi_create(CabinetAlloc, CabinetFree, CabinetOpen, CabinetRead,
                                   CabinetWrite, CabinetClose, CabinetSeek, cpuUNKNOWN, &erf);
  if (fdi == nullptr) return false;

  CabinetExpansionContext context;
  context.destination_path = destination_path;
  context.expanded = 0;
  g_cabinet_writes.failed = false;
  g_cabinet_source.path = cabinet_path;
  g_cabinet_library.fdi_copy(fdi, kCabinetAlias, kNoDirectory, 0, CabinetNotify, nullptr, &context);
  g_cabinet_library.fdi_destroy(fdi);
  g_cabinet_source.path = nullptr;

  const bool expanded = context.expanded == 1 && !g_cabinet_writes.failed;
  if (expanded) {
    FlushFileBuffers(context.output_file.GetHandle());
  } else if (context.output_file.IsOpen()) {
    context.output_file.MarkDeleteOnClose();
  }
  context.output_file.Close();
  return expanded;
}
