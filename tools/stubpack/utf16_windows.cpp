#include "tools/stubpack/utf16_windows.h"

#include <windows.h>

namespace stubpack::sys {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const wchar_t* text, size_t size) {
  if (size == 0) return std::string();
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), narrow.data(), n, nullptr, nullptr);
  return narrow;
}

}  // namespace stubpack::sys
