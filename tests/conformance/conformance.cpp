// conformance.exe: every whole-installation case of the kit, run on the machine it is started on,
// printed as TAP. The same program runs on Windows and under Wine; each case holds the verdict
// for Windows and, where Wine is known to differ, the verdict for Wine with the departure named,
// so a run on Windows either confirms the emulation's Windows model or shows the difference.
//
//   conformance.exe [--out FILE] [--work DIR] [--keep] [--only NAME]
//
// --out also writes the TAP to FILE (default: conformance-result-standard.txt or
// conformance-result-elevated.txt beside this program); --work makes the cases' directories under
// DIR (default: runs\ beside this program); --keep leaves every case's directory (a failed case's
// stays anyway);
// --only runs the cases whose name contains NAME. Exit status: 0 when no case failed, else 1.
// windows.h first: the other headers build on its types.
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "tests/conformance/utf8.h"

namespace {

// The stub's exit codes are its interface, so they are written out here, not borrowed.
constexpr uint32_t kPathTooLong = 108;
constexpr uint32_t kNoWorkDirectory = 109;
constexpr uint32_t kArchiveNotFound = 112;
constexpr uint32_t kUnsupportedSwitch = 118;
constexpr uint32_t kSetupLaunchFailed = 124;

// The protected list the stub asks for on its work directory, up to the token owner's SID.
const wchar_t kStubAccessListStart[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;";

const wchar_t kKeepKey[] = L"Software\\Zarnith";
const wchar_t kKeepValue[] = L"NimbetInstallerCleanup";

enum class Installer { kBareStub, kCabinet, kPlain, kNoArchive, kNotAProgram, kAdminSetup };

enum class Place {
  kPlain,         // a directory of the case's own
  kLength,        // padded so that its path with the final backslash has `units` units
  kCharacters,    // `unit` repeated `repeats` times, in components of at most 80
  kDriveRoot,     // the root of a drive letter mapped onto a directory (as subst does)
  kDenyCreate,    // an access list that denies creating subdirectories to everyone
  kReadOnly,      // FILE_ATTRIBUTE_READONLY set on the directory after the installer is in it
  kSecondVolume,  // a directory on another local volume than the kit's
};

enum class Left {
  kNothing,            // only the installer (and what the case made before) stays
  kWorkDirectoryLeft,  // one work directory, holding exactly the file setup left
  kKeptSetup,          // one work directory a run, each holding setup.exe alone
};

enum class AccessList { kUnchecked, kTheStubsList, kNotTheStubsList };

struct Verdict {
  uint32_t exit_code = 0;
  bool setup_runs = true;
  Left left = Left::kNothing;
  AccessList access_list = AccessList::kUnchecked;
  DWORD at_least_ms = 0;  // a pause the case expects (removal retries); 0 for none
};

struct Case {
  const char* name;
  Installer installer = Installer::kCabinet;
  Place place = Place::kPlain;
  size_t units = 0;
  const wchar_t* unit = nullptr;
  size_t repeats = 0;
  // {stub} is the installer's path as started, {name} its file name.
  const wchar_t* command_line = L"\"{stub}\"";
  // What setup must receive after the fixed part; the same for every world.
  const wchar_t* forwarded = L"";
  const wchar_t* setup_exit = L"7";  // CONFORMANCE_EXIT
  const wchar_t* leave = nullptr;    // CONFORMANCE_LEAVE
  DWORD hold_ms = 0;                 // CONFORMANCE_HOLD_MS
  bool keep_files = false;           // the registry value set to "0" for the case
  int runs = 1;
  int earlier_work_directories = 0;  // VQ_0000N.tmp\ made beforehand, each with a file
  Verdict windows = {};
  // Windows run by a standard user, where that differs from an elevated run.
  std::optional<Verdict> windows_unelevated = std::nullopt;
  std::optional<Verdict> wine = std::nullopt;
  const char* departure = nullptr;  // why Wine's verdict differs
};

const Verdict kNoSetup118{kUnsupportedSwitch, false};
const Verdict kBare112{kArchiveNotFound, false};
const Verdict kSetupSeven{7};

const char kNoAccessLists[] =
    "the access list is not stored: CreateDirectoryW accepts it, reading it back gives entries "
    "made from Unix modes, and no access check refuses a creation";

// The cases. Directory lengths count the installer's directory with its final backslash.
const std::vector<Case> kCases = {
    {.name = "exit-code-zero", .setup_exit = L"0", .windows = {0}},
    {.name = "exit-code-three", .setup_exit = L"3", .windows = {3}},
    // 112 is also the stub's own code; the report shows that setup ran and the code is setup's.
    {.name = "exit-code-112-from-setup", .setup_exit = L"112", .windows = {112}},
    {.name = "exit-code-0xC0000005-whole", .setup_exit = L"0xC0000005", .windows = {0xC0000005u}},
    {.name = "exit-code-3221225477-decimal", .setup_exit = L"3221225477", .windows = {3221225477u}},
    {.name = "forwarded-quoted-first-argument",
     .command_line = L"\"{stub}\" --any-switch \"two words\"",
     .forwarded = L" --any-switch \"two words\"",
     .windows = kSetupSeven},
    // The first argument is skipped in the raw text; the stub's path comes from the system.
    {.name = "forwarded-unquoted-first-argument",
     .command_line = L"{name} --any-switch",
     .forwarded = L" --any-switch",
     .windows = kSetupSeven},
    {.name = "forwarded-no-space-after-closing-quote",
     .command_line = L"\"{stub}\"--any-switch",
     .forwarded = L" --any-switch",
     .windows = kSetupSeven},
    {.name = "forwarded-tab-after-unquoted-first-argument",
     .command_line = L"{name}\t--any-switch",
     .forwarded = L"\t--any-switch",
     .windows = kSetupSeven},
    {.name = "forwarded-spacing-kept",
     .command_line = L"\"{stub}\"   --a\t\t\"b  c\" x",
     .forwarded = L"   --a\t\t\"b  c\" x",
     .windows = kSetupSeven},
    {.name = "plain-storage", .installer = Installer::kPlain, .windows = kSetupSeven},
    {.name = "work-directory-access-list-while-setup-runs",
     .windows = {7, true, Left::kNothing, AccessList::kTheStubsList},
     .wine = Verdict{7, true, Left::kNothing, AccessList::kNotTheStubsList},
     .departure = kNoAccessLists},
    // The removal gives up after its retries (100 x 100 ms); the exit code is still setup's.
    {.name = "setup-leaves-a-file",
     .setup_exit = L"3",
     .leave = L"left-behind.txt",
     .windows = {3, true, Left::kWorkDirectoryLeft, AccessList::kUnchecked, 9000}},
    // A child of setup holds a file in the work directory for 1.5 s: the removal waits it out.
    {.name = "child-holds-a-file",
     .setup_exit = L"0",
     .hold_ms = 1500,
     .windows = {0, true, Left::kNothing, AccessList::kUnchecked, 1500}},
    // A text stored as setup.exe is written, cannot be started (193) and is removed again.
    {.name = "setup-that-is-no-program",
     .installer = Installer::kNotAProgram,
     .windows = {kSetupLaunchFailed, false}},
    {.name = "layout-without-archive",
     .installer = Installer::kNoArchive,
     .windows = {kArchiveNotFound, false}},
    {.name = "setup-asks-for-administrator",
     .installer = Installer::kAdminSetup,
     .windows = kSetupSeven,
     .windows_unelevated = Verdict{kSetupLaunchFailed, false},
     .wine = kSetupSeven,
     .departure = "no elevation: every process holds a full administrator token, so "
                  "CreateProcessW never fails with ERROR_ELEVATION_REQUIRED (740)"},
    {.name = "cleanup-switch-before-setup",
     .command_line = L"\"{stub}\" --cleanup",
     .windows = kNoSetup118},
    {.name = "bare-stub", .installer = Installer::kBareStub, .windows = kBare112},
    {.name = "bare-stub-frame-switch-in-capitals",
     .installer = Installer::kBareStub,
     .command_line = L"\"{stub}\" --NIMBET-FRAME",
     .windows = kNoSetup118},
    {.name = "bare-stub-quoted-switch-after-another",
     .installer = Installer::kBareStub,
     .command_line = L"\"{stub}\" /S \"--CleanUp\"",
     .windows = kNoSetup118},
    // Only a whole argument matches; this one is setup's business.
    {.name = "bare-stub-switch-with-value",
     .installer = Installer::kBareStub,
     .command_line = L"\"{stub}\" --cleanup=1",
     .windows = kBare112},
    // Argument 0 is the program's own name, never a switch.
    {.name = "bare-stub-switch-as-program-name",
     .installer = Installer::kBareStub,
     .command_line = L"--cleanup",
     .windows = kBare112},
    // 246 + "VQ_XXXXX.tmp\" is 259 units: over Windows' 247-unit directory limit, which the stub
    // meets through the extended form of the path, so both worlds agree.
    {.name = "bare-stub-directory-246-units",
     .installer = Installer::kBareStub,
     .place = Place::kLength,
     .units = 246,
     .windows = kBare112},
    {.name = "bare-stub-directory-247-units",
     .installer = Installer::kBareStub,
     .place = Place::kLength,
     .units = 247,
     .windows = {kPathTooLong, false}},
    {.name = "directory-236-units", .place = Place::kLength, .units = 236, .windows = kSetupSeven},
    {.name = "directory-237-units", .place = Place::kLength, .units = 237, .windows = kSetupSeven},
    {.name = "directory-238-units-too-long",
     .place = Place::kLength,
     .units = 238,
     .windows = {kPathTooLong, false}},
    {.name = "directory-70-cjk",
     .place = Place::kCharacters,
     .unit = L"\u4e2d",
     .repeats = 70,
     .windows = kSetupSeven},
    {.name = "directory-150-cjk",
     .place = Place::kCharacters,
     .unit = L"\u5b57",
     .repeats = 150,
     .windows = kSetupSeven},
    {.name = "directory-60-surrogate-pairs",
     .place = Place::kCharacters,
     .unit = L"\U0001F4E6",
     .repeats = 60,
     .windows = kSetupSeven},
    {.name = "drive-root", .place = Place::kDriveRoot, .windows = kSetupSeven},
    {.name = "second-volume", .place = Place::kSecondVolume, .windows = kSetupSeven},
    // The read-only attribute of a directory forbids deleting it, not creating in it (the
    // file system's FileAttributes documentation); Wine as root ignores Unix modes anyway.
    {.name = "directory-read-only", .place = Place::kReadOnly, .windows = kSetupSeven},
    {.name = "directory-denies-creation",
     .place = Place::kDenyCreate,
     .windows = {kNoWorkDirectory, false},
     .wine = kSetupSeven,
     .departure = kNoAccessLists},
    // Started with its path alone: nothing forwarded; each run keeps a directory of its own.
    {.name = "keep-files-two-runs",
     .setup_exit = L"0",
     .keep_files = true,
     .runs = 2,
     .windows = {0, true, Left::kKeptSetup}},
    // Earlier work directories are neither adopted nor touched.
    {.name = "earlier-work-directories-untouched",
     .earlier_work_directories = 3,
     .windows = kSetupSeven},
};

// --- Text and paths. ---

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int units =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], units);
  return out;
}

