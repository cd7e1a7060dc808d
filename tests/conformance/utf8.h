// UTF-16 to UTF-8 for what the kit's programs print and report.
#pragma once

#include <windows.h>

#include <string>

inline std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes,
                      nullptr, nullptr);
  return out;
}
