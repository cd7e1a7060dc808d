// The emulated image's resources, environment variables, library loading, time conversion, UTF-8,
// and a cabinet library whose copy follows a test's script.
#include <algorithm>

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/emulated/world_state.h"

namespace emu {
namespace detail {

namespace {

std::u16string Upper(const std::u16string& text) { return Fold(text); }

const HMODULE kCabinetModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FFA00000000));

std::vector<std::unique_ptr<Resource>>* ResourcesOf(HMODULE module, LPCWSTR type) {
  World& w = TheWorld();
  if (module != nullptr && module != w.image) return nullptr;
  if (type == nullptr || IS_INTRESOURCE(type)) return nullptr;
  auto found = w.resources.find(Upper(type));
  return found == w.resources.end() ? nullptr : &found->second;
}

// The name that a call on a resource records, as the module stores it: of the resource that
// FindResourceW found, or whose bytes LoadResource gave; empty for a numbered resource and for an
// address that is neither.
std::u16string ResourceText(const void* found, const void* loaded) {
  for (auto& type : TheWorld().resources) {
    for (auto& resource : type.second) {
      const void* bytes = resource->lazy_bytes
                              ? static_cast<const void*>(resource->lazy_bytes->Data())
                              : static_cast<const void*>(resource->bytes.data());
      if (resource.get() == found || (loaded != nullptr && bytes == loaded)) return resource->name;
    }
  }
  return {};
}

}  // namespace

Mapping::Mapping(size_t size, size_t guard) : size_(size), guard_(guard) {
  // Reserved without swap: untouched pages are never committed.
  const size_t total = size + guard == 0 ? 1 : size + guard;
  void* at = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (at == MAP_FAILED) abort();
  data_ = static_cast<uint8_t*>(at);
  if (guard != 0 && mprotect(data_ + size, guard, PROT_NONE) != 0) abort();
}

Mapping::~Mapping() { munmap(data_, size_ + guard_ == 0 ? 1 : size_ + guard_); }

void ResetEnvironment() {
  World& w = TheWorld();
  w.environment[Fold(u"WINDIR")] = {u"WINDIR", u"C:\\Windows"};
  w.environment[Fold(u"SYSTEMROOT")] = {u"SystemRoot", u"C:\\Windows"};
  w.cabinet_paths = {u"C:\\Windows\\system32\\cabinet.dll"};
  w.cabinet_script = OneFileCabinet("MZ setup");
}

}  // namespace detail

using namespace detail;

void AddResource(const std::u16string& type, const std::u16string& given,
                 const std::string& bytes) {
  auto& list = TheWorld().resources[Upper(type)];
  auto resource = std::make_unique<Resource>();
  const std::u16string name = Upper(given);  // as resource compilers store names
  resource->name = name;
  resource->bytes = bytes;
  // Named entries first, ascending; numbered ones after them.
  auto at = std::find_if(list.begin(), list.end(), [&](const std::unique_ptr<Resource>& other) {
    return other->name.empty() || other->name > name;
  });
  list.insert(at, std::move(resource));
}

void AddNumberedResource(const std::u16string& type, WORD id, const std::string& bytes) {
  auto& list = TheWorld().resources[Upper(type)];
  auto resource = std::make_unique<Resource>();
  resource->id = id;
  resource->bytes = bytes;
  auto at = std::find_if(list.begin(), list.end(), [&](const std::unique_ptr<Resource>& other) {
    return other->name.empty() && other->id > id;
  });
  list.insert(at, std::move(resource));
}

// --- hostile environments: resources ------------------------------------------------------------

void AddLazyResource(const std::u16string& type, const std::u16string& name, uint64_t size) {
  AddResource(type, name, "");
  for (auto& resource : TheWorld().resources[Upper(type)]) {
    if (resource->name != Upper(name)) continue;
    resource->lazy_bytes = std::make_shared<Mapping>(static_cast<size_t>(size), 0);
    resource->lazy_size = size;
  }
}

const void* ResourceBytes(const std::u16string& type, const std::u16string& name) {
  auto found = TheWorld().resources.find(Upper(type));
  if (found == TheWorld().resources.end()) return nullptr;
  for (auto& resource : found->second) {
    if (resource->name != Upper(name)) continue;
    return resource->lazy_bytes ? static_cast<const void*>(resource->lazy_bytes->Data())
                                : static_cast<const void*>(resource->bytes.data());
  }
  return nullptr;
}

