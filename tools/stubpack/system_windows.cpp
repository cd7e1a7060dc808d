// The packer's door to Windows: UTF-8 paths made absolute with the \\?\ prefix, handles shared
// for reading and deletion, a delete-pending output and a lock file that sharing protects.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <fcntl.h>
#include <io.h>

#include "tools/stubpack/system.h"
#include "tools/stubpack/utf16_windows.h"

namespace stubpack::sys {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The path as the system takes it: absolute, with the \\?\ prefix, so that no length limit of
// 260 units applies and no name is altered (trailing dots and spaces). Messages keep the user's
// text; only calls see this one.
std::wstring SystemPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  size = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  full.resize(size);
  if (full.rfind(L"\\\\.\\", 0) == 0) return full;  // a device: no prefix
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The same text as strerror on Linux for the causes both systems share, so that a message reads
// the same from either build; the system's own text for the rest.
std::string Error(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return error == ERROR_ACCESS_DENIED ? "Permission denied"
                                          : "Permission denied (the file is in use)";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return "File exists";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "No space left on device";
    case ERROR_DIRECTORY:
      return "Not a directory";
    case ERROR_DIR_NOT_EMPTY:
      return "Directory not empty";
    case ERROR_FILENAME_EXCED_RANGE:
      return "File name too long";
    case ERROR_WRITE_PROTECT:
      return "Read-only file system";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return "Cannot allocate memory";
    default:
      break;
  }
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = n > 0 ? Narrow(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' '))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(error) : message;
}

std::string LastError() { return Error(GetLastError()); }

HANDLE H(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

int64_t UnixSeconds(const FILETIME& time) {
  const uint64_t ticks = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  constexpr uint64_t kTicksTo1970 = 116444736000000000;  // 100 ns units from 1601 to 1970
  return ticks >= kTicksTo1970 ? static_cast<int64_t>((ticks - kTicksTo1970) / 10000000)
                               : -static_cast<int64_t>((kTicksTo1970 - ticks + 9999999) / 10000000);
}

bool FromHandle(HANDLE handle, FileStatus& status, std::string& problem) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    problem = LastError();
    return false;
  }
  status.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.regular = !status.directory && GetFileType(handle) == FILE_TYPE_DISK;
  status.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  status.modified = UnixSeconds(info.ftLastWriteTime);
  status.volume = info.dwVolumeSerialNumber;
  status.id = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

constexpr DWORD kShareReaders = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The scratch directory of the run, in fixed buffers: the console handler removes it from a
// thread of its own while the main thread may be anywhere.
constexpr wchar_t kScratchPrefix[] = L".stubpack-";
constexpr const char* kScratchNames[] = {"lock", "setup.cab", "unsigned.exe", "signed.exe",
                                         "installer.exe"};
constexpr int kScratchFiles = sizeof(kScratchNames) / sizeof(kScratchNames[0]);
wchar_t g_scratch_dir[33000];
wchar_t g_scratch_file[kScratchFiles][33100];
HANDLE g_lock = INVALID_HANDLE_VALUE;
HANDLE g_main_thread = nullptr;
UINT g_console_code_page = 0;
HANDLE volatile g_output = INVALID_HANDLE_VALUE;
void (*g_stop_tool)() = nullptr;

void RemoveScratch() {
  // The delete-pending installer goes with its handle; the lock file last, once its handle is
  // closed: until then it marks the run as alive.
  if (HANDLE output = g_output; output != INVALID_HANDLE_VALUE) {
    g_output = INVALID_HANDLE_VALUE;
    CloseHandle(output);
  }
  if (g_lock != INVALID_HANDLE_VALUE) {
    CloseHandle(g_lock);
    g_lock = INVALID_HANDLE_VALUE;
  }
  for (int i = kScratchFiles - 1; i >= 0; --i) {
    if (g_scratch_file[i][0] != L'\0') DeleteFileW(g_scratch_file[i]);
  }
  if (g_scratch_dir[0] != L'\0') RemoveDirectoryW(g_scratch_dir);
}

