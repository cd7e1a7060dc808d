// The emulated process: module, command line, memory, clock, random generator, faults, exit.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/emulated/world_state.h"

namespace emu {
namespace detail {

World& TheWorld() {
  static World* world = new World();
  return *world;
}

std::u16string Fold(const std::u16string& text) {
  std::u16string folded = text;
  for (char16_t& unit : folded) {
    if ((unit >= u'a' && unit <= u'z') || (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)) {
      unit = static_cast<char16_t>(unit - 0x20);
    }
  }
  return folded;
}

std::u16string Text(LPCWSTR text) {
  return text == nullptr ? std::u16string() : std::u16string(text);
}

namespace {

DWORD DefaultError(Op op) {
  static const DWORD kDefaults[] = {
      0,  // Op::Any
#define EMU_OPERATION(name, default_error, documented_errors) default_error,
#include "platform/emulated/operations.inc"
  };
  static_assert(sizeof(kDefaults) / sizeof(kDefaults[0]) == static_cast<size_t>(Op::Count));
  return kDefaults[static_cast<int>(op)];
}

}  // namespace

bool Fails(Op op, DWORD& error, const std::u16string& text, DWORD detail) {
  World& w = TheWorld();
  ++w.calls;
  if (w.hostile.before_call_at == w.calls && w.hostile.before_call) {
    const std::function<void()> action = std::move(w.hostile.before_call);
    w.hostile.before_call = nullptr;
    action();
  }
  if (w.stop_at != 0 && w.calls == w.stop_at) {
    w.stop_at = 0;
    throw ProcessStopped{};
  }
  const uint64_t of_op = ++w.calls_of[static_cast<int>(op)];
  Call call;
  call.op = op;
  call.text = text;
  call.detail = detail;
  bool fail = false;
  if (w.fault_armed && (w.fault.op == Op::Any || w.fault.op == op)) {
    const uint64_t count = w.fault.op == Op::Any ? w.calls : of_op;
    fail = w.fault.persistent ? count >= w.fault.nth : count == w.fault.nth;
  }
  if (fail) {
    ++w.injected;
    error = w.fault.error != 0 ? w.fault.error : DefaultError(op);
    w.last_error = error;
    call.failed = true;
    call.injected = true;
    call.error = error;
  }
  w.call_log.push_back(call);
  return fail;
}

void MarkFailed() {
  World& w = TheWorld();
  if (!w.call_log.empty()) w.call_log.back().failed = true;
}

void* AllocateLocal(size_t bytes, bool zero) {
  // Never zero-sized for malloc, and filled so that a read of unset memory shows.
  void* block = malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) abort();
  memset(block, zero ? 0 : 0xA5, bytes == 0 ? 1 : bytes);
  TheWorld().local_blocks[block] = bytes;
  return block;
}

HANDLE NewHandle(HandleObject object) {
  World& w = TheWorld();
  const uintptr_t value = w.next_handle;
  w.next_handle += 4;
  w.handles[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

HandleObject* FindHandle(HANDLE handle, HandleKind kind) {
  World& w = TheWorld();
  auto found = w.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (found == w.handles.end() || found->second.kind != kind) return nullptr;
  return &found->second;
}

std::u16string HandleText(HANDLE handle) {
  World& w = TheWorld();
  auto found = w.handles.find(reinterpret_cast<uintptr_t>(handle));
  return found == w.handles.end() ? std::u16string() : found->second.path;
}

}  // namespace detail

using namespace detail;

const char* OpName(Op op) {
  static const char* const kNames[] = {
      "Any",
#define EMU_OPERATION(name, default_error, documented_errors) #name,
#include "platform/emulated/operations.inc"
  };
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(Op::Count));
  return kNames[static_cast<int>(op)];
}

const std::vector<DWORD>& DocumentedErrors(Op op) {
#define EMU_ERRORS(...) \
  { __VA_ARGS__ }
  static const std::vector<DWORD> kErrors[] = {
      {},  // Op::Any
#define EMU_OPERATION(name, default_error, documented_errors) EMU_ERRORS documented_errors,
#include "platform/emulated/operations.inc"
  };
#undef EMU_ERRORS
  static_assert(sizeof(kErrors) / sizeof(kErrors[0]) == static_cast<size_t>(Op::Count));
  return kErrors[static_cast<int>(op)];
}

void Reset() {
  World& w = TheWorld();
  for (auto& block : w.local_blocks) free(block.first);
  for (auto& block : w.heap_blocks) free(block.first);
  w = World();
  w.image = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x140000000));
  w.image_path = u"C:\\Installer\\stub.exe";
  w.command_line = u"\"C:\\Installer\\stub.exe\"";
  w.random_state = 0x2545F4914F6CDD1DULL;
  ResetFileSystem();
  ResetEnvironment();
  SetToken(u"S-1-5-21-1004336348-1177238915-682003330-1000",
           u"S-1-5-21-1004336348-1177238915-682003330-513");
}