// Tabs shown, so that a failure line tells them from spaces.
std::string Visible(const std::wstring& text) {
  std::string shown;
  for (const char c : Utf8(text)) {
    if (c == '\t') {
      shown += "<TAB>";
    } else {
      shown += c;
    }
  }
  return shown;
}

void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
  for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// The extended form, so that the kit itself meets no 247- or 260-unit limit.
std::wstring Extended(const std::wstring& path) {
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

std::wstring ImagePath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
  return path;
}

std::wstring DirectoryOf(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring FullPath(const std::wstring& path) {
  std::wstring full(32768, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr));
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return full;
}

bool MakeDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* security = nullptr) {
  return CreateDirectoryW(Extended(path).c_str(), security) ||
         GetLastError() == ERROR_ALREADY_EXISTS;
}

// Names in a directory, sorted, directories marked with a trailing backslash.
std::vector<std::wstring> List(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Extended(directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    names.push_back(name + ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? L"\\" : L""));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (size_t i = 1; i < names.size(); ++i)
    for (size_t j = i; j > 0 && names[j] < names[j - 1]; --j) std::swap(names[j], names[j - 1]);
  return names;
}

// The path of a listed entry; a directory's trailing backslash would make the extended form fail.
std::wstring Child(const std::wstring& directory, const std::wstring& listed) {
  return directory + L"\\" +
         (listed.back() == L'\\' ? listed.substr(0, listed.size() - 1) : listed);
}