BOOL WINAPI RemoveScratchAndExit(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT &&
      event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT)
    return FALSE;
  // The handler runs on a thread of its own: the main thread stops first, so that it neither
  // writes to the handles closed here nor reports their failure. Terminated, not exited: no
  // runtime cleanup waits on a lock the stopped thread may hold.
  if (g_main_thread != nullptr) SuspendThread(g_main_thread);
  if (g_stop_tool != nullptr) g_stop_tool();
  RemoveScratch();
  if (g_console_code_page != 0) SetConsoleOutputCP(g_console_code_page);
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

void RestoreConsoleCodePage() {
  if (g_console_code_page != 0) SetConsoleOutputCP(g_console_code_page);
}

bool ProcessIsGone(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  const bool gone = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return gone;
}

// Removes the scratch directories of dead runs in `directory`: those whose lock file can be
// deleted (a live run holds it open without FILE_SHARE_DELETE), and those without a lock file
// whose PID is gone (a run killed between making the directory and its lock).
void RemoveDeadRuns(const std::string& directory, std::vector<std::string>& removed) {
  const std::wstring root = SystemPath(directory);
  const std::wstring separator = root.empty() || root.back() == L'\\' ? L"" : L"\\";
  WIN32_FIND_DATAW found;
  HANDLE listing = FindFirstFileW((root + separator + kScratchPrefix + L"*").c_str(), &found);
  if (listing == INVALID_HANDLE_VALUE) return;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      continue;
    const std::wstring path = root + separator + found.cFileName;
    const std::wstring lock = path + L"\\lock";
    bool dead = false;
    if (DeleteFileW(lock.c_str())) {
      dead = true;
    } else if (const DWORD error = GetLastError(); error == ERROR_FILE_NOT_FOUND) {
      wchar_t* end = nullptr;
      const unsigned long pid =
          std::wcstoul(found.cFileName + (sizeof(kScratchPrefix) / sizeof(wchar_t) - 1), &end, 10);
      dead = pid > 0 && *end == L'-' && ProcessIsGone(static_cast<DWORD>(pid));
    }
    if (!dead) continue;
    WIN32_FIND_DATAW inner;
    HANDLE files = FindFirstFileW((path + L"\\*").c_str(), &inner);
    if (files != INVALID_HANDLE_VALUE) {
      do {
        if ((inner.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
          DeleteFileW((path + L"\\" + inner.cFileName).c_str());
      } while (FindNextFileW(files, &inner));
      FindClose(files);
    }
    if (RemoveDirectoryW(path.c_str()))
      removed.push_back(Join(directory, Narrow(found.cFileName, std::wcslen(found.cFileName))));
  } while (FindNextFileW(listing, &found));
  FindClose(listing);
}

bool SetDeletePending(HANDLE file, bool pending) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = pending ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

}  // namespace

bool Status(const std::string& path, FileStatus& status, std::string& problem) {
  // Backup semantics open directories too; no access asked, so that nothing is refused for it.
  HANDLE handle = CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareReaders,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    problem = LastError();
    return false;
  }
  const bool ok = FromHandle(handle, status, problem);
  CloseHandle(handle);
  return ok;
}

File::~File() {
  if (native_ != -1) CloseHandle(H(native_));
}

File::File(File&& other) noexcept : native_(other.native_), end_(other.end_) { other.native_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (native_ != -1) CloseHandle(H(native_));
    native_ = other.native_;
    end_ = other.end_;
    other.native_ = -1;
  }
  return *this;
}

void File::Adopt(intptr_t native) {
  if (native_ != -1) CloseHandle(H(native_));
  native_ = native;
  LARGE_INTEGER position = {};
  end_ = native != -1 && SetFilePointerEx(H(native), position, &position, FILE_CURRENT)
             ? static_cast<uint64_t>(position.QuadPart)
             : 0;
}