void AddResourceAgainstGuardPage(const std::u16string& type, const std::u16string& name,
                                 const std::string& bytes) {
  AddResource(type, name, bytes);
  const std::u16string stored = Upper(name);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t units = stored.size() + 1;
  const size_t size = (units * sizeof(char16_t) + page - 1) / page * page;
  for (auto& resource : TheWorld().resources[Upper(type)]) {
    if (resource->name != stored || resource->guarded_name) continue;
    resource->guarded_name = std::make_shared<Mapping>(size, page);
    memcpy(resource->guarded_name->Data() + size - units * sizeof(char16_t), stored.c_str(),
           units * sizeof(char16_t));
    break;
  }
}

void SetEnvironmentVariable(const std::u16string& name, const std::u16string& value) {
  TheWorld().environment[Fold(name)] = {name, value};
}
void UnsetEnvironmentVariable(const std::u16string& name) {
  TheWorld().environment.erase(Fold(name));
}
void SetTimeZoneBias(int minutes) { TheWorld().time_zone_bias = minutes; }

void PlaceCabinetLibrary(const std::vector<std::u16string>& paths) {
  TheWorld().cabinet_paths = paths;
}
void RemoveCabinetEntryPoint(const std::string& name) {
  TheWorld().cabinet_missing_entries.push_back(name);
}
uint64_t LibraryLoads() { return TheWorld().library_loads; }
void SetCabinetScript(const CabinetScript& script) { TheWorld().cabinet_script = script; }
const CabinetLog& Cabinet() { return TheWorld().cabinet_log; }

CabinetScript OneFileCabinet(const std::string& bytes, USHORT date, USHORT time, USHORT attribs) {
  CabinetScript script;
  CabinetStep info;
  info.type = fdintCABINET_INFO;
  CabinetStep copy;
  copy.type = fdintCOPY_FILE;
  CabinetStep write;
  write.kind = CabinetStep::Kind::kWrite;
  write.bytes = bytes;
  CabinetStep close;
  close.type = fdintCLOSE_FILE_INFO;
  close.date = date;
  close.time = time;
  close.attribs = attribs;
  script.steps = {info, copy, write, close};
  return script;
}

}  // namespace emu

using namespace emu;
using namespace emu::detail;

// --- resources ----------------------------------------------------------------------------------

