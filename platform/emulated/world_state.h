// The emulation's own state, shared by its translation units; tests use world.h.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/emulated/world.h"

namespace emu::detail {

// Case-insensitive key for names, as the file system and the registry compare them.
std::u16string Fold(const std::u16string& text);

struct Node {
  std::u16string name;
  bool directory = false;
  bool link = false;
  std::u16string link_target;
  DWORD attributes = 0;
  std::string data;
  LONGLONG times[4] = {0, 0, 0, 0};
  std::u16string security;
  bool delete_pending = false;
  bool deny_create = false;
  bool deny_delete = false;
  bool deny_all = false;     // a hostile access list: no open at all
  uint64_t unkept_size = 0;  // bytes written while written bytes are not kept
  // What a scanner holds: a file that an emulated call created or wrote, and the image of a
  // process that has run, with the attempts refused since.
  bool fresh = false;
  uint32_t starts_refused = 0;
  bool exited_image = false;
  uint32_t deletes_refused = 0;
  Node* parent = nullptr;
  std::map<std::u16string, std::shared_ptr<Node>> children;  // by folded name
  char16_t volume = 0;
};

enum class HandleKind { kFile, kToken, kKey, kProcess, kThread };

struct HandleObject {
  HandleKind kind = HandleKind::kFile;
  std::shared_ptr<Node> node;
  // What calls on the handle record: the path a file was opened at (a rename does not change
  // it), or the program a process or its thread runs.
  std::u16string path;
  DWORD access = 0;
  DWORD share = 0;
  bool held_by_test = false;
  uint64_t release_at = 0;                                             // 0: held until released
  std::shared_ptr<uint64_t> position = std::make_shared<uint64_t>(0);  // shared by duplicates
  uintptr_t key_root = 0;  // a registry key's root and folded path
  std::u16string key;
  DWORD exit_code = 0;  // a process's
};

struct RegistryValue {
  std::u16string name;
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Volume {
  bool persistent_acls = true;
  std::shared_ptr<Node> root;
};

// Pages of our own, released with the world: lazily backed bytes, or a text against a guard page.
class Mapping {
 public:
  Mapping(size_t size, size_t guard);  // size readable and writable bytes, then guard bytes of none
  ~Mapping();
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t guard_ = 0;
};

struct Resource {
  std::u16string name;  // empty for a numbered one
  WORD id = 0;
  std::string bytes;
  std::shared_ptr<Mapping> lazy_bytes;  // when set, the resource's bytes, and bytes is unused
  uint64_t lazy_size = 0;
  std::shared_ptr<Mapping> guarded_name;  // when set, the enumeration hands out this copy
};

// The hostile environment's own state.
struct HostileState {
  uint64_t before_call_at = 0;
  std::function<void()> before_call;
  bool keep_written_bytes = true;
  std::vector<WrittenSpan> written_spans;
};

struct World {
  // process
  HMODULE image = nullptr;
  std::u16string image_path;
  std::u16string command_line;
  int exit_pipe = -1;
  DWORD last_error = 0;
  uint64_t trims = 0;

  // faults and records
  Fault fault;
  bool fault_armed = false;
  uint64_t stop_at = 0;
  uint64_t calls = 0;
  uint64_t calls_of[static_cast<int>(Op::Count)] = {};
  uint64_t injected = 0;
  std::vector<Call> call_log;

  // memory: block address to size
  std::map<void*, size_t> local_blocks;
  std::map<void*, size_t> heap_blocks;

  // handles by value
  std::map<uintptr_t, HandleObject> handles;
  uintptr_t next_handle = 0x1000;
  std::map<int, uintptr_t> holders;
  int next_holder = 1;

  // clock and random generator
  uint64_t now = 0;
  uint64_t sleeps = 0;
  uint64_t random_state = 0;
  std::vector<uint8_t> scripted_random;

  // registry: root value, folded key path, folded value name
  std::map<std::pair<uintptr_t, std::u16string>, std::map<std::u16string, RegistryValue>> registry;

  // token
  std::vector<uint8_t> user_sid;
  std::vector<uint8_t> owner_sid;
  std::u16string owner_text;  // replaces the owner's string form when not empty
  bool elevated = false;
  bool administrator = false;

  // file system
  std::map<char16_t, Volume> volumes;
  bool keep_accepted_deletes = false;
  bool ignore_attribute_writes = false;
  uint64_t disk_space = UINT64_MAX;
  bool short_writes = false;
  bool disk_full_reported = false;
  uint64_t flushes = 0;

  // resources by folded type, in directory order
  std::map<std::u16string, std::vector<std::unique_ptr<Resource>>> resources;

  // environment, libraries, time
  std::map<std::u16string, std::pair<std::u16string, std::u16string>> environment;  // folded name
  int time_zone_bias = 120;
  std::vector<std::u16string> cabinet_paths;
  std::vector<std::string> cabinet_missing_entries;
  uint64_t library_loads = 0;
  CabinetScript cabinet_script;
  CabinetLog cabinet_log;

  // programs by folded path
  struct RegisteredProgram {
    Program run;
    ProgramImage image;
  };
  std::map<std::u16string, RegisteredProgram> programs;
  bool installer_detection = true;
  std::vector<ProcessStart> process_starts;

  HostileState hostile;

  Scanner scanner;
  ScannerLog scanner_log;
};

World& TheWorld();

// Counts and records a failable call; true when an injected fault fails it, with the error to
// report in error.
bool Fails(Op op, DWORD& error, const std::u16string& text = {}, DWORD detail = 0);
// Marks the most recent call record as failed, not injected: a failure of the emulated system
// itself.
void MarkFailed();

inline void Succeeded() { TheWorld().last_error = kSuccessMarker; }
inline void Failed(DWORD error) {
  TheWorld().last_error = error;
  MarkFailed();
}

HANDLE NewHandle(HandleObject object);
HandleObject* FindHandle(HANDLE handle, HandleKind kind);
// What a call on handle records as its text; empty for a handle that serves no path, or none.
std::u16string HandleText(HANDLE handle);
void DropHandle(uintptr_t value);

std::u16string Text(LPCWSTR text);
void* AllocateLocal(size_t bytes, bool zero);

// SID binary form from "S-1-..." text; empty on a malformed text.
std::vector<uint8_t> ParseSid(const std::u16string& text);
std::u16string SidToText(const uint8_t* sid);
size_t SidSize(const uint8_t* sid);

// The SDDL text held by a descriptor that the emulated conversion made; false for anything else.
bool DescriptorText(const void* descriptor, std::u16string& text);

// Runs what the clock has reached: releases of test-held handles.
void AdvanceClock(uint64_t milliseconds);

void ResetFileSystem();
void ResetEnvironment();

}  // namespace emu::detail