bool File::Valid() const { return native_ != -1; }

bool File::OpenRead(const std::string& path, std::string& problem) {
  // Shared for deletion too: a scanner or an indexer that opens the file meanwhile, or a build
  // that replaces it, never makes either side fail.
  HANDLE handle =
      CreateFileW(SystemPath(path).c_str(), GENERIC_READ, kShareReaders, nullptr, OPEN_EXISTING,
                  FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    problem = "cannot be read: " + LastError();
    return false;
  }
  Adopt(reinterpret_cast<intptr_t>(handle));
  FileStatus status;
  if (!FromHandle(handle, status, problem) || !status.regular) {
    problem = "is not a regular file";
    Adopt(-1);
    return false;
  }
  return true;
}

bool File::Create(const std::string& path, std::string& problem) {
  HANDLE handle = CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    problem = LastError();
    return false;
  }
  Adopt(reinterpret_cast<intptr_t>(handle));
  return true;
}

bool File::Info(FileStatus& status, std::string& problem) const {
  return FromHandle(H(native_), status, problem);
}

bool File::Size(uint64_t& size, std::string& problem) const {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(H(native_), &value)) {
    problem = LastError();
    return false;
  }
  size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

int64_t File::ReadAt(uint64_t offset, void* data, size_t size, std::string& problem) const {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
  if (!ReadFile(H(native_), data, want, &got, &at)) {
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) return 0;
    problem = Error(error);
    return -1;
  }
  return got;
}

bool File::WriteAt(uint64_t offset, const void* data, size_t size, std::string& problem) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    DWORD done = 0;
    if (!WriteFile(H(native_), bytes, want, &done, &at)) {
      problem = LastError();
      return false;
    }
    if (done == 0) {  // a full disk, as Wine reports it once
      problem = Error(ERROR_DISK_FULL);
      return false;
    }
    bytes += done;
    offset += done;
    size -= done;
  }
  return true;
}

bool File::Write(const void* data, size_t size, std::string& problem) {
  // At the file's own end: positioned writes (ReadAt, WriteAt) move a synchronous handle's
  // pointer, so Write keeps its place itself.
  if (!WriteAt(end_, data, size, problem)) return false;
  end_ += size;
  return true;
}

bool File::Close(std::string& problem) {
  if (native_ == -1) return true;
  HANDLE handle = H(native_);
  native_ = -1;
  if (!CloseHandle(handle)) {
    problem = LastError();
    return false;
  }
  return true;
}

bool MapWhole(const std::string& path, const uint8_t*& data, uint64_t& size, std::string& problem) {
  File file;
  if (!file.OpenRead(path, problem)) return false;
  if (!file.Size(size, problem)) {
    problem = "cannot be read: " + problem;
    return false;
  }
  if (size == 0) {  // CreateFileMappingW refuses an empty file
    static const uint8_t kNothing = 0;
    data = &kNothing;
    return true;
  }
  // The view keeps the mapping, and the mapping the file, once their handles are closed.
  HANDLE mapping = CreateFileMappingW(H(file.Native()), nullptr, PAGE_READONLY, 0, 0, nullptr);
  void* at = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
  const DWORD error = GetLastError();
  if (mapping != nullptr) CloseHandle(mapping);
  if (at == nullptr) {
    problem = "cannot be mapped: " + Error(error);
    size = 0;
    return false;
  }
  data = static_cast<const uint8_t*>(at);
  return true;
}

void Unmap(const uint8_t* data, uint64_t size) {
  if (data != nullptr && size != 0) UnmapViewOfFile(data);
}

bool Environment(const char* name, std::string& value) {
  const std::wstring wide_name = Wide(name);
  std::wstring wide(256, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n =
        GetEnvironmentVariableW(wide_name.c_str(), wide.data(), static_cast<DWORD>(wide.size()));
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    if (n < wide.size()) {
      value = Narrow(wide.data(), n);
      return true;
    }
    wide.assign(n, L'\0');
  }
}