std::string Join(const std::vector<std::wstring>& names) {
  std::string joined;
  for (const std::wstring& name : names) joined += (joined.empty() ? "" : " ") + Utf8(name);
  return joined.empty() ? "(nothing)" : joined;
}

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(Extended(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(Extended(path).c_str(), FILE_ATTRIBUTE_NORMAL);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    for (const std::wstring& name : List(path)) {
      RemoveTree(Child(path, name));
    }
    RemoveDirectoryW(Extended(path).c_str());
  } else {
    DeleteFileW(Extended(path).c_str());
  }
}

bool ReadFileText(const std::wstring& path, std::string& text) {
  HANDLE file = CreateFileW(Extended(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  text.clear();
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) text.append(chunk, got);
  CloseHandle(file);
  return true;
}

bool WriteFileText(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(Extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

// A report's "key: value" line; empty when it is missing.
std::string ReportValue(const std::string& report, const std::string& key) {
  const std::string start = key + ": ";
  for (size_t at = 0; at < report.size();) {
    size_t end = report.find("\r\n", at);
    if (end == std::string::npos) end = report.size();
    if (report.compare(at, start.size(), start) == 0)
      return report.substr(at + start.size(), end - at - start.size());
    at = end + 2;
  }
  return {};
}

bool IsWorkDirectoryName(const std::wstring& listed) {
  if (listed.size() != 13 || listed.compare(0, 3, L"VQ_") != 0 ||
      listed.compare(8, 5, L".tmp\\") != 0)
    return false;
  for (size_t i = 3; i < 8; ++i) {
    const wchar_t c = listed[i];
    if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) return false;
  }
  return true;
}

uint64_t Fnv1a(const std::string& bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  return hash;
}

// --- The world the kit runs in. ---

struct World {
  bool wine = false;
  std::string description;
  bool elevated = false;
  std::wstring owner_sid;  // the token's default owner, which the stub's list names
};

World DetectWorld() {
  World world;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using WineVersion = const char*(CDECL*)();
  const auto wine_version = reinterpret_cast<WineVersion>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  if (wine_version != nullptr) {
    world.wine = true;
    world.description = std::string("wine ") + wine_version();
  } else {
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto get_version = reinterpret_cast<GetVersion>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (get_version != nullptr) get_version(&version);
    world.description = "windows " + std::to_string(version.dwMajorVersion) + "." +
                        std::to_string(version.dwMinorVersion) + "." +
                        std::to_string(version.dwBuildNumber);
  }
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    world.elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
        elevation.TokenIsElevated != 0;
    GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
    std::vector<BYTE> owner(size);
    LPWSTR text = nullptr;
    if (size > 0 && GetTokenInformation(token, TokenOwner, owner.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner, &text)) {
      world.owner_sid = text;
      LocalFree(text);
    }
    CloseHandle(token);
  }
  return world;
}

// The DACL part of an SDDL text, split into its flags and its entries.
struct SddlDacl {
  std::string flags;
  std::string entries;
};

SddlDacl SplitDacl(const std::string& sddl) {
  SddlDacl dacl;
  const size_t start = sddl.find("D:");
  if (start == std::string::npos) return dacl;
  const size_t entries = sddl.find('(', start);
  dacl.flags = sddl.substr(start + 2,
                           entries == std::string::npos ? std::string::npos : entries - start - 2);
  if (entries != std::string::npos) dacl.entries = sddl.substr(entries);
  return dacl;
}

// The stub's list for this token, as the system writes it back: the same conversion both ways,
// so that the comparison is of what is stored, not of how SDDL spells it.
std::string ExpectedAccessList(const World& world) {
  const std::wstring sddl = kStubAccessListStart + world.owner_sid + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return "error converting " + Utf8(sddl);
  LPWSTR text = nullptr;
  std::string canonical;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    canonical = Utf8(text);
    LocalFree(text);
  }
  LocalFree(descriptor);
  return canonical;
}

