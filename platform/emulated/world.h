// The emulated machine behind platform/emulated/win32.h: what a host test sets up, injects and
// inspects. One world per process; Reset() makes it new.
#pragma once

#include <functional>

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/emulated/win32.h"

namespace emu {

// Every emulated operation that can fail, as platform/emulated/operations.inc lists them.
enum class Op : uint8_t {
  Any,
#define EMU_OPERATION(name, default_error, documented_errors) name,
#include "platform/emulated/operations.inc"
  Count,
};
const char* OpName(Op op);
// The codes that op is documented to report, which a fault sweep injects in turn; they include
// the one that an injected fault with error 0 reports. Empty for Op::Any.
const std::vector<DWORD>& DocumentedErrors(Op op);

// The failure of the nth call (1-based, counted since Reset) of one operation, or of every
// operation for Op::Any; persistent faults fail that call and every later one. error 0 takes the
// operation's own most common error.
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
  // The path or name the call was given, where it has one. A call on a handle names what the
  // handle serves: a file by the path it was opened at, a process or its thread by the program's
  // path, anything else (a token, a key, an unknown handle) by the empty text. A call on a
  // resource names the resource as the module stores it; a numbered one by the empty text.
  std::u16string text;
  DWORD detail = 0;  // access, flags or class, depending on the operation
  bool had_security = false;
  // Whether the call failed at all: by an injected fault, or because the emulated system itself
  // refused (a directory that is not empty, an unknown handle, an enumeration that its callback
  // ended, ...).
  bool failed = false;
  // Whether an injected fault failed it; always with failed. A natural refusal leaves it false,
  // so that a test can tell what it caused from what the system did on its own.
  bool injected = false;
  DWORD error = 0;  // what an injected fault made the call report
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

// --- stopping and ending the process --------------------------------------------------------
// The process is stopped, as a kill would stop it, just before its nth failable call (counted
// since Reset or the last EndProcess): that call throws ProcessStopped and has no effect. Only the
// destructors of the frames it unwinds run after it, and they only close and free, as the system
// would at the kill.
struct ProcessStopped {};
void StopProcessAt(uint64_t nth);

// What the system does when the process ends: every handle it still holds is closed (a pending
// deletion takes effect at the last close) and its memory is released. Then the next process
// begins on the same machine: disk, registry, resources, programs and test-held handles stay;
// faults, the stop, call counts and records and the random script start over; the clock runs on.
void EndProcess();

// --- faults and records ---------------------------------------------------------------------
void InjectFault(const Fault& fault);
void ClearFaults();
uint64_t CallCount();  // failable calls made so far
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
// Whether the token is elevated, and whether its user is an administrator (one whose token, when
// not elevated, is the filtered half of a split token). Both false after Reset: a standard user.
void SetTokenElevation(bool elevated, bool user_is_administrator);

// --- volumes and files ----------------------------------------------------------------------
// The paths given here may be of any length, and in the extended form "\\?\X:\...", so that a
// test reaches what the emulated calls limit: CreateDirectoryW to 247 units (MAX_PATH - 12 with the
// terminator, room for an 8.3 name) and CreateFileW to 259 unless the path is in the extended form,
// which only those two take (up to 32766 units; "\\?\UNC\..." gives ERROR_BAD_NETPATH, as no
// network shares are modelled). In the extended form "/" is no separator and "." and ".." are not
// folded, so that a name the file system cannot hold gives ERROR_INVALID_NAME.
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

// --- module resources --------------------------------------------------------------------
// Listed as a resource directory lists them: named entries in ascending order, then numbered
// ones. Names are stored in capitals, as resource compilers store them, and FindResourceW
// upper-cases its query, as the platform does.
void AddResource(const std::u16string& type, const std::u16string& name, const std::string& bytes);
void AddNumberedResource(const std::u16string& type, WORD id, const std::string& bytes);

// --- disk space ---------------------------------------------------------------------------------
// Bytes that writes may still add on every volume. A write that does not fit fails with
// ERROR_DISK_FULL; with short_writes it first succeeds with the bytes that fit (none, when the
// disk is already full), as some file systems report a full disk.
void SetDiskSpace(uint64_t bytes, bool short_writes = false);
uint64_t Flushes();

// --- environment, libraries, time --------------------------------------------------------------
void SetEnvironmentVariable(const std::u16string& name, const std::u16string& value);
void UnsetEnvironmentVariable(const std::u16string& name);
// Local time = UTC + bias; not 0 by default, so that a skipped conversion shows.
void SetTimeZoneBias(int minutes);

// --- the cabinet library -----------------------------------------------------------------------
// Loadable at these paths (default: C:\Windows\system32\cabinet.dll); a test can take an entry
// point away. The library's copy follows a script instead of decoding a cabinet.
void PlaceCabinetLibrary(const std::vector<std::u16string>& paths);
void RemoveCabinetEntryPoint(const std::string& name);
uint64_t LibraryLoads();

struct CabinetStep {
  enum class Kind { kNotify, kWrite, kReadFailure } kind = Kind::kNotify;
  FDINOTIFICATIONTYPE type = fdintCABINET_INFO;
  USHORT date = 0;
  USHORT time = 0;
  USHORT attribs = 0;
  std::string bytes;  // for kWrite: written to the file that the last copy notification opened
};
struct CabinetScript {
  std::vector<CabinetStep> steps;
  // Library behaviour seen elsewhere: the abort answer to a close notification, and a failed
  // write, are ignored and the copy goes on.
  bool ignore_abort = false;
  bool ignore_write_failure = false;
  // A file announced while another is open: the library closes the open one first, or (by
  // default) keeps holding it.
  bool close_before_next = false;
  // The library opens the cabinet a second time, by the same name, and reads it whole there too
  // before it decodes, as a library may that checks a cabinet set.
  bool reopen_cabinet = false;
  // Whatever ends the copy early (a read failure, a failed write, an abort answer, a cabinet that
  // ends inside a file) closes each target file still open through the close callback, with no
  // close notification, as the platform's library does.
};
void SetCabinetScript(const CabinetScript& script);
// One file: cabinet info, copy, the bytes in one write, close with these fields.
CabinetScript OneFileCabinet(const std::string& bytes, USHORT date = 0x5D62, USHORT time = 0xBC13,
                             USHORT attribs = 0);

struct CabinetLog {
  uint64_t creates = 0;
  uint64_t copies = 0;
  uint64_t destroys = 0;
  std::string cabinet_name;  // what FDICopy received, UTF-8
  std::string cabinet_path;
  std::string opened;            // the path the library opened the cabinet at, UTF-8
  std::string cabinet_bytes;     // what it read through the read callback
  std::vector<INT_PTR> answers;  // the notification callback's answers, in order
  size_t allocations_outstanding = 0;
  // Copies refused, before any open, because the cabinet path or the cabinet name was 256 bytes
  // or more: the library holds each in a buffer of 256 bytes with its terminator.
  uint64_t refused_names = 0;
  std::string reopened_bytes;  // what the second open read, with CabinetScript::reopen_cabinet
};
const CabinetLog& Cabinet();

// --- processes ---------------------------------------------------------------------------------
// A program at a path of the file system (the file must exist too); it runs when started, sees
// the command line it was given and the emulated machine, and returns its exit code.
using Program = std::function<DWORD(const std::u16string& command_line)>;

// What the image's manifest asks for in requestedExecutionLevel, if it names one.
enum class ExecutionLevel { kNotGiven, kAsInvoker, kHighestAvailable, kRequireAdministrator };
struct ProgramImage {
  ExecutionLevel level = ExecutionLevel::kNotGiven;
  bool is_32_bit = false;
};
// CreateProcessW of a program that needs elevation the token does not have fails with
// ERROR_ELEVATION_REQUIRED and starts nothing, as Windows does instead of prompting. It needs
// elevation when the token is not elevated and the image asks for requireAdministrator, or for
// highestAvailable while the user is an administrator, or, with installer detection on, when it
// is a 32-bit image that names no level and its file name holds "setup", "install" or "update"
// in any case (Windows' installer detection; its other clues, the version resource's texts, are
// not modelled).
void RegisterProgram(const std::u16string& path, Program program, ProgramImage image = {});
// The policy "Detect application installations and prompt for elevation": on after Reset, as
// for home use; enterprise installations turn it off.
void SetInstallerDetection(bool on);

// --- a scanner ---------------------------------------------------------------------------------
// An antivirus or indexer that holds a freshly written executable, and the image of a process that
// has just ended, for a moment. Off after Reset (both counts 0). Its rules, exactly:
// - A file is fresh once an emulated call created it (CreateFileW), truncated it (CREATE_ALWAYS,
//   TRUNCATE_EXISTING) or wrote to it (WriteFile); each such call starts its count anew. Files made
//   by MakeFile are not fresh. CreateProcessW of a fresh file fails with start_error and starts
//   nothing, for as many starts as held_starts, counted from the file's last write; the next ones
//   go on as usual. Only starts that got past fault injection and found the file count.
// - Once a process has run from an image (a CreateProcessW that succeeded: the emulated program
//   ran to its end), an open of that image whose access includes DELETE (or GENERIC_ALL) fails
//   with ERROR_ACCESS_DENIED, for as many such opens as held_deletes, counted from that process.
// - Reads, and opens without DELETE, are never held. Nothing here moves the clock: a held file is
//   released by attempts, not by time, so a Sleep between attempts changes nothing. The counts
//   belong to the files and survive EndProcess, as the scanner is another process.
struct Scanner {
  uint32_t held_starts = 0;
  DWORD start_error = ERROR_SHARING_VIOLATION;  // or ERROR_ACCESS_DENIED
  uint32_t held_deletes = 0;
};
void SetScanner(const Scanner& scanner);
// Attempts refused since Reset.
struct ScannerLog {
  uint64_t refused_starts = 0;
  uint64_t refused_deletes = 0;
};
const ScannerLog& ScannerRefusals();

// Every argument of every CreateProcessW call that got past fault injection.
struct ProcessStart {
  std::u16string application;
  std::u16string command_line;
  bool process_attributes = false;
  bool thread_attributes = false;
  BOOL inherit_handles = FALSE;
  DWORD creation_flags = 0;
  bool environment = false;
  bool current_directory = false;
  DWORD startup_size = 0;
  bool startup_rest_zero = false;
  bool started = false;
};
const std::vector<ProcessStart>& ProcessStarts();

// --- hostile environments ----------------------------------------------------------------------
// What another process, a damaged image or a planted name can do to the stub, for the tests
// that check the stub is not led astray.

// Runs action just before the nth failable call (1-based, counted as CallCount counts) is
// carried out, once: another process acting between two of the stub's calls.
void RunBeforeCall(uint64_t nth, std::function<void()> action);

// A directory (parents made as by MakeDirectory) whose access list denies everyone everything:
// it cannot be opened, and nothing can be created inside it.
bool MakeDirectoryDenyingAll(const std::u16string& path);

// A rename by another process, as MoveFileExW without replacing: refused while the name's
// deletion is pending or while a handle on it was opened without FILE_SHARE_DELETE. Open
// handles follow the object to its new name.
bool Rename(const std::u16string& from, const std::u16string& to);

// A resource of size bytes (up to 4 GiB - 1) whose bytes are reserved, not committed: pages
// that nothing touches cost no memory and read as zero.
void AddLazyResource(const std::u16string& type, const std::u16string& name, uint64_t size);
// The address that LockResource gives for a named resource of a type; null when there is none.
const void* ResourceBytes(const std::u16string& type, const std::u16string& name);

// A resource whose name, as the enumeration hands it out, ends with its terminator right before
// an inaccessible page: any read past the terminator faults, in every build.
void AddResourceAgainstGuardPage(const std::u16string& type, const std::u16string& name,
                                 const std::string& bytes);

// With keep false, files take no bytes from writes: they grow to the size written and every
// write's source is recorded instead, so that gigabytes can pass without memory.
void KeepWrittenBytes(bool keep);
struct WrittenSpan {
  const void* source;
  DWORD bytes;
  uint64_t offset;  // where in the file the write began
};
const std::vector<WrittenSpan>& WrittenSpans();
uint64_t FileSize(const std::u16string& path);  // UINT64_MAX when there is no such file

// UTF-8 helpers for test messages.
std::string Narrow(const std::u16string& text);
std::u16string Widen(const std::string& text);

}  // namespace emu