std::string SelfPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.assign(path.size() * 2, L'\0');
  }
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
    path = L"\\\\" + path.substr(8);
  else if (path.rfind(L"\\\\?\\", 0) == 0)
    path = path.substr(4);
  return Narrow(path.data(), path.size());
}

std::string DirectoryOf(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && !IsSeparator(path[end - 1])) --end;
  if (end == 0) {
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);  // "C:name"
    return ".";
  }
  // The root keeps its separator: "C:\", "\".
  const size_t start = path.size() >= 2 && path[1] == ':' ? 2 : 0;
  size_t cut = end - 1;
  while (cut > start && IsSeparator(path[cut - 1])) --cut;
  return cut == start ? path.substr(0, start + 1) : path.substr(0, cut);
}

std::string BaseName(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && !IsSeparator(path[end - 1]) && !(end == 2 && path[1] == ':')) --end;
  return path.substr(end);
}

std::string Join(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  const char last = directory.back();
  return directory + (IsSeparator(last) || (directory.size() == 2 && last == ':') ? "" : "\\") +
         name;
}

namespace {

// The invariant locale's mapping: the same on every machine, whatever its language.
char16_t MapUnit(char16_t unit, DWORD how) {
  wchar_t in = static_cast<wchar_t>(unit), out = in;
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, how, &in, 1, &out, 1, nullptr, nullptr, 0) != 1)
    return unit;
  return out >= 0xD800 && out <= 0xDFFF ? unit : static_cast<char16_t>(out);
}

}  // namespace

char16_t UpperCaseUnit(char16_t unit) { return MapUnit(unit, LCMAP_UPPERCASE); }

char16_t LowerCaseUnit(char16_t unit) { return MapUnit(unit, LCMAP_LOWERCASE); }

bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// Windows keeps no unnamed files: the installer is written as "installer.exe" in the scratch
// directory, opened with DELETE access and marked delete-pending, so that a run that is killed
// (TerminateProcess, a crash, a closed console) loses it with its last handle. The mark, unlike
// FILE_FLAG_DELETE_ON_CLOSE, can be taken back: Name clears it once the file is whole, then
// Commit moves it over the output in one step. The scratch directory's lock file is held open
// without FILE_SHARE_DELETE: a later run that can delete it knows this run is gone.
bool OutputFile::Begin(const std::string& output, const char* name, std::string& problem) {
  output_ = output;
  const std::string directory = DirectoryOf(output);
  RemoveDeadRuns(directory, removed_);
  const std::wstring root = SystemPath(directory);
  const std::wstring base = root + (root.empty() || root.back() == L'\\' ? L"" : L"\\") +
                            kScratchPrefix + std::to_wstring(GetCurrentProcessId()) + L"-";
  if (base.size() + 64 >= sizeof(g_scratch_dir) / sizeof(wchar_t)) {
    problem = "the output's directory path is too long";
    return false;
  }
  // Six characters that no other run of this PID chose, as mkdtemp does.
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  LARGE_INTEGER seed;
  QueryPerformanceCounter(&seed);
  uint64_t state = static_cast<uint64_t>(seed.QuadPart) ^ (uint64_t{GetTickCount()} << 32);
  std::wstring suffix;
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_ALREADY_EXISTS; ++attempt) {
    suffix.clear();
    for (int i = 0; i < 6; ++i) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      suffix += static_cast<wchar_t>(kLetters[(state >> 33) % (sizeof(kLetters) - 1)]);
    }
    error = CreateDirectoryW((base + suffix).c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
  }
  if (error != ERROR_SUCCESS) {
    problem = "cannot create a temporary directory beside the output: " + Error(error);
    return false;
  }
  std::wcscpy(g_scratch_dir, (base + suffix).c_str());
  scratch_ = Join(directory, ".stubpack-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 Narrow(suffix.data(), suffix.size()));
  for (int i = 0; i < kScratchFiles; ++i)
    std::swprintf(g_scratch_file[i], sizeof(g_scratch_file[i]) / sizeof(wchar_t), L"%ls\\%hs",
                  g_scratch_dir, kScratchNames[i]);
  g_lock = CreateFileW(g_scratch_file[0], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (g_lock == INVALID_HANDLE_VALUE) {
    problem = "cannot lock a temporary directory beside the output: " + LastError();
    return false;
  }
  lock_ = reinterpret_cast<intptr_t>(g_lock);
  path_ = ScratchPath(name != nullptr ? name : "installer.exe");
  const std::wstring wide = SystemPath(path_);
  // Readers may share it (a scanner); none may write or delete it meanwhile.
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    problem = "cannot create a temporary file beside the output: " + LastError();
    return false;
  }
  file_.Adopt(reinterpret_cast<intptr_t>(file));
  if (name == nullptr) {
    if (!SetDeletePending(file, true)) {
      problem = "cannot create a temporary file beside the output: " + LastError();
      return false;
    }
    hidden_ = Hidden::kDeletePending;
    g_output = file;
  }
  return true;
}

