#include "stub/stub_config.h"

bool ReadRegistryString(HKEY root, const WCHAR* key_path, const WCHAR* value_name, WCHAR* buffer,
                        size_t capacity) {
  RegistryKey key;
  if (RegOpenKeyExW(root, key_path, 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS) {
    key.Release();  // a failed open hands out nothing to close
    return false;
  }
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(2 * capacity);
  if (RegQueryValueExW(key.Get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  if (size <= 1) {
    buffer[0] = 0;
    return true;
  }
  // The data need not bring its own terminator; an odd last byte is no whole unit.
  const size_t units = size / 2;
  if (buffer[units - 1] == 0) return true;
  if (units >= capacity) return false;
  buffer[units] = 0;
  return true;
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
  *argument_list.Receive() = CommandLineToArgvW(command_line_text, &argument_count);
  if (!argument_list.IsValid()) {
    argument_count = 0;
    return false;
  }
  for (int i = 1; i < argument_count; ++i) {
    if (lstrcmpiW(argument_list.Get()[i], WTEXT("--cleanup")) == 0 ||
        lstrcmpiW(argument_list.Get()[i], WTEXT("--nimbet-frame")) == 0) {
      unsupported_switch_present = true;
    }
  }
  return true;
}

void StubConfig::Reset() {
  argument_list.Reset();
  command_line = nullptr;
  argument_count = 0;
  unsupported_switch_present = false;
  remove_after_run = true;
}