void SetImage(HMODULE image, const std::u16string& path) {
  TheWorld().image = image;
  TheWorld().image_path = path;
}
HMODULE Image() { return TheWorld().image; }
void SetCommandLine(const std::u16string& command_line) { TheWorld().command_line = command_line; }

int64_t RunAsProcess(void (*entry)()) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    close(fds[0]);
    TheWorld().exit_pipe = fds[1];
    entry();
    _exit(120);  // entry returned instead of ending the process
  }
  close(fds[1]);
  uint32_t code = 0;
  const ssize_t got = read(fds[0], &code, sizeof(code));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (got != sizeof(code) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return code;
}

void StopProcessAt(uint64_t nth) { TheWorld().stop_at = nth; }

void EndProcess() {
  World& w = TheWorld();
  std::vector<uintptr_t> open;
  for (auto& handle : w.handles) {
    if (!handle.second.held_by_test) open.push_back(handle.first);
  }
  for (uintptr_t value : open) DropHandle(value);
  for (auto& block : w.local_blocks) free(block.first);
  for (auto& block : w.heap_blocks) free(block.first);
  w.local_blocks.clear();
  w.heap_blocks.clear();
  w.fault_armed = false;
  w.stop_at = 0;
  w.calls = 0;
  for (uint64_t& count : w.calls_of) count = 0;
  w.injected = 0;
  w.call_log.clear();
  w.process_starts.clear();
  w.last_error = 0;
  w.trims = 0;
  w.sleeps = 0;
  w.scripted_random.clear();
}

void InjectFault(const Fault& fault) {
  TheWorld().fault = fault;
  TheWorld().fault_armed = fault.nth != 0;
}
void ClearFaults() { TheWorld().fault_armed = false; }
uint64_t CallCount() { return TheWorld().calls; }
uint64_t CallCount(Op op) { return TheWorld().calls_of[static_cast<int>(op)]; }
uint64_t InjectedFailures() { return TheWorld().injected; }
const std::vector<Call>& Calls() { return TheWorld().call_log; }

size_t OpenHandles() {
  size_t open = 0;
  for (auto& handle : TheWorld().handles) open += handle.second.held_by_test ? 0 : 1;
  return open;
}
size_t LocalBlocks() { return TheWorld().local_blocks.size(); }
size_t HeapBlocks() { return TheWorld().heap_blocks.size(); }
uint64_t WorkingSetTrims() { return TheWorld().trims; }