// --- The registry value that keeps the work directory, set for a case and put back after it. ---

class KeepFilesValue {
 public:
  KeepFilesValue() {
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kKeepKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        nullptr, &key_, &disposition) != ERROR_SUCCESS) {
      key_ = nullptr;
      return;
    }
    created_key_ = disposition == REG_CREATED_NEW_KEY;
    DWORD size = 0;
    if (RegQueryValueExW(key_, kKeepValue, nullptr, &old_type_, nullptr, &size) == ERROR_SUCCESS) {
      old_data_.resize(size);
      had_value_ = RegQueryValueExW(key_, kKeepValue, nullptr, &old_type_, old_data_.data(),
                                    &size) == ERROR_SUCCESS;
    }
    // "0" with its terminator: four bytes.
    static const wchar_t kZero[] = L"0";
    set_ = RegSetValueExW(key_, kKeepValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(kZero),
                          sizeof(kZero)) == ERROR_SUCCESS;
  }
  ~KeepFilesValue() {
    if (key_ == nullptr) return;
    if (had_value_) {
      RegSetValueExW(key_, kKeepValue, 0, old_type_, old_data_.data(),
                     static_cast<DWORD>(old_data_.size()));
    } else {
      RegDeleteValueW(key_, kKeepValue);
    }
    RegCloseKey(key_);
    if (created_key_) RegDeleteKeyW(HKEY_CURRENT_USER, kKeepKey);
  }
  KeepFilesValue(const KeepFilesValue&) = delete;
  KeepFilesValue& operator=(const KeepFilesValue&) = delete;
  bool Set() const { return set_; }

 private:
  HKEY key_ = nullptr;
  bool created_key_ = false;
  bool had_value_ = false;
  bool set_ = false;
  DWORD old_type_ = 0;
  std::vector<BYTE> old_data_;
};

// A drive letter mapped onto a directory, as subst does, for as long as it lives.
class MappedDrive {
 public:
  explicit MappedDrive(const std::wstring& target) : target_(target) {
    const DWORD used = GetLogicalDrives();
    for (wchar_t letter = L'R'; letter <= L'Y'; ++letter) {
      if (used & (1u << (letter - L'A'))) continue;
      const std::wstring drive = std::wstring(1, letter) + L":";
      if (DefineDosDeviceW(0, drive.c_str(), target_.c_str())) {
        drive_ = drive;
        return;
      }
      problem_ =
          "DefineDosDeviceW(" + Utf8(drive) + ") failed with " + std::to_string(GetLastError());
      return;
    }
    problem_ = "no free drive letter from R: to Y:";
  }
  ~MappedDrive() {
    if (!drive_.empty())
      DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, drive_.c_str(),
                       target_.c_str());
  }
  MappedDrive(const MappedDrive&) = delete;
  MappedDrive& operator=(const MappedDrive&) = delete;
  const std::wstring& Drive() const { return drive_; }
  const std::string& Problem() const { return problem_; }

 private:
  std::wstring target_;
  std::wstring drive_;
  std::string problem_;
};

// A writable local volume other than `kit_directory`'s, with a fresh directory on it.
std::wstring SecondVolumeDirectory(const std::wstring& kit_directory, std::string& why) {
  wchar_t kit_volume[MAX_PATH] = {};
  GetVolumePathNameW(kit_directory.c_str(), kit_volume, MAX_PATH);
  const DWORD drives = GetLogicalDrives();
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    if (!(drives & (1u << (letter - L'A')))) continue;
    const std::wstring root = std::wstring(1, letter) + L":\\";
    const UINT type = GetDriveTypeW(root.c_str());
    if ((type != DRIVE_FIXED && type != DRIVE_REMOVABLE) || _wcsicmp(root.c_str(), kit_volume) == 0)
      continue;
    const std::wstring directory =
        root + L"conformance-kit-run-" + std::to_wstring(GetCurrentProcessId());
    if (CreateDirectoryW(directory.c_str(), nullptr)) return directory;
  }
  why = "no second writable local volume beside " + Utf8(kit_volume);
  return {};
}

// --- One case. ---

struct Kit {
  std::wstring directory;    // where conformance.exe and the installers are
  std::wstring work;         // where the cases make their directories
  std::string archive_line;  // what setup must read from the archive resource: size and FNV-1a
  std::string access_list;   // the stub's list as the system writes it back
  World world;
  bool keep = false;
  // The work volume's file system, and whether it keeps access lists (FAT32 does not; the stub
  // then asks for none).
  std::string file_system;
  bool persistent_acls = true;
};

struct Outcome {
  bool skipped = false;
  std::vector<std::string> failures;
  std::string note;  // the skip's reason, or what the case measured
};

