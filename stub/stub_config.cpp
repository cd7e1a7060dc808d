#include "stub/stub_config.h"

bool ReadRegistryString(HKEY root, const WCHAR* key_path, const WCHAR* value_name, WCHAR* buffer,
                        size_t capacity) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, key_path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;

  bool ok = false;
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(2 * capacity);
  if (RegQueryValueExW(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    if (size <= 1) {
      buffer[0] = 0;
      ok = true;
    } else {
      // The data need not bring its own terminator; an odd last byte is no whole unit.
      const size_t units = size / 2;
      if (buffer[units - 1] == 0) {
        ok = true;
      } else if (units < capacity) {
        buffer[units] = 0;
        ok = true;
      }
    }
  }
  RegCloseKey(key);
  return ok;
}

bool StubConfig::Load() {
  Reset();
  WCHAR value[2] = {0, 0};
  const bool ok = ReadRegistryString(HKEY_CURRENT_USER, WTEXT("Software\\Zarnith"),
                                     WTEXT("NimbetInstallerCleanup"), value, 2);
  remove_after_run = !(ok && value[0] == u'0');
  return ScanCommandLine(GetCommandLineW());
}

bool StubConfig::ScanCommandLine(const WCHAR* command_line_text) {
  command_line = command_line_text;
  argument_list = CommandLineToArgvW(command_line_text, &argument_count);
  if (argument_list == nullptr) {
    argument_count = 0;
    return false;
  }
  for (int i = 1; i < argument_count; ++i) {
    if (lstrcmpiW(argument_list[i], WTEXT("--cleanup")) == 0 ||
        lstrcmpiW(argument_list[i], WTEXT("--nimbet-frame")) == 0) {
      unsupported_switch_present = true;
    }
  }
  return true;
}

void StubConfig::Reset() {
  if (argument_list != nullptr) {
    LocalFree(argument_list);
    argument_list = nullptr;
  }
  command_line = nullptr;
  argument_count = 0;
  unsupported_switch_present = false;
  remove_after_run = true;
}
