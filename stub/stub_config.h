// The keep-files registry value and the stub's command line.
#pragma once

#include <stddef.h>

#include "core/owner.h"
#include "platform/win32.h"

// True when the buffer holds the REG_SZ value's text, terminated within the capacity.
bool ReadRegistryString(HKEY root, const WCHAR* key_path, const WCHAR* value_name, WCHAR* buffer,
                        size_t capacity);

// Owns the argument array that the platform split from the command line.
class StubConfig {
 public:
  StubConfig() = default;
  StubConfig(const StubConfig&) = delete;
  StubConfig& operator=(const StubConfig&) = delete;

  // Reads the registry value, then the command line; false only when it cannot be split.
  bool Load();
  // False only when the platform cannot split the command line.
  bool ScanCommandLine(const WCHAR* command_line_text);
  // Releases the argument array and restores every default.
  void Reset();

  LocalBlock<WCHAR*> argument_list;
  const WCHAR* command_line = nullptr;
  int argument_count = 0;
  bool unsupported_switch_present = false;
  bool remove_after_run = true;
};