std::wstring InstallerSource(const Kit& kit, Installer installer) {
  switch (installer) {
    case Installer::kBareStub:
      return kit.directory + L"\\stub.exe";
    case Installer::kCabinet:
      return kit.directory + L"\\installers\\cabinet.exe";
    case Installer::kPlain:
      return kit.directory + L"\\installers\\plain.exe";
    case Installer::kNoArchive:
      return kit.directory + L"\\installers\\no-archive.exe";
    case Installer::kNotAProgram:
      return kit.directory + L"\\installers\\not-a-program.exe";
    case Installer::kAdminSetup:
      return kit.directory + L"\\installers\\admin-setup.exe";
  }
  return {};
}

struct Run {
  std::optional<uint32_t> exit_code;
  DWORD ms = 0;
  std::string problem;
};

Run Launch(const std::wstring& program, std::wstring command_line, const std::wstring& directory) {
  Run run;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const ULONGLONG start = GetTickCount64();
  if (!CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      directory.c_str(), &startup, &process)) {
    run.problem = "CreateProcessW of the installer failed with " + std::to_string(GetLastError());
    return run;
  }
  CloseHandle(process.hThread);
  DWORD code = 0;
  if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    run.problem = "the installer did not end within 120 s";
  } else if (GetExitCodeProcess(process.hProcess, &code)) {
    run.exit_code = code;
  }
  run.ms = static_cast<DWORD>(GetTickCount64() - start);
  CloseHandle(process.hProcess);
  return run;
}

// Makes the installer's directory for the case under `root`; empty, with `why`, when it cannot.
std::wstring MakePlace(const Case& c, const std::wstring& root, std::string& why) {
  std::wstring directory = root + L"\\at";
  switch (c.place) {
    case Place::kPlain:
    case Place::kDriveRoot:
    case Place::kReadOnly:
      break;
    case Place::kLength: {
      if (directory.size() + 3 > c.units) {
        why = "the kit's directory is too long for a directory of " + std::to_string(c.units) +
              " units: move the kit to a shorter path";
        return {};
      }
      if (!MakeDirectory(directory)) break;
      // Components of up to 200 units; never leave room for an empty name.
      while (directory.size() + 1 < c.units) {
        const size_t remaining = c.units - (directory.size() + 1);
        size_t component = remaining - 1 < 200 ? remaining - 1 : 200;
        if (remaining - (component + 1) == 1) --component;
        directory += L"\\" + std::wstring(component < 1 ? 1 : component, L'd');
        if (!MakeDirectory(directory)) break;
      }
      break;
    }
    case Place::kCharacters: {
      // The stub's own rules take a directory of up to 237 units for this layout.
      const size_t units =
          directory.size() + c.repeats * std::wcslen(c.unit) + (c.repeats + 79) / 80 + 1;
      if (units > 237) {
        why = "the kit's directory leaves no room for " + std::to_string(c.repeats) +
              " characters under the stub's 237 units: move the kit to a shorter path";
        return {};
      }
      if (!MakeDirectory(directory)) break;
      // 80 characters a component: Linux under Wine keeps at most 255 bytes a name.
      for (size_t left = c.repeats; left > 0;) {
        const size_t take = left < 80 ? left : 80;
        std::wstring part;
        for (size_t i = 0; i < take; ++i) part += c.unit;
        directory += L"\\" + part;
        if (!MakeDirectory(directory)) break;
        left -= take;
      }
      break;
    }
    case Place::kDenyCreate: {
      // Everyone may do all but add a subdirectory to this one directory.
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
              L"D:P(D;;0x4;;;WD)(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr)) {
        why = "the deny-create access list does not convert: " + std::to_string(GetLastError());
        return {};
      }
      SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
      const bool made = MakeDirectory(directory, &security);
      LocalFree(descriptor);
      if (!made) {
        why = "cannot make the directory: " + std::to_string(GetLastError());
        return {};
      }
      return directory;
    }
    case Place::kSecondVolume:
      directory = SecondVolumeDirectory(root, why);
      return directory;
  }
  if (!MakeDirectory(directory)) {
    why = "cannot make " + Utf8(directory) + ": " + std::to_string(GetLastError());
    return {};
  }
  return directory;
}

// Setup's command line as the stub must build it, with the five hex digits as "XXXXX".
std::wstring ExpectedCommandLine(const std::wstring& directory, const std::wstring& installer,
                                 const std::wstring& forwarded) {
  const std::wstring base = directory.back() == L'\\' ? directory : directory + L"\\";
  return L"\"" + base + L"VQ_XXXXX.tmp\\setup.exe\" --pellorin-path=\"" + installer +
         L"\" --archive-resource-name=\"NIMBET.PACKED.7Z\" --archive-resource-type=\"B7\"" +
         forwarded;
}

bool MatchesWithDigits(const std::wstring& received, const std::wstring& pattern,
                       std::wstring& digits) {
  const size_t at = pattern.find(L"XXXXX");
  if (received.size() != pattern.size() || received.compare(0, at, pattern, 0, at) != 0 ||
      received.compare(at + 5, std::wstring::npos, pattern, at + 5, std::wstring::npos) != 0)
    return false;
  digits = received.substr(at, 5);
  return IsWorkDirectoryName(L"VQ_" + digits + L".tmp\\");
}

