// The emulated registry: keys and values under HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE.
#include <string.h>

#include "platform/emulated/world_state.h"

namespace emu {

using namespace detail;

namespace {

std::pair<uintptr_t, std::u16string> KeyOf(HKEY root, const std::u16string& path) {
  std::u16string folded = Fold(path);
  while (!folded.empty() && folded.back() == u'\\') folded.pop_back();
  return {reinterpret_cast<uintptr_t>(root), folded};
}

}  // namespace

void CreateRegistryKey(HKEY root, const std::u16string& key) {
  // Every parent exists too, as it must for the key to be reached.
  const auto full = KeyOf(root, key);
  for (size_t cut = full.second.find(u'\\'); cut != std::u16string::npos;
       cut = full.second.find(u'\\', cut + 1)) {
    TheWorld().registry[{full.first, full.second.substr(0, cut)}];
  }
  TheWorld().registry[full];
}

void SetRegistryValue(HKEY root, const std::u16string& key, const std::u16string& name, DWORD type,
                      const std::vector<uint8_t>& data) {
  RegistryValue value;
  value.name = name;
  value.type = type;
  value.data = data;
  CreateRegistryKey(root, key);
  TheWorld().registry[KeyOf(root, key)][Fold(name)] = value;
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& text, bool with_terminator) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  if (with_terminator) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

}  // namespace emu

using namespace emu;
using namespace emu::detail;

LSTATUS WINAPI RegOpenKeyExW(HKEY root, LPCWSTR sub_key, DWORD options, REGSAM desired,
                             PHKEY result) {
  DWORD error = 0;
  if (Fails(Op::RegOpenKeyExW, error, Text(sub_key), desired)) return static_cast<LSTATUS>(error);
  if (result == nullptr || options != 0) {
    MarkFailed();
    return ERROR_INVALID_PARAMETER;
  }
  if (root != HKEY_CURRENT_USER && root != HKEY_LOCAL_MACHINE) {
    MarkFailed();
    return ERROR_INVALID_HANDLE;
  }
  const auto key = KeyOf(root, Text(sub_key));
  World& w = TheWorld();
  if (w.registry.find(key) == w.registry.end()) {
    MarkFailed();
    return ERROR_FILE_NOT_FOUND;
  }
  HandleObject object;
  object.kind = HandleKind::kKey;
  object.access = desired;
  object.key = key.second;
  object.key_root = key.first;
  *result = reinterpret_cast<HKEY>(NewHandle(object));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD data_size) {
  DWORD error = 0;
  if (Fails(Op::RegQueryValueExW, error, Text(value_name))) return static_cast<LSTATUS>(error);
  HandleObject* object = FindHandle(reinterpret_cast<HANDLE>(key), HandleKind::kKey);
  if (object == nullptr) {
    MarkFailed();
    return ERROR_INVALID_HANDLE;
  }
  if (reserved != nullptr || (data != nullptr && data_size == nullptr)) {
    MarkFailed();
    return ERROR_INVALID_PARAMETER;
  }
  if ((object->access & KEY_QUERY_VALUE) == 0) {
    MarkFailed();
    return ERROR_ACCESS_DENIED;
  }
  World& w = TheWorld();
  auto& values = w.registry[{object->key_root, object->key}];
  auto found = values.find(Fold(Text(value_name)));
  if (found == values.end()) {
    MarkFailed();
    return ERROR_FILE_NOT_FOUND;
  }
  const RegistryValue& value = found->second;
  if (type != nullptr) *type = value.type;
  const DWORD size = static_cast<DWORD>(value.data.size());
  if (data == nullptr) {
    if (data_size != nullptr) *data_size = size;
    return ERROR_SUCCESS;
  }
  if (*data_size < size) {
    *data_size = size;
    MarkFailed();
    return ERROR_MORE_DATA;
  }
  if (size != 0) memcpy(data, value.data.data(), size);
  *data_size = size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  DWORD error = 0;
  const bool injected = Fails(Op::RegCloseKey, error);
  const bool known = FindHandle(reinterpret_cast<HANDLE>(key), HandleKind::kKey) != nullptr;
  if (known) DropHandle(reinterpret_cast<uintptr_t>(key));
  if (injected) return static_cast<LSTATUS>(error);
  if (!known) {
    MarkFailed();
    return ERROR_INVALID_HANDLE;
  }
  return ERROR_SUCCESS;
}