BOOL WINAPI EnumResourceNamesW(HMODULE module, LPCWSTR type, ENUMRESNAMEPROCW callback,
                               LONG_PTR param) {
  DWORD error = 0;
  if (Fails(Op::EnumResourceNamesW, error, IS_INTRESOURCE(type) ? std::u16string() : Text(type)))
    return FALSE;
  auto* list = ResourcesOf(module, type);
  if (list == nullptr || callback == nullptr) {
    Failed(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  for (auto& resource : *list) {
    LPWSTR name = resource->name.empty() ? MAKEINTRESOURCEW(resource->id) : resource->name.data();
    if (resource->guarded_name) {
      auto* end = reinterpret_cast<char16_t*>(resource->guarded_name->Data() +
                                              resource->guarded_name->Size());
      name = end - (resource->name.size() + 1);
    }
    if (!callback(module, type, name, param)) {
      Failed(15106);  // ERROR_RESOURCE_ENUM_USER_STOP
      return FALSE;
    }
  }
  Succeeded();
  return TRUE;
}

HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  DWORD error = 0;
  if (Fails(Op::FindResourceW, error, IS_INTRESOURCE(name) ? std::u16string() : Text(name)))
    return nullptr;
  auto* list = ResourcesOf(module, type);
  if (list == nullptr) {
    Failed(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  for (auto& resource : *list) {
    const bool match =
        IS_INTRESOURCE(name)
            ? resource->name.empty() &&
                  resource->id == static_cast<WORD>(reinterpret_cast<uintptr_t>(name))
            : !resource->name.empty() && resource->name == Upper(name);  // the query is upper-cased
    if (match) {
      Succeeded();
      return reinterpret_cast<HRSRC>(resource.get());
    }
  }
  Failed(ERROR_RESOURCE_NAME_NOT_FOUND);
  return nullptr;
}

DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource) {
  DWORD error = 0;
  if (Fails(Op::SizeofResource, error, ResourceText(resource, nullptr))) return 0;
  (void)module;
  if (resource == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return 0;
  }
  Succeeded();
  const Resource& found = *reinterpret_cast<Resource*>(resource);
  return static_cast<DWORD>(found.lazy_bytes ? found.lazy_size : found.bytes.size());
}

HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource) {
  DWORD error = 0;
  if (Fails(Op::LoadResource, error, ResourceText(resource, nullptr))) return nullptr;
  (void)module;
  if (resource == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  Succeeded();
  Resource& found = *reinterpret_cast<Resource*>(resource);
  if (found.lazy_bytes) return found.lazy_bytes->Data();
  return found.bytes.data();
}

LPVOID WINAPI LockResource(HGLOBAL resource) {
  DWORD error = 0;
  if (Fails(Op::LockResource, error, ResourceText(nullptr, resource))) return nullptr;
  Succeeded();
  return resource;
}

// --- environment and libraries
// --------------------------------------------------------------------

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
  DWORD error = 0;
  if (Fails(Op::ExpandEnvironmentStringsW, error, Text(source), size)) return 0;
  const std::u16string in = Text(source);
  std::u16string out;
  for (size_t i = 0; i < in.size(); ++i) {
    const size_t close = in[i] == u'%' ? in.find(u'%', i + 1) : std::u16string::npos;
    if (close != std::u16string::npos) {
      auto found = TheWorld().environment.find(Fold(in.substr(i + 1, close - i - 1)));
      if (found != TheWorld().environment.end()) {
        out += found->second.second;
        i = close;
        continue;
      }
    }
    out += in[i];
  }
  const DWORD needed = static_cast<DWORD>(out.size() + 1);
  if (destination != nullptr && size >= needed)
    memcpy(destination, out.c_str(), needed * sizeof(WCHAR));
  Succeeded();
  return needed;
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR file_name, HANDLE file, DWORD flags) {
  DWORD error = 0;
  if (Fails(Op::LoadLibraryExW, error, Text(file_name), flags)) return nullptr;
  if (file != nullptr) {
    Failed(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::u16string wanted = Fold(Text(file_name));
  for (const auto& path : TheWorld().cabinet_paths) {
    if (Fold(path) == wanted) {
      ++TheWorld().library_loads;
      Succeeded();
      return kCabinetModule;
    }
  }
  Failed(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

namespace {
HFDI CabinetCreate(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int, PERF);
BOOL CabinetCopy(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
BOOL CabinetDestroy(HFDI);
}  // namespace

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  DWORD error = 0;
  if (Fails(Op::GetProcAddress, error, name ? Widen(name) : std::u16string())) return nullptr;
  const auto& missing = TheWorld().cabinet_missing_entries;
  if (module == kCabinetModule && name != nullptr &&
      std::find(missing.begin(), missing.end(), name) == missing.end()) {
    const std::string entry = name;
    void (*function)() = nullptr;
    if (entry == "FDICreate") function = reinterpret_cast<void (*)()>(CabinetCreate);
    if (entry == "FDICopy") function = reinterpret_cast<void (*)()>(CabinetCopy);
    if (entry == "FDIDestroy") function = reinterpret_cast<void (*)()>(CabinetDestroy);
    if (function != nullptr) {
      Succeeded();
      return reinterpret_cast<FARPROC>(function);
    }
  }
  Failed(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

// --- time
// ------------------------------------------------------------------------------------------

BOOL WINAPI DosDateTimeToFileTime(WORD fat_date, WORD fat_time, LPFILETIME file_time) {
  DWORD error = 0;
  if (Fails(Op::DosDateTimeToFileTime, error)) return FALSE;
  const int year = 1980 + (fat_date >> 9), month = (fat_date >> 5) & 0xF, day = fat_date & 0x1F;
  const int hour = fat_time >> 11, minute = (fat_time >> 5) & 0x3F, second = (fat_time & 0x1F) * 2;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (file_time == nullptr || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] + (month == 2 && leap) || hour > 23 || minute > 59 || second > 59) {
    Failed(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Days since 1601-01-01.
  int64_t days = 0;
  for (int y = 1601; y < year; ++y)
    days += ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) ? 366 : 365;
  for (int m = 1; m < month; ++m) days += kDays[m - 1] + (m == 2 && leap);
  days += day - 1;
  const uint64_t ticks =
      static_cast<uint64_t>(((days * 24 + hour) * 60 + minute) * 60 + second) * 10000000ULL;
  file_time->dwLowDateTime = static_cast<DWORD>(ticks);
  file_time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  Succeeded();
  return TRUE;
}

BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* local_file_time, LPFILETIME file_time) {
  DWORD error = 0;
  if (Fails(Op::LocalFileTimeToFileTime, error)) return FALSE;
  if (local_file_time == nullptr || file_time == nullptr) {
    Failed(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const uint64_t local = (static_cast<uint64_t>(local_file_time->dwHighDateTime) << 32) |
                         local_file_time->dwLowDateTime;
  const uint64_t utc = local - static_cast<int64_t>(TheWorld().time_zone_bias) * 60 * 10000000LL;
  file_time->dwLowDateTime = static_cast<DWORD>(utc);
  file_time->dwHighDateTime = static_cast<DWORD>(utc >> 32);
  Succeeded();
  return TRUE;
}

// --- text
// ------------------------------------------------------------------------------------------

int WINAPI lstrlenW(LPCWSTR text) {
  return text == nullptr ? 0 : static_cast<int>(Text(text).size());
}

int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length,
                               LPSTR multi_byte, int multi_byte_size, LPCSTR default_char,
                               LPBOOL used_default_char) {
  (void)default_char;
  (void)used_default_char;
  DWORD error = 0;
  if (Fails(Op::WideCharToMultiByte, error)) return 0;
  if (code_page != CP_UTF8 || flags != 0 || wide == nullptr || wide_length == 0 ||
      multi_byte_size < 0) {
    Failed(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string in =
      wide_length < 0 ? std::u16string(wide) + u'\0' : std::u16string(wide, wide_length);
  const std::string out = Narrow(in);
  if (multi_byte_size == 0) {
    Succeeded();
    return static_cast<int>(out.size());
  }
  if (static_cast<size_t>(multi_byte_size) < out.size()) {
    Failed(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(multi_byte, out.data(), out.size());
  Succeeded();
  return static_cast<int>(out.size());
}

int WINAPI MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi_byte,
                               int multi_byte_length, LPWSTR wide, int wide_size) {
  DWORD error = 0;
  if (Fails(Op::MultiByteToWideChar, error)) return 0;
  if (code_page != CP_UTF8 || flags != 0 || multi_byte == nullptr || multi_byte_length == 0 ||
      wide_size < 0) {
    Failed(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string in = multi_byte_length < 0 ? std::string(multi_byte) + '\0'
                                         : std::string(multi_byte, multi_byte_length);
  const std::u16string out = Widen(in);
  if (wide_size == 0) {
    Succeeded();
    return static_cast<int>(out.size());
  }
  if (static_cast<size_t>(wide_size) < out.size()) {
    Failed(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(wide, out.data(), out.size() * sizeof(WCHAR));
  Succeeded();
  return static_cast<int>(out.size());
}

// --- the scripted cabinet library
// --------------------------------------------------------------------

namespace {

constexpr size_t kCabinetBufferBytes = 256;

struct FdiContext {
  PFNALLOC alloc;
  PFNFREE free;
  PFNOPEN open;
  PFNREAD read;
  PFNWRITE write;
  PFNCLOSE close;
  PFNSEEK seek;
};

HFDI CabinetCreate(PFNALLOC alloc, PFNFREE free, PFNOPEN open, PFNREAD read, PFNWRITE write,
                   PFNCLOSE close, PFNSEEK seek, int cpu_type, PERF erf) {
  (void)cpu_type;
  ++TheWorld().cabinet_log.creates;
  if (erf == nullptr) return nullptr;
  // The library keeps its own state in memory from the caller's allocator.
  auto* context = static_cast<FdiContext*>(alloc(sizeof(FdiContext)));
  if (context == nullptr) return nullptr;
  ++TheWorld().cabinet_log.allocations_outstanding;
  *context = {alloc, free, open, read, write, close, seek};
  return context;
}

BOOL CabinetDestroy(HFDI fdi) {
  ++TheWorld().cabinet_log.destroys;
  auto* context = static_cast<FdiContext*>(fdi);
  context->free(context);
  --TheWorld().cabinet_log.allocations_outstanding;
  return TRUE;
}

BOOL CabinetCopy(HFDI fdi, char* cabinet, char* cabinet_path, int flags, PFNFDINOTIFY notify,
                 PFNFDIDECRYPT decrypt, void* user_value) {
  (void)flags;
  (void)decrypt;
  auto* context = static_cast<FdiContext*>(fdi);
  CabinetLog& log = TheWorld().cabinet_log;
  const CabinetScript script = TheWorld().cabinet_script;
  ++log.copies;
  log.cabinet_name = cabinet;
  log.cabinet_path = cabinet_path;
  // Each is held in a buffer of CB_MAX_CAB_PATH or CB_MAX_CABINET_NAME (256) bytes with its
  // terminator; what does not fit is refused before anything is opened.
  if (strlen(cabinet_path) >= kCabinetBufferBytes || strlen(cabinet) >= kCabinetBufferBytes) {
    ++log.refused_names;
    return FALSE;
  }
  std::string joined = std::string(cabinet_path) + cabinet;
  log.opened = joined;
  const INT_PTR cabinet_file = context->open(joined.data(), 0x8000, 0);  // _O_BINARY | _O_RDONLY
  if (cabinet_file == -1) return FALSE;
  // Reads the whole cabinet, as decoding would: its size from a seek to the end, then back.
  const LONG size = context->seek(cabinet_file, 0, 2);
  const LONG start = size < 0 ? -1 : context->seek(cabinet_file, 0, 0);
  std::string bytes(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  const UINT got = size > 0 && start == 0
                       ? context->read(cabinet_file, bytes.data(), static_cast<UINT>(size))
                       : 0;
  log.cabinet_bytes = bytes.substr(0, got == static_cast<UINT>(-1) ? 0 : got);
  if (script.reopen_cabinet && got == static_cast<UINT>(size)) {
    const INT_PTR again = context->open(joined.data(), 0x8000, 0);
    if (again == -1) {
      context->close(cabinet_file);
      return FALSE;
    }
    std::string second(bytes.size(), '\0');
    const UINT read = context->read(again, second.data(), static_cast<UINT>(second.size()));
    log.reopened_bytes = second.substr(0, read == static_cast<UINT>(-1) ? 0 : read);
    context->close(again);
  }
  // A cabinet that cannot be sized or read whole is no cabinet; nor is one without a window.
  void* work = nullptr;
  if (size <= 0 || start != 0 || got != static_cast<UINT>(size) ||
      (work = context->alloc(32768)) == nullptr) {
    context->close(cabinet_file);
    return FALSE;
  }
  ++log.allocations_outstanding;

  bool completed = true;
  INT_PTR output = -1;
  // Every file handle the copy notifications gave and no close notification took back: a library
  // closes what it still holds when it stops, as after a read failure.
  std::vector<INT_PTR> held;
  for (const CabinetStep& step : script.steps) {
    if (step.kind == CabinetStep::Kind::kReadFailure) {
      completed = false;
      break;
    }
    if (step.kind == CabinetStep::Kind::kWrite) {
      if (output == -1) continue;
      std::string data = step.bytes;
      const UINT wrote = context->write(output, data.data(), static_cast<UINT>(data.size()));
      if (wrote != data.size() && !script.ignore_write_failure) {
        // A failed write ends the copy; the library closes what it opened, with no notification.
        completed = false;
        break;
      }
      continue;
    }
    FDINOTIFICATION notification = {};
    notification.pv = user_value;
    notification.psz1 = const_cast<char*>("setup.exe");
    notification.psz3 = cabinet_path;
    notification.date = step.date;
    notification.time = step.time;
    notification.attribs = step.attribs;
    if (step.type == fdintCLOSE_FILE_INFO) {
      if (output == -1) continue;  // a skipped or refused file is never closed
      notification.hf = output;
    }
    if (step.type == fdintCOPY_FILE && output != -1 && script.close_before_next) {
      held.erase(std::find(held.begin(), held.end(), output));
      context->close(output);
      output = -1;
    }
    const INT_PTR answer = notify(step.type, &notification);
    log.answers.push_back(answer);
    if (step.type == fdintCOPY_FILE) {
      if (answer == -1) {
        completed = false;
        break;
      }
      // 0 skips the file; a second copy before the first file's close leaves the first held.
      output = answer == 0 ? -1 : answer;
      if (answer != 0) held.push_back(answer);
      continue;
    }
    if (step.type == fdintCLOSE_FILE_INFO) {
      held.erase(std::find(held.begin(), held.end(), output));  // the callback closes it
      output = -1;
      if (answer == -1 && !script.ignore_abort) {
        completed = false;
        break;
      }
      continue;
    }
    if (answer == -1) {
      completed = false;
      break;
    }
  }
  // The cabinet ended inside a file: the library reports it damaged.
  if (output != -1 && completed) completed = false;
  for (INT_PTR file : held) context->close(file);
  context->free(work);
  --log.allocations_outstanding;
  context->close(cabinet_file);
  return completed ? TRUE : FALSE;
}

}  // namespace