Outcome RunCase(const Kit& kit, const Case& c, size_t number, const Verdict& verdict) {
  Outcome outcome;
  auto fail = [&](const std::string& text) { outcome.failures.push_back(text); };
  const std::wstring root = kit.work + L"\\" + std::to_wstring(number);
  RemoveTree(root);
  if (!MakeDirectory(root)) {
    fail("cannot make " + Utf8(root) + ": " + std::to_string(GetLastError()));
    return outcome;
  }
  std::string why;
  const std::wstring directory = MakePlace(c, root, why);
  if (directory.empty()) {
    // A place this machine cannot offer is a skip with its reason; any other refusal a failure.
    outcome.skipped = c.place == Place::kSecondVolume || c.place == Place::kLength ||
                      c.place == Place::kCharacters;
    if (outcome.skipped) {
      outcome.note = why;
    } else {
      fail(why);
    }
    RemoveTree(root);
    return outcome;
  }
  const bool own_volume_directory = c.place == Place::kSecondVolume;

  const std::wstring name = c.installer == Installer::kBareStub ? L"stub.exe" : L"installer.exe";
  const std::wstring installer = directory + L"\\" + name;
  if (!CopyFileW(Extended(InstallerSource(kit, c.installer)).c_str(), Extended(installer).c_str(),
                 FALSE)) {
    fail("cannot copy the installer to " + Utf8(installer) + ": " + std::to_string(GetLastError()));
    return outcome;
  }
  if (c.place == Place::kReadOnly &&
      !SetFileAttributesW(Extended(directory).c_str(), FILE_ATTRIBUTE_READONLY)) {
    fail("cannot make " + Utf8(directory) + " read-only: " + std::to_string(GetLastError()));
    return outcome;
  }
  std::vector<std::wstring> before;
  for (int i = 0; i < c.earlier_work_directories; ++i) {
    const std::wstring earlier = directory + L"\\VQ_0000" + std::to_wstring(i) + L".tmp";
    MakeDirectory(earlier);
    WriteFileText(earlier + L"\\earlier.txt", "an earlier run's\r\n");
    before.push_back(L"VQ_0000" + std::to_wstring(i) + L".tmp\\");
  }

  std::optional<MappedDrive> drive;
  std::wstring started = installer;  // the installer's path as started
  std::wstring started_directory = directory;
  if (c.place == Place::kDriveRoot) {
    drive.emplace(directory);
    if (drive->Drive().empty()) {
      outcome.skipped = true;
      outcome.note = "cannot map a drive letter: " + drive->Problem();
      drive.reset();
      RemoveTree(root);
      return outcome;
    }
    started_directory = drive->Drive() + L"\\";
    started = started_directory + name;
    // Wine answers TRUE but keeps its drive letters in the prefix's dosdevices\ only.
    if (GetFileAttributesW(started.c_str()) == INVALID_FILE_ATTRIBUTES) {
      outcome.skipped = true;
      outcome.note = "DefineDosDeviceW(" + Utf8(drive->Drive()) + ") succeeded, but " +
                     Utf8(started) + " cannot be found (error " + std::to_string(GetLastError()) +
                     "): this world does not map drive letters that way";
      drive.reset();
      RemoveTree(root);
      return outcome;
    }
  }

  std::optional<KeepFilesValue> keep;
  if (c.keep_files) {
    keep.emplace();
    if (!keep->Set()) fail("cannot set HKCU\\Software\\Zarnith NimbetInstallerCleanup");
  }
  SetEnvironmentVariableW(L"CONFORMANCE_EXIT", c.setup_exit);
  SetEnvironmentVariableW(L"CONFORMANCE_LEAVE", c.leave);
  SetEnvironmentVariableW(L"CONFORMANCE_HOLD_MS",
                          c.hold_ms ? std::to_wstring(c.hold_ms).c_str() : nullptr);

  std::vector<std::wstring> kept_by_command_line;
  for (int round = 1; round <= c.runs; ++round) {
    const std::string label = c.runs > 1 ? "run " + std::to_string(round) + ": " : "";
    const std::wstring report_path = root + L"\\report-" + std::to_wstring(round) + L".txt";
    SetEnvironmentVariableW(L"CONFORMANCE_REPORT", report_path.c_str());
    std::wstring command_line = c.command_line;
    ReplaceAll(command_line, L"{stub}", started);
    ReplaceAll(command_line, L"{name}", name);
    const Run run = Launch(started, command_line, root);
    outcome.note += (round > 1 ? ", " : "") + label + std::to_string(run.ms) + " ms";
    if (!run.exit_code) {
      fail(label + run.problem);
      continue;
    }
    if (*run.exit_code != verdict.exit_code) {
      char text[96];
      std::snprintf(text, sizeof(text), "exit code %lu (0x%08lX), expected %lu (0x%08lX)",
                    static_cast<unsigned long>(*run.exit_code),
                    static_cast<unsigned long>(*run.exit_code),
                    static_cast<unsigned long>(verdict.exit_code),
                    static_cast<unsigned long>(verdict.exit_code));
      fail(label + text);
    }
    if (run.ms < verdict.at_least_ms)
      fail(label + "took " + std::to_string(run.ms) + " ms, expected a pause of at least " +
           std::to_string(verdict.at_least_ms) + " ms");

    std::string report;
    const bool reported = ReadFileText(report_path, report);
    if (reported != verdict.setup_runs) {
      fail(label + (reported ? "setup ran" : "setup did not run (no report)"));
      continue;
    }
    if (!reported) continue;
    const std::wstring received = Wide(ReportValue(report, "command-line"));
    const std::wstring expected = ExpectedCommandLine(started_directory, started, c.forwarded);
    std::wstring digits;
    if (!MatchesWithDigits(received, expected, digits)) {
      fail(label + "setup received [" + Visible(received) + "], expected [" + Visible(expected) +
           "]");
    } else {
      kept_by_command_line.push_back(L"VQ_" + digits + L".tmp\\");
    }
    // Setup gets the installer's current directory, not the work directory.
    const std::wstring current = Wide(ReportValue(report, "current-directory"));
    if (_wcsicmp(current.c_str(), root.c_str()) != 0)
      fail(label + "setup's current directory is [" + Utf8(current) +
           "], expected the "
           "installer's [" +
           Utf8(root) + "]");
    if (ReportValue(report, "archive") != kit.archive_line)
      fail(label + "setup read the archive resource as [" + ReportValue(report, "archive") +
           "], expected [" + kit.archive_line + "]");
    const std::string dacl = ReportValue(report, "dacl");
    const SddlDacl got = SplitDacl(dacl);
    const SddlDacl asked = SplitDacl(kit.access_list);
    const bool same = got.flags.find('P') != std::string::npos && got.entries == asked.entries &&
                      !got.entries.empty();
    if (verdict.access_list == AccessList::kTheStubsList && !same)
      fail(label + "work directory's access list [" + dacl + "], expected the protected [" +
           kit.access_list + "]");
    if (verdict.access_list == AccessList::kNotTheStubsList) {
      if (dacl.empty() || dacl.compare(0, 5, "error") == 0) {
        fail(label + "setup could not read the work directory's access list: [" + dacl + "]");
      } else if (same) {
        fail(label + "the work directory holds the stub's protected list [" + dacl +
             "]: this world keeps access lists, so the departure no longer holds");
      } else {
        outcome.note += ", access list read back [" + dacl + "]";
      }
    }
  }
  SetEnvironmentVariableW(L"CONFORMANCE_REPORT", nullptr);
  keep.reset();
  drive.reset();

  // What is left beside the installer.
  std::vector<std::wstring> left;
  for (const std::wstring& entry : List(directory)) {
    bool earlier = false;
    for (const std::wstring& b : before) earlier = earlier || entry == b;
    if (entry != name && !earlier) left.push_back(entry);
  }
  for (const std::wstring& b : before) {
    const std::wstring earlier = Child(directory, b);
    if (List(earlier) != std::vector<std::wstring>{L"earlier.txt"})
      fail("an earlier work directory was touched: " + Utf8(b) + " holds " + Join(List(earlier)));
  }
  const auto all_work_directories = [&]() {
    for (const std::wstring& entry : left)
      if (!IsWorkDirectoryName(entry)) return false;
    return true;
  };
  switch (verdict.left) {
    case Left::kNothing:
      if (!left.empty()) fail("left beside the installer: " + Join(left));
      break;
    case Left::kWorkDirectoryLeft:
      if (left.size() != 1 || !all_work_directories()) {
        fail("expected one work directory beside the installer, found " + Join(left));
      } else if (List(Child(directory, left[0])) != std::vector<std::wstring>{c.leave}) {
        fail("the work directory holds " + Join(List(Child(directory, left[0]))) +
             ", expected only the file setup left");
      }
      break;
    case Left::kKeptSetup:
      if (left.size() != static_cast<size_t>(c.runs) || !all_work_directories()) {
        fail("expected " + std::to_string(c.runs) + " kept work directories, found " + Join(left));
        break;
      }
      for (const std::wstring& entry : left) {
        if (List(Child(directory, entry)) != std::vector<std::wstring>{L"setup.exe"}) {
          fail(Utf8(entry) + " holds " + Join(List(Child(directory, entry))) +
               ", expected setup.exe alone");
          continue;
        }
        // The kept setup.exe is the packed setup, expanded from its cabinet byte for byte.
        std::string kept, packed;
        if (!ReadFileText(Child(directory, entry) + L"\\setup.exe", kept) ||
            !ReadFileText(kit.directory + L"\\setup-double.exe", packed) || kept != packed)
          fail(Utf8(entry) + "setup.exe differs from setup-double.exe (" +
               std::to_string(kept.size()) + " bytes against " + std::to_string(packed.size()) +
               ")");
      }
      // Each kept directory is one that setup was started from.
      for (const std::wstring& from : kept_by_command_line) {
        bool found = false;
        for (const std::wstring& entry : left)
          found = found || _wcsicmp(entry.c_str(), from.c_str()) == 0;
        if (!found) fail("setup was started from " + Utf8(from) + ", which is not kept");
      }
      break;
  }

  if (outcome.failures.empty() && !kit.keep) {
    RemoveTree(root);
    if (own_volume_directory) RemoveTree(directory);
  } else if (own_volume_directory) {
    outcome.note += ", left in " + Utf8(directory);
  }
  return outcome;
}