OutputFile::~OutputFile() {
  g_output = INVALID_HANDLE_VALUE;
  std::string ignored;
  file_.Close(ignored);
  if (!scratch_.empty()) RemoveScratch();
  g_scratch_dir[0] = L'\0';
  for (wchar_t* file : g_scratch_file) file[0] = L'\0';
}

std::string OutputFile::ScratchPath(const char* name) const { return Join(scratch_, name); }

std::string OutputFile::Describe() const {
  return path_ +
         (hidden_ == Hidden::kDeletePending ? ", marked for deletion until it is whole" : "");
}

bool OutputFile::Name(std::string& problem) {
  if (!file_.Valid()) return true;
  if (hidden_ == Hidden::kDeletePending) {
    if (!SetDeletePending(H(file_.Native()), false)) {
      problem = "cannot write: " + LastError();
      return false;
    }
    hidden_ = Hidden::kNamed;
  }
  g_output = INVALID_HANDLE_VALUE;
  if (!file_.Close(problem)) {
    problem = "cannot write: " + problem;
    return false;
  }
  return true;
}

bool OutputFile::Commit(const std::string& finished, std::string& problem) {
  if (file_.Valid() && !Name(problem)) return false;
  // Written through: the move returns once the new name is on the disk, as the caller expects
  // of a finished build step on Windows.
  // A scanner or an indexer commonly holds a freshly written executable, or the output that an
  // installer just run left, for a moment: the move is tried again for up to two seconds.
  const std::wstring from = SystemPath(finished), to = SystemPath(output_);
  DWORD error = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return true;
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
    Sleep(100);
  }
  problem = "cannot be written: " + Error(error);
  return false;
}

void OnInterrupt(void (*stop_tool)()) {
  g_stop_tool = stop_tool;
  if (g_main_thread == nullptr)
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main_thread,
                    THREAD_SUSPEND_RESUME, FALSE, 0);
  SetConsoleCtrlHandler(RemoveScratchAndExit, TRUE);
}

// Output stays the UTF-8 bytes Linux writes: stdout and stderr in binary mode ("\n" not turned
// into "\r\n"), so that a pipe or a file receives exactly what the Linux build writes. A console
// is switched to the UTF-8 code page for the run, rather than each write going through
// WriteConsoleW: every writer (iostreams, the progress line's stdio) then stays as it is, and the
// console's own code page comes back when the run ends, interrupted or not.
void PrepareOutput() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ||
      GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode)) {
    g_console_code_page = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    std::atexit(RestoreConsoleCodePage);
  }
}

}  // namespace stubpack::sys
