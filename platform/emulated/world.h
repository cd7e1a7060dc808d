// The emulated machine behind platform/emulated/win32.h: what a host test sets up, injects and
// inspects. One world per process; Reset() makes it new.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/emulated/win32.h"

namespace emu {

// Every emulated operation that can fail, in the order of the door's declarations.
enum class Op : uint8_t {
  Any,
  GetModuleHandleW,
  GetModuleFileNameW,
  SetProcessWorkingSetSize,
  CommandLineToArgvW,
  RegOpenKeyExW,
  RegQueryValueExW,
  RegCloseKey,
  LocalAlloc,
  LocalFree,
  HeapAlloc,
  HeapFree,
  OpenProcessToken,
  GetTokenInformation,
  ConvertSidToStringSidW,
  ConvertStringSecurityDescriptorToSecurityDescriptorW,
  SystemFunction036,
  GetVolumePathNameW,
  GetVolumeInformationW,
  CreateDirectoryW,
  CreateFileW,
  CloseHandle,
  GetFileInformationByHandleEx,
  SetFileInformationByHandle,
  Count,
};
const char* OpName(Op op);

// The failure of the nth call (1-based, counted since Reset) of one operation, or of every
// operation for Op::Any; persistent faults fail that call and every later one. error 0 takes the operation's own
// most common error.
struct Fault {
  Op op = Op::Any;
  uint64_t nth = 0;
  bool persistent = false;
  DWORD error = 0;
};

// What a successful call leaves in the last-error code, so that a late GetLastError shows.
constexpr DWORD kSuccessMarker = 0x5EC0FFEE;

struct Call {
  Op op;
  std::u16string text;  // the path or name the call was given, where it has one
  DWORD detail = 0;     // access, flags or class, depending on the operation
  bool had_security = false;
  bool failed = false;
};

// Starts over: empty registry, drive C: with access lists, a token whose owner differs from
// its user, clock at 0, no faults, no records.
void Reset();

// --- process --------------------------------------------------------------------------------
void SetImage(HMODULE image, const std::u16string& path);
HMODULE Image();
void SetCommandLine(const std::u16string& command_line);

// Runs entry as a process of its own (a forked child) and returns the code that it passed to
// ExitProcess; -1 when it ended some other way. The child's world changes are not seen here.
int64_t RunAsProcess(void (*entry)());

// --- faults and records ---------------------------------------------------------------------
void InjectFault(const Fault& fault);
void ClearFaults();
uint64_t CallCount();              // failable calls made so far
uint64_t CallCount(Op op);
uint64_t InjectedFailures();
const std::vector<Call>& Calls();  // every failable call, in order

// --- accounting -----------------------------------------------------------------------------
size_t OpenHandles();  // files, tokens and registry keys; not pseudo-handles or test-held ones
size_t LocalBlocks();
size_t HeapBlocks();
uint64_t WorkingSetTrims();

// --- clock and random generator -------------------------------------------------------------
uint64_t NowMilliseconds();
uint64_t SleepCalls();
void SeedRandom(uint64_t seed);
void ScriptRandom(const std::vector<uint8_t>& bytes);  // served first, then the seeded stream

// --- registry -------------------------------------------------------------------------------
void SetRegistryValue(HKEY root, const std::u16string& key, const std::u16string& name, DWORD type,
                      const std::vector<uint8_t>& data);
void CreateRegistryKey(HKEY root, const std::u16string& key);
std::vector<uint8_t> Utf16Bytes(const std::u16string& text, bool with_terminator);

// --- token ----------------------------------------------------------------------------------
// SIDs as text, "S-1-5-21-...". The owner's string form may be replaced by any text, so that
// tests reach lengths no real SID has.
void SetToken(const std::u16string& user_sid, const std::u16string& owner_sid);
void SetOwnerSidText(const std::u16string& text);

// --- volumes and files ----------------------------------------------------------------------
void AddVolume(char16_t letter, bool persistent_acls);
bool MakeDirectory(const std::u16string& path);  // creates missing parents
bool MakeFile(const std::u16string& path, const std::string& content = "",
              DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
bool MakeLink(const std::u16string& path, const std::u16string& target, bool directory);
bool Exists(const std::u16string& path);  // never follows a link
std::string FileContent(const std::u16string& path);
DWORD Attributes(const std::u16string& path);
bool IsDeletePending(const std::u16string& path);
// The access list a directory was created with, as SDDL text; empty for a default one.
std::u16string SecurityText(const std::u16string& path);
// Every path on every volume, directories with a trailing backslash, sorted.
std::vector<std::u16string> ListTree();
std::vector<std::u16string> ListDirectory(const std::u16string& path);

// Refusals that no attribute shows: creating anything inside, opening for delete.
void DenyCreateIn(const std::u16string& directory);
void DenyDelete(const std::u16string& path);

// Another process's handle on a path, released by the test or when the clock reaches release_at.
int HoldOpen(const std::u16string& path, DWORD access, DWORD share);
void Release(int holder);
void ReleaseAt(int holder, uint64_t milliseconds);

// A file system that accepts a delete disposition, or the clearing of the read-only bit, and
// keeps the file all the same.
void KeepFilesAcceptedForDeletion(bool keep);
void IgnoreAttributeWrites(bool ignore);

// UTF-8 helpers for test messages.
std::string Narrow(const std::u16string& text);
std::u16string Widen(const std::string& text);

}  // namespace emu