// --- Output. ---

FILE* g_copy = nullptr;

void Line(const std::string& text) {
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
  if (g_copy != nullptr) {
    std::fputs((text + "\r\n").c_str(), g_copy);
    std::fflush(g_copy);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Kit kit;
  kit.directory = DirectoryOf(ImagePath());
  kit.work = kit.directory + L"\\runs";
  std::wstring out;
  std::wstring only;
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument == L"--keep") {
      kit.keep = true;
    } else if ((argument == L"--out" || argument == L"--work" || argument == L"--only") &&
               i + 1 < argc) {
      (argument == L"--out" ? out : argument == L"--work" ? kit.work : only) = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: conformance.exe [--out FILE] [--work DIR] [--keep] [--only NAME]\n");
      return 2;
    }
  }
  kit.work = FullPath(kit.work);
  kit.world = DetectWorld();
  // One result file for a standard user's run and one for an elevated run, so both can be sent.
  const bool default_out = out.empty();
  if (default_out) {
    out = kit.directory + L"\\conformance-result-" +
          (kit.world.elevated ? L"elevated" : L"standard") + L".txt";
  }
  g_copy = _wfopen(out.c_str(), L"wb");
  if (g_copy == nullptr) {
    std::fprintf(stderr, "conformance: %s: cannot be written%s\n", Utf8(out).c_str(),
                 default_out ? "; the result goes to the console only" : "");
    if (!default_out) return 2;
  }
  if (!MakeDirectory(kit.work)) {
    std::fprintf(stderr, "conformance: %s: cannot be made (error %lu)\n", Utf8(kit.work).c_str(),
                 GetLastError());
    return 2;
  }
  std::string archive;
  if (!ReadFileText(kit.directory + L"\\installers\\archive.7z", archive)) {
    std::fprintf(stderr, "conformance: %s\\installers\\archive.7z: cannot be read\n",
                 Utf8(kit.directory).c_str());
    return 2;
  }
  char archive_line[64];
  std::snprintf(archive_line, sizeof(archive_line), "%lu %016llx",
                static_cast<unsigned long>(archive.size()),
                static_cast<unsigned long long>(Fnv1a(archive)));
  kit.archive_line = archive_line;
  kit.access_list = ExpectedAccessList(kit.world);
  wchar_t volume[MAX_PATH] = {};
  wchar_t file_system[MAX_PATH] = {};
  DWORD volume_flags = 0;
  if (GetVolumePathNameW(kit.work.c_str(), volume, MAX_PATH) &&
      GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &volume_flags, file_system,
                            MAX_PATH)) {
    kit.file_system = Utf8(file_system);
    kit.persistent_acls = (volume_flags & FILE_PERSISTENT_ACLS) != 0;
  } else {
    kit.file_system = "unknown (error " + std::to_string(GetLastError()) + ")";
  }

  std::vector<const Case*> cases;
  for (const Case& c : kCases)
    if (only.empty() || Wide(c.name).find(only) != std::wstring::npos) cases.push_back(&c);

  Line("TAP version 13");
  Line("1.." + std::to_string(cases.size()));
  Line("# world: " + kit.world.description + ", " +
       (kit.world.elevated ? "elevated" : "not elevated") + ", kit in " + Utf8(kit.directory) +
       ", cases in " + Utf8(kit.work) + " (" + kit.file_system +
       (kit.persistent_acls ? ", access lists kept)" : ", no access lists)"));
  size_t passed = 0, failed = 0, skipped = 0, departures = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = *cases[i];
    const std::string number = std::to_string(i + 1);
    const bool departs = kit.world.wine && c.wine.has_value();
    Verdict verdict = c.windows;
    if (departs) {
      verdict = *c.wine;
    } else if (!kit.world.wine && !kit.world.elevated && c.windows_unelevated) {
      verdict = *c.windows_unelevated;
    }
    if (!kit.persistent_acls && c.place == Place::kDenyCreate) {
      ++skipped;
      Line("ok " + number + " - " + c.name + " # SKIP the work volume (" + kit.file_system +
           ") keeps no access lists");
      continue;
    }
    if (!kit.persistent_acls && c.place == Place::kReadOnly) {
      ++skipped;
      Line("ok " + number + " - " + c.name + " # SKIP no documented verdict for a read-only " +
           "directory on " + kit.file_system);
      continue;
    }
    if (!kit.persistent_acls && verdict.access_list == AccessList::kTheStubsList)
      verdict.access_list = AccessList::kNotTheStubsList;
    const Outcome outcome = RunCase(kit, c, i + 1, verdict);
    if (outcome.skipped) {
      ++skipped;
      Line("ok " + number + " - " + c.name + " # SKIP " + outcome.note);
      continue;
    }
    std::string world_note = "world: " + std::string(kit.world.wine ? "wine" : "windows");
    if (departs) {
      world_note += ", departure: " + std::string(c.departure);
      ++departures;
    }
    if (outcome.failures.empty()) {
      ++passed;
      Line("ok " + number + " - " + c.name + " # " + world_note + "; " + outcome.note);
    } else {
      ++failed;
      Line("not ok " + number + " - " + c.name + " # " + world_note + "; " + outcome.note);
      for (const std::string& failure : outcome.failures) Line("#   " + failure);
    }
  }
  Line("# conformance: " + std::to_string(cases.size()) + " cases, " + std::to_string(passed) +
       " passed, " + std::to_string(failed) + " failed, " + std::to_string(skipped) + " skipped, " +
       std::to_string(departures) + " with a known departure of " +
       (kit.world.wine ? "wine" : "this world") + " (" + kit.world.description + ")");
  if (g_copy != nullptr) std::fclose(g_copy);
  if (failed == 0 && !kit.keep) RemoveDirectoryW(Extended(kit.work).c_str());
  return failed == 0 ? 0 : 1;
}
