// UTF-8 and UTF-16, for the packer's Windows files: the door, the tools' runner and the entry
// point keep the packer's text UTF-8 and speak UTF-16 to Windows.
#pragma once

#include <cstddef>
#include <string>

namespace stubpack::sys {

std::wstring Wide(const std::string& text);
std::string Narrow(const wchar_t* text, size_t size);
inline std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }

}  // namespace stubpack::sys