uint64_t NowMilliseconds() { return TheWorld().now; }
uint64_t SleepCalls() { return TheWorld().sleeps; }
void SeedRandom(uint64_t seed) { TheWorld().random_state = seed ? seed : 1; }
void ScriptRandom(const std::vector<uint8_t>& bytes) { TheWorld().scripted_random = bytes; }

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Widen(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    uint32_t c = lead;
    size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (extra) c = lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra && i + k < text.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace emu

using namespace emu;
using namespace emu::detail;

// --- the door's operations ----------------------------------------------------------------------

HMODULE WINAPI GetModuleHandleW(LPCWSTR module_name) {
  DWORD error = 0;
  if (Fails(Op::GetModuleHandleW, error, Text(module_name))) return nullptr;
  if (module_name != nullptr) {
    Failed(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  Succeeded();
  return TheWorld().image;
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  DWORD error = 0;
  if (Fails(Op::GetModuleFileNameW, error, {}, size)) return 0;
  World& w = TheWorld();
  if (module != nullptr && module != w.image) {
    Failed(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (size == 0) {
    Failed(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const std::u16string& path = w.image_path;
  if (path.size() < size) {
    memcpy(file_name, path.data(), path.size() * sizeof(WCHAR));
    file_name[path.size()] = 0;
    Succeeded();
    return static_cast<DWORD>(path.size());
  }
  // Cut short: the first size - 1 units and a terminator, the size as the result.
  memcpy(file_name, path.data(), (size - 1) * sizeof(WCHAR));
  file_name[size - 1] = 0;
  w.last_error = ERROR_INSUFFICIENT_BUFFER;
  return size;
}

LPWSTR WINAPI GetCommandLineW() { return TheWorld().command_line.data(); }

HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL WINAPI SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum) {
  DWORD error = 0;
  if (Fails(Op::SetProcessWorkingSetSize, error)) return FALSE;
  if (process != GetCurrentProcess() ||
      (minimum == static_cast<SIZE_T>(-1)) != (maximum == static_cast<SIZE_T>(-1))) {
    Failed(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ++TheWorld().trims;
  Succeeded();
  return TRUE;
}

void WINAPI ExitProcess(UINT exit_code) {
  World& w = TheWorld();
  if (w.exit_pipe < 0) {
    fprintf(stderr, "emulation: ExitProcess(%u) outside emu::RunAsProcess\n", exit_code);
    abort();
  }
  const uint32_t code = exit_code;
  if (write(w.exit_pipe, &code, sizeof(code)) != sizeof(code)) _exit(121);
  _exit(0);
}

DWORD WINAPI GetLastError() { return TheWorld().last_error; }
void WINAPI SetLastError(DWORD error) { TheWorld().last_error = error; }

void WINAPI Sleep(DWORD milliseconds) {
  ++TheWorld().sleeps;
  AdvanceClock(milliseconds);
}

LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR command_line, int* argument_count) {
  DWORD error = 0;
  if (Fails(Op::CommandLineToArgvW, error, Text(command_line))) return nullptr;
  if (command_line == nullptr || argument_count == nullptr) {
    Failed(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<std::u16string> arguments;
  const std::u16string s = command_line;
  if (s.empty()) {
    arguments.push_back(TheWorld().image_path);
  } else {
    size_t p = 0;
    // The program's own path: up to the closing quote, or to the first blank; no escapes.
    std::u16string first;
    if (s[0] == u'"') {
      for (p = 1; p < s.size() && s[p] != u'"'; ++p) first += s[p];
      if (p < s.size()) ++p;
    } else {
      for (; p < s.size() && s[p] != u' ' && s[p] != u'\t'; ++p) first += s[p];
    }
    arguments.push_back(first);
    for (;;) {
      while (p < s.size() && (s[p] == u' ' || s[p] == u'\t')) ++p;
      if (p >= s.size()) break;
      std::u16string argument;
      bool quoted = false;
      while (p < s.size()) {
        const char16_t c = s[p];
        if (!quoted && (c == u' ' || c == u'\t')) break;
        if (c == u'\\') {
          size_t run = 0;
          while (p < s.size() && s[p] == u'\\') ++run, ++p;
          if (p < s.size() && s[p] == u'"') {
            argument.append(run / 2, u'\\');
            if (run % 2 == 1) {
              argument += u'"';
              ++p;
            }
          } else {
            argument.append(run, u'\\');
          }
          continue;
        }
        if (c == u'"') {
          if (quoted && p + 1 < s.size() && s[p + 1] == u'"') {
            // A doubled quote inside quotes is one literal quote and ends the quoted part.
            argument += u'"';
            quoted = false;
            p += 2;
          } else {
            quoted = !quoted;
            ++p;
          }
          continue;
        }
        argument += c;
        ++p;
      }
      arguments.push_back(argument);
    }
  }
  // One block: the pointer array, then the texts, as LocalFree releases it whole.
  size_t bytes = (arguments.size() + 1) * sizeof(LPWSTR);
  for (const auto& argument : arguments) bytes += (argument.size() + 1) * sizeof(WCHAR);
  auto* block = static_cast<uint8_t*>(AllocateLocal(bytes, false));
  auto** pointers = reinterpret_cast<LPWSTR*>(block);
  auto* texts = reinterpret_cast<WCHAR*>(block + (arguments.size() + 1) * sizeof(LPWSTR));
  for (size_t i = 0; i < arguments.size(); ++i) {
    pointers[i] = texts;
    memcpy(texts, arguments[i].c_str(), (arguments[i].size() + 1) * sizeof(WCHAR));
    texts += arguments[i].size() + 1;
  }
  pointers[arguments.size()] = nullptr;
  *argument_count = static_cast<int>(arguments.size());
  Succeeded();
  return pointers;
}

int WINAPI lstrcmpiW(LPCWSTR left, LPCWSTR right) {
  if (left == nullptr || right == nullptr) return left == right ? 0 : (left == nullptr ? -1 : 1);
  const std::u16string a = Fold(left);
  const std::u16string b = Fold(right);
  return a < b ? -1 : (a > b ? 1 : 0);
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  DWORD error = 0;
  if (Fails(Op::LocalAlloc, error, {}, static_cast<DWORD>(bytes))) return nullptr;
  void* block = AllocateLocal(bytes, (flags & LMEM_ZEROINIT) != 0);
  Succeeded();
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  DWORD error = 0;
  World& w = TheWorld();
  if (Fails(Op::LocalFree, error)) {
    // Like CloseHandle, a reported failure still releases the block.
    auto found = w.local_blocks.find(memory);
    if (found != w.local_blocks.end()) {
      free(found->first);
      w.local_blocks.erase(found);
    }
    return memory;
  }
  if (memory == nullptr) {
    Succeeded();
    return nullptr;
  }
  auto found = w.local_blocks.find(memory);
  if (found == w.local_blocks.end()) {
    fprintf(stderr, "emulation: LocalFree of %p, which LocalAlloc did not give\n", memory);
    Failed(ERROR_INVALID_HANDLE);
    return memory;
  }
  free(found->first);
  w.local_blocks.erase(found);
  Succeeded();
  return nullptr;
}

HANDLE WINAPI GetProcessHeap() {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFE0000));
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  DWORD error = 0;
  if (Fails(Op::HeapAlloc, error, {}, static_cast<DWORD>(bytes))) return nullptr;
  if (heap != GetProcessHeap()) {
    Failed(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* block = malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) abort();
  memset(block, (flags & HEAP_ZERO_MEMORY) ? 0 : 0xA5, bytes == 0 ? 1 : bytes);
  TheWorld().heap_blocks[block] = bytes;
  Succeeded();
  return block;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory) {
  (void)flags;
  DWORD error = 0;
  World& w = TheWorld();
  const bool injected = Fails(Op::HeapFree, error);
  auto found = w.heap_blocks.find(memory);
  const bool known = found != w.heap_blocks.end();
  if (known) {
    free(found->first);
    w.heap_blocks.erase(found);
  }
  if (injected) return FALSE;
  if (heap != GetProcessHeap() || (memory != nullptr && !known)) {
    Failed(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Succeeded();
  return TRUE;
}

BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length) {
  DWORD error = 0;
  if (Fails(Op::SystemFunction036, error, {}, length)) return FALSE;
  World& w = TheWorld();
  auto* out = static_cast<uint8_t*>(buffer);
  for (ULONG i = 0; i < length; ++i) {
    if (!w.scripted_random.empty()) {
      out[i] = w.scripted_random.front();
      w.scripted_random.erase(w.scripted_random.begin());
      continue;
    }
    // xorshift64*: repeatable for a seed, good enough to spread names.
    w.random_state ^= w.random_state >> 12;
    w.random_state ^= w.random_state << 25;
    w.random_state ^= w.random_state >> 27;
    out[i] = static_cast<uint8_t>((w.random_state * 0x2545F4914F6CDD1DULL) >> 56);
  }
  Succeeded();
  return TRUE;
}
