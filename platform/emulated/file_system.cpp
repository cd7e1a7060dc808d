// The emulated file system: drives, case-insensitive directories and files, links, handles with
// access and share modes, and the delete disposition as NT keeps it.
#include <algorithm>
#include <functional>

#include <stdio.h>
#include <string.h>

#include "platform/emulated/world_state.h"

namespace emu {
namespace detail {

namespace {

// 2026-01-01, in 100-nanosecond units since 1601: where the emulated clock starts.
constexpr LONGLONG kEpoch = 134116128000000000LL;

constexpr DWORD kReadAccess = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
constexpr DWORD kWriteAccess = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kDeleteAccess = DELETE | GENERIC_ALL;
constexpr DWORD kReadAttributesAccess = FILE_READ_ATTRIBUTES | GENERIC_READ | GENERIC_ALL;
constexpr DWORD kWriteAttributesAccess = FILE_WRITE_ATTRIBUTES | GENERIC_WRITE | GENERIC_ALL;
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_TEMPORARY;

struct ParsedPath {
  char16_t drive = 0;
  std::vector<std::u16string> parts;
  bool trailing_separator = false;
};

// What a call accepts of a path: how long it may be in the ordinary form, and whether it takes
// the extended form "\\?\X:\...".
struct PathRules {
  size_t longest = MAX_PATH - 1;  // units, without the terminator
  bool extended = false;
};

// The extended form's own limit, prefix included (UNICODE_STRING holds at most 32767 units).
constexpr size_t kLongestExtendedPath = 32767;

bool InvalidNameUnit(char16_t c) {
  return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
         c == u'*';
}

// A drive letter in either case, kept in capitals.
bool ParseDrive(char16_t letter, ParsedPath& parsed, DWORD& error) {
  if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - 0x20);
  if (letter < u'A' || letter > u'Z') {
    error = ERROR_INVALID_NAME;
    return false;
  }
  parsed.drive = letter;
  return true;
}

// "\\?\" hands the rest to the file system as it is: no "/" becomes "\", no "." or ".." is
// folded away, an empty name between two separators stays empty. A name the file system cannot
// hold ("", ".", "..", one with "/") is then refused (STATUS_OBJECT_NAME_INVALID).
bool ParseExtendedPath(const std::u16string& path, ParsedPath& parsed, DWORD& error) {
  if (path.size() >= kLongestExtendedPath) {
    error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  const std::u16string rest = path.substr(4);
  if (Fold(rest.substr(0, 4)) == u"UNC\\") {
    error = ERROR_BAD_NETPATH;  // no network shares are modelled
    return false;
  }
  if (rest.size() < 3 || rest[1] != u':' || rest[2] != u'\\') {
    error = ERROR_PATH_NOT_FOUND;  // only drive paths are modelled
    return false;
  }
  if (!ParseDrive(rest[0], parsed, error)) return false;
  std::u16string tail = rest.substr(3);
  if (tail.empty()) return true;  // the root
  parsed.trailing_separator = tail.back() == u'\\';
  if (parsed.trailing_separator) tail.pop_back();
  for (size_t start = 0; start <= tail.size();) {
    size_t end = tail.find(u'\\', start);
    if (end == std::u16string::npos) end = tail.size();
    const std::u16string part = tail.substr(start, end - start);
    if (part.empty() || part == u"." || part == u".." ||
        std::any_of(part.begin(), part.end(),
                    [](char16_t c) { return InvalidNameUnit(c) || c == u'/'; })) {
      error = ERROR_INVALID_NAME;
      return false;
    }
    parsed.parts.push_back(part);
    start = end + 1;
  }
  return true;
}

bool IsExtendedPath(const std::u16string& path) { return path.compare(0, 4, u"\\\\?\\") == 0; }

bool ParsePath(const std::u16string& path, ParsedPath& parsed, DWORD& error,
               const PathRules& rules = {}) {
  if (rules.extended && IsExtendedPath(path)) return ParseExtendedPath(path, parsed, error);
  if (path.size() > rules.longest) {
    error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  auto separator = [](char16_t c) { return c == u'\\' || c == u'/'; };
  if (path.size() < 3 || path[1] != u':' || !separator(path[2])) {
    error = ERROR_PATH_NOT_FOUND;  // only drive-absolute paths are modelled
    return false;
  }
  if (!ParseDrive(path[0], parsed, error)) return false;
  std::u16string part;
  for (size_t i = 3; i <= path.size(); ++i) {
    if (i == path.size() || separator(path[i])) {
      if (part == u"..") {
        if (!parsed.parts.empty()) parsed.parts.pop_back();
      } else if (!part.empty() && part != u".") {
        parsed.parts.push_back(part);
      }
      part.clear();
      continue;
    }
    const char16_t c = path[i];
    if (InvalidNameUnit(c)) {
      error = ERROR_INVALID_NAME;
      return false;
    }
    part += c;
  }
  parsed.trailing_separator = separator(path.back()) && !parsed.parts.empty();
  return true;
}

// CreateFileW takes the extended form; without it the path stays below MAX_PATH.
constexpr PathRules kOpenRules = {MAX_PATH - 1, true};
// CreateDirectoryW without long-path opt-in leaves room below MAX_PATH for an 8.3 name
// ("MAX_PATH minus 12" with the terminator): 247 units.
constexpr PathRules kCreateDirectoryRules = {MAX_PATH - 12 - 1, true};
// What a test arranges or inspects may lie anywhere on the disk.
constexpr PathRules kTestRules = {kLongestExtendedPath - 1, true};

LONGLONG Now() { return kEpoch + static_cast<LONGLONG>(TheWorld().now) * 10000; }

struct Located {
  std::shared_ptr<Node> parent;
  std::shared_ptr<Node> node;  // null when the last part does not exist
  std::u16string name;         // the last part as given
};

bool Locate(const ParsedPath& parsed, Located& located, DWORD& error, int depth = 0);

// A link's target, as a node; null with the error when it does not resolve.
std::shared_ptr<Node> Follow(const std::shared_ptr<Node>& link, DWORD& error, int depth) {
  ParsedPath target;
  Located located;
  if (depth > 8 || !ParsePath(link->link_target, target, error)) {
    error = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  if (!Locate(target, located, error, depth + 1)) return nullptr;
  if (target.parts.empty()) return located.parent;
  if (located.node == nullptr) {
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  if (located.node->link) return Follow(located.node, error, depth + 1);
  return located.node;
}

bool Locate(const ParsedPath& parsed, Located& located, DWORD& error, int depth) {
  World& w = TheWorld();
  auto volume = w.volumes.find(parsed.drive);
  if (volume == w.volumes.end()) {
    error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::shared_ptr<Node> current = volume->second.root;
  for (size_t i = 0; i + 1 < parsed.parts.size(); ++i) {
    auto child = current->children.find(Fold(parsed.parts[i]));
    if (child == current->children.end()) {
      error = ERROR_PATH_NOT_FOUND;
      return false;
    }
    std::shared_ptr<Node> next = child->second;
    if (next->link) {
      next = Follow(next, error, depth);
      if (next == nullptr) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
      }
    }
    if (!next->directory) {
      error = ERROR_PATH_NOT_FOUND;
      return false;
    }
    current = next;
  }
  located.parent = current;
  located.node = nullptr;
  if (parsed.parts.empty()) return true;
  located.name = parsed.parts.back();
  auto child = current->children.find(Fold(located.name));
  if (child != current->children.end()) located.node = child->second;
  return true;
}

// A freshly written file, which a scanner holds for its next starts.
void MarkWritten(Node& node) {
  node.fresh = true;
  node.starts_refused = 0;
}

size_t HandlesOn(const Node* node) {
  size_t count = 0;
  for (auto& handle : TheWorld().handles) count += handle.second.node.get() == node ? 1 : 0;
  return count;
}

void Unlink(Node* node) {
  if (node->parent == nullptr) return;
  node->parent->children.erase(Fold(node->name));
  node->parent = nullptr;
}

std::shared_ptr<Node> NewNode(const std::shared_ptr<Node>& parent, const std::u16string& name,
                              bool directory) {
  auto node = std::make_shared<Node>();
  node->name = name;
  node->directory = directory;
  node->attributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  node->parent = parent.get();
  node->volume = parent->volume;
  for (LONGLONG& time : node->times) time = Now();
  parent->children[Fold(name)] = node;
  return node;
}

bool SharingAllows(const Node* node, DWORD access, DWORD share) {
  const bool read = access & kReadAccess, write = access & kWriteAccess,
             remove = access & kDeleteAccess;
  // An open for attributes alone takes part in no sharing check.
  if (!read && !write && !remove) return true;
  for (auto& entry : TheWorld().handles) {
    const HandleObject& other = entry.second;
    if (other.node.get() != node) continue;
    const bool other_read = other.access & kReadAccess, other_write = other.access & kWriteAccess,
               other_remove = other.access & kDeleteAccess;
    if (!other_read && !other_write && !other_remove) continue;
    if ((read && !(other.share & FILE_SHARE_READ)) ||
        (write && !(other.share & FILE_SHARE_WRITE)) ||
        (remove && !(other.share & FILE_SHARE_DELETE)) ||
        (other_read && !(share & FILE_SHARE_READ)) ||
        (other_write && !(share & FILE_SHARE_WRITE)) ||
        (other_remove && !(share & FILE_SHARE_DELETE))) {
      return false;
    }
  }
  return true;
}

// The open behind CreateFileW and the test's own handles; null with the error on refusal.
std::shared_ptr<Node> Open(const std::u16string& path, DWORD access, DWORD share, DWORD disposition,
                           DWORD flags, DWORD& error, bool& existed) {
  ParsedPath parsed;
  Located located;
  existed = false;
  if (!ParsePath(path, parsed, error, kOpenRules) || !Locate(parsed, located, error))
    return nullptr;
  std::shared_ptr<Node> node = parsed.parts.empty() ? located.parent : located.node;
  if (node != nullptr && node->link && (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0) {
    node = Follow(node, error, 0);
    if (node == nullptr) return nullptr;
  }
  if (node == nullptr) {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      error = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    if (parsed.trailing_separator) {
      error = ERROR_INVALID_NAME;
      return nullptr;
    }
    if (located.parent->deny_create || located.parent->delete_pending) {
      error = ERROR_ACCESS_DENIED;
      return nullptr;
    }
    node = NewNode(located.parent, located.name, false);
    const DWORD attributes = flags & kSettableAttributes;
    node->attributes = attributes ? attributes : FILE_ATTRIBUTE_ARCHIVE;
    MarkWritten(*node);
    return node;
  }
  existed = true;
  // A name whose deletion is pending can no longer be opened (STATUS_DELETE_PENDING).
  if (node->delete_pending) {
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  // An access list that grants nothing refuses every open, whatever it asks for.
  if (node->deny_all) {
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  if (disposition == CREATE_NEW) {
    error = ERROR_FILE_EXISTS;
    return nullptr;
  }
  const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  if (node->directory) {
    if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0 || truncates) {
      error = ERROR_ACCESS_DENIED;
      return nullptr;
    }
  } else if (parsed.trailing_separator) {
    error = ERROR_INVALID_NAME;
    return nullptr;
  }
  if (!node->directory && (node->attributes & FILE_ATTRIBUTE_READONLY) &&
      ((access & kWriteAccess) || truncates)) {
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  if ((access & kDeleteAccess) && node->deny_delete) {
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  // A scanner still looks at the image of a process that has just ended.
  World& w = TheWorld();
  if ((access & kDeleteAccess) && node->exited_image &&
      node->deletes_refused < w.scanner.held_deletes) {
    ++node->deletes_refused;
    ++w.scanner_log.refused_deletes;
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  if (!SharingAllows(node.get(), access, share)) {
    error = ERROR_SHARING_VIOLATION;
    return nullptr;
  }
  if (truncates) {
    node->data.clear();
    node->unkept_size = 0;
    node->times[2] = node->times[3] = Now();
    MarkWritten(*node);
  }
  return node;
}

void CollectTree(const Node& node, const std::u16string& path, std::vector<std::u16string>& out) {
  for (auto& child : node.children) {
    const Node& entry = *child.second;
    std::u16string entry_path = path + entry.name;
    if (entry.directory && !entry.link) {
      out.push_back(entry_path + u"\\");
      CollectTree(entry, entry_path + u"\\", out);
    } else {
      out.push_back(entry_path);
    }
  }
}

std::shared_ptr<Node> Find(const std::u16string& path) {
  ParsedPath parsed;
  Located located;
  DWORD error = 0;
  if (!ParsePath(path, parsed, error, kTestRules) || !Locate(parsed, located, error))
    return nullptr;
  return parsed.parts.empty() ? located.parent : located.node;
}

}  // namespace

void DropHandle(uintptr_t value) {
  World& w = TheWorld();
  auto found = w.handles.find(value);
  if (found == w.handles.end()) return;
  std::shared_ptr<Node> node = found->second.node;
  w.handles.erase(found);
  // The name goes when the last handle on a file whose deletion is pending closes.
  if (node != nullptr && node->delete_pending && HandlesOn(node.get()) == 0) Unlink(node.get());
}

void AdvanceClock(uint64_t milliseconds) {
  World& w = TheWorld();
  w.now += milliseconds;
  std::vector<int> due;
  for (auto& holder : w.holders) {
    auto handle = w.handles.find(holder.second);
    if (handle != w.handles.end() && handle->second.release_at != 0 &&
        handle->second.release_at <= w.now) {
      due.push_back(holder.first);
    }
  }
  for (int holder : due) Release(holder);
}

void ResetFileSystem() { AddVolume(u'C', true); }

}  // namespace detail

using namespace detail;

void AddVolume(char16_t letter, bool persistent_acls) {
  if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - 0x20);
  Volume volume;
  volume.persistent_acls = persistent_acls;
  volume.root = std::make_shared<Node>();
  volume.root->directory = true;
  volume.root->attributes = FILE_ATTRIBUTE_DIRECTORY;
  volume.root->volume = letter;
  TheWorld().volumes[letter] = volume;
}

bool MakeDirectory(const std::u16string& path) {
  ParsedPath parsed;
  DWORD error = 0;
  if (!ParsePath(path, parsed, error, kTestRules)) return false;
  auto volume = TheWorld().volumes.find(parsed.drive);
  if (volume == TheWorld().volumes.end()) return false;
  std::shared_ptr<Node> current = volume->second.root;
  for (const auto& part : parsed.parts) {
    auto child = current->children.find(Fold(part));
    if (child == current->children.end()) {
      current = NewNode(current, part, true);
    } else if (child->second->directory && !child->second->link) {
      current = child->second;
    } else {
      return false;
    }
  }
  return true;
}

bool MakeFile(const std::u16string& path, const std::string& content, DWORD attributes) {
  ParsedPath parsed;
  DWORD error = 0;
  if (!ParsePath(path, parsed, error, kTestRules) || parsed.parts.empty()) return false;
  const size_t cut = path.find_last_of(u"\\/");
  if (!MakeDirectory(path.substr(0, cut + 1))) return false;
  Located located;
  if (!Locate(parsed, located, error) || located.node != nullptr) return false;
  auto node = NewNode(located.parent, located.name, false);
  node->data = content;
  node->attributes = attributes;
  return true;
}

bool MakeLink(const std::u16string& path, const std::u16string& target, bool directory) {
  ParsedPath parsed;
  Located located;
  DWORD error = 0;
  if (!ParsePath(path, parsed, error) || parsed.parts.empty() || !Locate(parsed, located, error) ||
      located.node != nullptr) {
    return false;
  }
  auto node = NewNode(located.parent, located.name, directory);
  node->link = true;
  node->link_target = target;
  node->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return true;
}

bool Exists(const std::u16string& path) { return Find(path) != nullptr; }

std::string FileContent(const std::u16string& path) {
  auto node = Find(path);
  return node == nullptr ? std::string() : node->data;
}

DWORD Attributes(const std::u16string& path) {
  auto node = Find(path);
  return node == nullptr ? 0xFFFFFFFF : node->attributes;
}

bool IsDeletePending(const std::u16string& path) {
  auto node = Find(path);
  return node != nullptr && node->delete_pending;
}

std::u16string SecurityText(const std::u16string& path) {
  auto node = Find(path);
  return node == nullptr ? std::u16string() : node->security;
}

std::vector<std::u16string> ListTree() {
  std::vector<std::u16string> out;
  for (auto& volume : TheWorld().volumes) {
    CollectTree(*volume.second.root, std::u16string(1, volume.first) + u":\\", out);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::u16string> ListDirectory(const std::u16string& path) {
  std::vector<std::u16string> out;
  auto node = Find(path);
  if (node == nullptr) return out;
  for (auto& child : node->children) out.push_back(child.second->name);
  std::sort(out.begin(), out.end());
  return out;
}

void DenyCreateIn(const std::u16string& directory) {
  if (auto node = Find(directory)) node->deny_create = true;
}

void DenyDelete(const std::u16string& path) {
  if (auto node = Find(path)) node->deny_delete = true;
}

int HoldOpen(const std::u16string& path, DWORD access, DWORD share) {
  DWORD error = 0;
  bool existed = false;
  auto node = Open(path, access, share, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, error, existed);
  if (node == nullptr) {
    fprintf(stderr, "emulation: HoldOpen(%s) refused with %u\n", Narrow(path).c_str(), error);
    return 0;
  }
  HandleObject object;
  object.node = node;
  object.path = path;
  object.access = access;
  object.share = share;
  object.held_by_test = true;
  World& w = TheWorld();
  const int holder = w.next_holder++;
  w.holders[holder] = reinterpret_cast<uintptr_t>(NewHandle(object));
  return holder;
}

void Release(int holder) {
  World& w = TheWorld();
  auto found = w.holders.find(holder);
  if (found == w.holders.end()) return;
  const uintptr_t value = found->second;
  w.holders.erase(found);
  DropHandle(value);
}

void ReleaseAt(int holder, uint64_t milliseconds) {
  World& w = TheWorld();
  auto found = w.holders.find(holder);
  if (found != w.holders.end()) w.handles[found->second].release_at = milliseconds;
}

void KeepFilesAcceptedForDeletion(bool keep) { TheWorld().keep_accepted_deletes = keep; }
void IgnoreAttributeWrites(bool ignore) { TheWorld().ignore_attribute_writes = ignore; }

// --- hostile environments ------------------------------------------------------------------------

void RunBeforeCall(uint64_t nth, std::function<void()> action) {
  TheWorld().hostile.before_call_at = nth;
  TheWorld().hostile.before_call = std::move(action);
}

bool MakeDirectoryDenyingAll(const std::u16string& path) {
  if (!MakeDirectory(path)) return false;
  auto node = Find(path);
  node->deny_all = true;
  node->deny_create = true;
  node->security = u"D:P(D;;FA;;;WD)";
  return true;
}

bool Rename(const std::u16string& from, const std::u16string& to) {
  ParsedPath source, target;
  Located at, destination;
  DWORD error = 0;
  if (!ParsePath(from, source, error) || source.parts.empty() || !Locate(source, at, error) ||
      at.node == nullptr || !ParsePath(to, target, error) || target.parts.empty() ||
      !Locate(target, destination, error) || destination.node != nullptr) {
    return false;
  }
  std::shared_ptr<Node> node = at.node;
  if (node->delete_pending) return false;
  for (auto& handle : TheWorld().handles) {
    if (handle.second.node == node && (handle.second.share & FILE_SHARE_DELETE) == 0) return false;
  }
  Unlink(node.get());
  node->name = destination.name;
  node->parent = destination.parent.get();
  destination.parent->children[Fold(node->name)] = node;
  return true;
}

void KeepWrittenBytes(bool keep) { TheWorld().hostile.keep_written_bytes = keep; }
const std::vector<WrittenSpan>& WrittenSpans() { return TheWorld().hostile.written_spans; }

uint64_t FileSize(const std::u16string& path) {
  auto node = Find(path);
  if (node == nullptr || node->directory) return UINT64_MAX;
  return node->data.size() > node->unkept_size ? node->data.size() : node->unkept_size;
}

}  // namespace emu

using namespace emu;
using namespace emu::detail;

BOOL WINAPI GetVolumePathNameW(LPCWSTR file_name, LPWSTR volume_path, DWORD size) {
  DWORD error = 0;
  if (Fails(Op::GetVolumePathNameW, error, Text(file_name), size)) return FALSE;
  ParsedPath parsed;
  if (file_name == nullptr || !ParsePath(file_name, parsed, error)) {
    Failed(error ? error : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (size < 4) {
    Failed(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  volume_path[0] = parsed.drive;
  volume_path[1] = u':';
  volume_path[2] = u'\\';
  volume_path[3] = 0;
  Succeeded();
  return TRUE;
}

BOOL WINAPI GetVolumeInformationW(LPCWSTR root, LPWSTR volume_name, DWORD volume_name_size,
                                  LPDWORD serial_number, LPDWORD maximum_component_length,
                                  LPDWORD file_system_flags, LPWSTR file_system_name,
                                  DWORD file_system_name_size) {
  DWORD error = 0;
  if (Fails(Op::GetVolumeInformationW, error, Text(root))) return FALSE;
  const std::u16string text = Text(root);
  if (text.size() != 3 || text[1] != u':' || text[2] != u'\\') {
    Failed(ERROR_INVALID_NAME);
    return FALSE;
  }
  char16_t drive = text[0];
  if (drive >= u'a' && drive <= u'z') drive = static_cast<char16_t>(drive - 0x20);
  auto volume = TheWorld().volumes.find(drive);
  if (volume == TheWorld().volumes.end()) {
    Failed(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  const bool acls = volume->second.persistent_acls;
  const std::u16string system = acls ? u"NTFS" : u"FAT32";
  if (volume_name != nullptr && volume_name_size > 0) volume_name[0] = 0;
  if (serial_number != nullptr) *serial_number = 0x1234ABCD;
  if (maximum_component_length != nullptr) *maximum_component_length = 255;
  if (file_system_flags != nullptr) {
    *file_system_flags =
        FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK | (acls ? FILE_PERSISTENT_ACLS : 0);
  }
  if (file_system_name != nullptr) {
    if (file_system_name_size <= system.size()) {
      Failed(ERROR_BAD_LENGTH);
      return FALSE;
    }
    memcpy(file_system_name, system.c_str(), (system.size() + 1) * sizeof(WCHAR));
  }
  Succeeded();
  return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  DWORD error = 0;
  const bool injected = Fails(Op::CreateDirectoryW, error, Text(path), 0);
  TheWorld().call_log.back().had_security = security != nullptr;
  if (injected) return FALSE;
  ParsedPath parsed;
  Located located;
  if (path == nullptr || !ParsePath(path, parsed, error, kCreateDirectoryRules) ||
      !Locate(parsed, located, error)) {
    Failed(error ? error : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (parsed.parts.empty() || located.node != nullptr) {
    Failed(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (located.parent->deny_create || located.parent->delete_pending) {
    Failed(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::u16string text;
  if (security != nullptr && security->lpSecurityDescriptor != nullptr &&
      !DescriptorText(security->lpSecurityDescriptor, text)) {
    Failed(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  auto node = NewNode(located.parent, located.name, true);
  // A volume without access lists drops the descriptor it is given.
  if (TheWorld().volumes[parsed.drive].persistent_acls) node->security = text;
  Succeeded();
  return TRUE;
}

HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD desired_access, DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security, DWORD creation_disposition,
                          DWORD flags_and_attributes, HANDLE template_file) {
  (void)security;
  (void)template_file;
  DWORD error = 0;
  if (Fails(Op::CreateFileW, error, Text(path), desired_access)) return INVALID_HANDLE_VALUE;
  if (path == nullptr || creation_disposition < CREATE_NEW ||
      creation_disposition > TRUNCATE_EXISTING) {
    Failed(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  bool existed = false;
  auto node = Open(path, desired_access, share_mode, creation_disposition, flags_and_attributes,
                   error, existed);
  if (node == nullptr) {
    Failed(error);
    return INVALID_HANDLE_VALUE;
  }
  HandleObject object;
  object.node = node;
  object.path = path;
  object.access = desired_access;
  object.share = share_mode;
  HANDLE handle = NewHandle(object);
  Succeeded();
  if (existed && (creation_disposition == CREATE_ALWAYS || creation_disposition == OPEN_ALWAYS)) {
    TheWorld().last_error = ERROR_ALREADY_EXISTS;
  }
  return handle;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  DWORD error = 0;
  const bool injected = Fails(Op::CloseHandle, error, HandleText(object));
  World& w = TheWorld();
  const auto value = reinterpret_cast<uintptr_t>(object);
  auto found = w.handles.find(value);
  const bool known = found != w.handles.end() && found->second.kind != HandleKind::kKey &&
                     !found->second.held_by_test;
  // As on Windows, a close that reports failure has still released a valid handle.
  if (known) DropHandle(value);
  if (injected) return FALSE;
  if (object == GetCurrentProcess()) {
    Succeeded();
    return TRUE;
  }
  if (!known) {
    Failed(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Succeeded();
  return TRUE;
}

BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                         LPVOID information, DWORD size) {
  DWORD error = 0;
  if (Fails(Op::GetFileInformationByHandleEx, error, HandleText(file), information_class))
    return FALSE;
  HandleObject* object = FindHandle(file, HandleKind::kFile);
  if (object == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (information_class != FileBasicInfo || information == nullptr) {
    Failed(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (size < sizeof(FILE_BASIC_INFO)) {
    Failed(ERROR_BAD_LENGTH);
    return FALSE;
  }
  if ((object->access & kReadAttributesAccess) == 0) {
    Failed(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const Node& node = *object->node;
  auto* info = static_cast<FILE_BASIC_INFO*>(information);
  info->CreationTime.QuadPart = node.times[0];
  info->LastAccessTime.QuadPart = node.times[1];
  info->LastWriteTime.QuadPart = node.times[2];
  info->ChangeTime.QuadPart = node.times[3];
  info->FileAttributes = node.attributes ? node.attributes : FILE_ATTRIBUTE_NORMAL;
  Succeeded();
  return TRUE;
}

BOOL WINAPI SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                       LPVOID information, DWORD size) {
  DWORD error = 0;
  if (Fails(Op::SetFileInformationByHandle, error, HandleText(file), information_class))
    return FALSE;
  HandleObject* object = FindHandle(file, HandleKind::kFile);
  if (object == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (information == nullptr) {
    Failed(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  World& w = TheWorld();
  Node& node = *object->node;
  if (information_class == FileDispositionInfo) {
    if (size < sizeof(FILE_DISPOSITION_INFO)) {
      Failed(ERROR_BAD_LENGTH);
      return FALSE;
    }
    if ((object->access & kDeleteAccess) == 0) {
      Failed(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    const bool remove = *static_cast<const BOOLEAN*>(information) != 0;
    if (remove) {
      // Read-only refuses the disposition (STATUS_CANNOT_DELETE); so does a directory with entries.
      if (node.attributes & FILE_ATTRIBUTE_READONLY) {
        Failed(ERROR_ACCESS_DENIED);
        return FALSE;
      }
      if (node.directory && !node.link && !node.children.empty()) {
        Failed(ERROR_DIR_NOT_EMPTY);
        return FALSE;
      }
    }
    if (!w.keep_accepted_deletes) node.delete_pending = remove;
    Succeeded();
    return TRUE;
  }
  if (information_class == FileBasicInfo) {
    if (size < sizeof(FILE_BASIC_INFO)) {
      Failed(ERROR_BAD_LENGTH);
      return FALSE;
    }
    if ((object->access & kWriteAttributesAccess) == 0) {
      Failed(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (w.ignore_attribute_writes) {
      Succeeded();
      return TRUE;
    }
    const auto* info = static_cast<const FILE_BASIC_INFO*>(information);
    const LONGLONG times[4] = {info->CreationTime.QuadPart, info->LastAccessTime.QuadPart,
                               info->LastWriteTime.QuadPart, info->ChangeTime.QuadPart};
    for (int i = 0; i < 4; ++i) {
      if (times[i] != 0 && times[i] != -1) node.times[i] = times[i];
    }
    // 0 leaves the attributes alone; NORMAL alone clears them.
    if (info->FileAttributes != 0) {
      const DWORD kept =
          node.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
      node.attributes = kept | (info->FileAttributes & kSettableAttributes);
    }
    Succeeded();
    return TRUE;
  }
  Failed(ERROR_INVALID_PARAMETER);
  return FALSE;
}

namespace {

HandleObject* FileHandle(HANDLE file) { return FindHandle(file, HandleKind::kFile); }

}  // namespace

namespace emu {
void SetDiskSpace(uint64_t bytes, bool short_writes) {
  TheWorld().disk_space = bytes;
  TheWorld().short_writes = short_writes;
  TheWorld().disk_full_reported = false;
}
uint64_t Flushes() { return TheWorld().flushes; }
}  // namespace emu

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
                      LPOVERLAPPED overlapped) {
  (void)overlapped;
  DWORD error = 0;
  if (written != nullptr) *written = 0;
  if (Fails(Op::WriteFile, error, HandleText(file), bytes)) return FALSE;
  HandleObject* object = FileHandle(file);
  if (object == nullptr || object->node->directory) {
    Failed(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((object->access & kWriteAccess) == 0) {
    Failed(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  World& w = TheWorld();
  Node& node = *object->node;
  uint64_t& position = *object->position;
  if (!w.hostile.keep_written_bytes) {
    w.hostile.written_spans.push_back({buffer, bytes, position});
    position += bytes;
    if (position > node.unkept_size) node.unkept_size = position;
    node.times[2] = node.times[3] = Now();
    MarkWritten(node);
    if (written != nullptr) *written = bytes;
    Succeeded();
    return TRUE;
  }
  const uint64_t end = position + bytes;
  const uint64_t growth = end > node.data.size() ? end - node.data.size() : 0;
  DWORD count = bytes;
  if (growth > w.disk_space) {
    const uint64_t fits =
        w.disk_space + (node.data.size() > position ? node.data.size() - position : 0);
    if (!w.short_writes || w.disk_full_reported) {
      Failed(ERROR_DISK_FULL);
      return FALSE;
    }
    // Some file systems first report the bytes that fit; the next write then fails.
    count = static_cast<DWORD>(fits < bytes ? fits : bytes);
    w.disk_full_reported = true;
  }
  if (position + count > node.data.size()) {
    w.disk_space -= position + count - node.data.size();
    node.data.resize(position + count);
  }
  if (count != 0) memcpy(&node.data[position], buffer, count);
  position += count;
  node.times[2] = node.times[3] = Now();
  MarkWritten(node);
  if (written != nullptr) *written = count;
  Succeeded();
  return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read,
                     LPOVERLAPPED overlapped) {
  (void)overlapped;
  DWORD error = 0;
  if (read != nullptr) *read = 0;
  if (Fails(Op::ReadFile, error, HandleText(file), bytes)) return FALSE;
  HandleObject* object = FileHandle(file);
  if (object == nullptr || object->node->directory) {
    Failed(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((object->access & kReadAccess) == 0) {
    Failed(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const std::string& data = object->node->data;
  uint64_t& position = *object->position;
  const uint64_t available = position < data.size() ? data.size() - position : 0;
  const DWORD count = static_cast<DWORD>(available < bytes ? available : bytes);
  if (count != 0) memcpy(buffer, data.data() + position, count);
  position += count;
  if (read != nullptr) *read = count;
  Succeeded();
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
  DWORD error = 0;
  if (Fails(Op::SetFilePointer, error, HandleText(file), method)) return INVALID_SET_FILE_POINTER;
  HandleObject* object = FileHandle(file);
  if (object == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t move = distance;
  if (distance_high != nullptr)
    move = (static_cast<int64_t>(*distance_high) << 32) | static_cast<uint32_t>(distance);
  int64_t base = 0;
  if (method == FILE_CURRENT) {
    base = static_cast<int64_t>(*object->position);
  } else if (method == FILE_END) {
    base = static_cast<int64_t>(object->node->data.size());
  } else if (method != FILE_BEGIN) {
    Failed(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (base + move < 0) {
    Failed(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  *object->position = static_cast<uint64_t>(base + move);
  if (distance_high != nullptr) *distance_high = static_cast<LONG>(*object->position >> 32);
  Succeeded();
  return static_cast<DWORD>(*object->position);
}

BOOL WINAPI FlushFileBuffers(HANDLE file) {
  DWORD error = 0;
  if (Fails(Op::FlushFileBuffers, error, HandleText(file))) return FALSE;
  HandleObject* object = FileHandle(file);
  if (object == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((object->access & kWriteAccess) == 0) {
    Failed(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  ++TheWorld().flushes;
  Succeeded();
  return TRUE;
}

BOOL WINAPI DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                            LPHANDLE target, DWORD desired_access, BOOL inherit, DWORD options) {
  (void)inherit;
  DWORD error = 0;
  if (Fails(Op::DuplicateHandle, error, HandleText(source), options)) return FALSE;
  HandleObject* object = FileHandle(source);
  if (source_process != GetCurrentProcess() || target_process != GetCurrentProcess() ||
      object == nullptr || target == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  HandleObject copy = *object;
  copy.held_by_test = false;
  if ((options & DUPLICATE_SAME_ACCESS) == 0) copy.access = desired_access;
  *target = NewHandle(copy);
  Succeeded();
  return TRUE;
}

// --- processes ----------------------------------------------------------------------------------

namespace {

// Whether starting the image needs an elevation that the token does not have: Windows then fails
// the start with ERROR_ELEVATION_REQUIRED instead of prompting.
bool NeedsElevation(const ProgramImage& image, const std::u16string& file_name) {
  const World& w = TheWorld();
  if (w.elevated) return false;
  switch (image.level) {
    case ExecutionLevel::kRequireAdministrator:
      return true;
    case ExecutionLevel::kHighestAvailable:
      return w.administrator;
    case ExecutionLevel::kAsInvoker:
      return false;
    case ExecutionLevel::kNotGiven:
      break;
  }
  // Installer detection: only a 32-bit image that names no level, by its file name.
  if (!w.installer_detection || !image.is_32_bit) return false;
  const std::u16string name = Fold(file_name);
  for (const char16_t* keyword : {u"SETUP", u"INSTALL", u"UPDATE"}) {
    if (name.find(keyword) != std::u16string::npos) return true;
  }
  return false;
}

}  // namespace

namespace emu {
void RegisterProgram(const std::u16string& path, Program program, ProgramImage image) {
  TheWorld().programs[Fold(path)] = {std::move(program), image};
}
void SetInstallerDetection(bool on) { TheWorld().installer_detection = on; }
void SetScanner(const Scanner& scanner) { TheWorld().scanner = scanner; }
const ScannerLog& ScannerRefusals() { return TheWorld().scanner_log; }
const std::vector<ProcessStart>& ProcessStarts() { return TheWorld().process_starts; }
}  // namespace emu

BOOL WINAPI CreateProcessW(LPCWSTR application, LPWSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                           DWORD creation_flags, LPVOID environment, LPCWSTR current_directory,
                           LPSTARTUPINFOW startup_info, LPPROCESS_INFORMATION process_information) {
  DWORD error = 0;
  if (Fails(Op::CreateProcessW, error, Text(application), creation_flags)) return FALSE;
  World& w = TheWorld();
  ProcessStart start;
  start.application = Text(application);
  start.command_line = Text(command_line);
  start.process_attributes = process_attributes != nullptr;
  start.thread_attributes = thread_attributes != nullptr;
  start.inherit_handles = inherit_handles;
  start.creation_flags = creation_flags;
  start.environment = environment != nullptr;
  start.current_directory = current_directory != nullptr;
  if (startup_info != nullptr) {
    start.startup_size = startup_info->cb;
    const auto* bytes = reinterpret_cast<const uint8_t*>(startup_info);
    start.startup_rest_zero = std::all_of(bytes + sizeof(DWORD), bytes + sizeof(STARTUPINFOW),
                                          [](uint8_t b) { return b == 0; });
  }
  w.process_starts.push_back(start);
  if (application == nullptr || startup_info == nullptr || process_information == nullptr) {
    Failed(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ParsedPath parsed;
  Located located;
  if (!ParsePath(application, parsed, error) || !Locate(parsed, located, error)) {
    Failed(error);
    return FALSE;
  }
  if (located.node == nullptr) {
    Failed(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  Node& image = *located.node;
  // A scanner still looks at a freshly written file: the loader cannot open it.
  if (!image.directory && image.fresh && image.starts_refused < w.scanner.held_starts) {
    ++image.starts_refused;
    ++w.scanner_log.refused_starts;
    Failed(w.scanner.start_error);
    return FALSE;
  }
  auto program = w.programs.find(Fold(application));
  if (located.node->directory || program == w.programs.end()) {
    Failed(ERROR_BAD_EXE_FORMAT);
    return FALSE;
  }
  if (NeedsElevation(program->second.image, parsed.parts.back())) {
    Failed(ERROR_ELEVATION_REQUIRED);
    return FALSE;
  }
  w.process_starts.back().started = true;
  // Runs to its end here: the stub only waits for it.
  const Program run = program->second.run;
  const std::shared_ptr<Node> image_node = located.node;
  const DWORD code = run(start.command_line);
  image_node->exited_image = true;
  image_node->deletes_refused = 0;
  HandleObject process;
  process.kind = HandleKind::kProcess;
  process.path = start.application;
  process.exit_code = code;
  HandleObject thread;
  thread.kind = HandleKind::kThread;
  thread.path = start.application;
  process_information->hProcess = NewHandle(process);
  process_information->hThread = NewHandle(thread);
  process_information->dwProcessId = 4242;
  process_information->dwThreadId = 4243;
  Succeeded();
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  DWORD error = 0;
  if (Fails(Op::WaitForSingleObject, error, {}, milliseconds)) return WAIT_FAILED;
  if (FindHandle(handle, HandleKind::kProcess) == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  Succeeded();
  return WAIT_OBJECT_0;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
  DWORD error = 0;
  if (Fails(Op::GetExitCodeProcess, error)) return FALSE;
  HandleObject* object = FindHandle(process, HandleKind::kProcess);
  if (object == nullptr || exit_code == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exit_code = object->exit_code;
  Succeeded();
  return TRUE;
}
