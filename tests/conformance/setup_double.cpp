// The conformance kit's setup.exe. It writes what it saw to the report file that conformance.exe
// names in CONFORMANCE_REPORT (the stub passes its environment through), does what the case asks
// through the other CONFORMANCE_ variables, and exits with the code the case asks for. It has no
// window and no console: the report is its only voice.
//
//   CONFORMANCE_REPORT=FILE  where the report goes (without it, the double exits with 3 at once)
//   CONFORMANCE_EXIT=N       its exit code (decimal or 0x hex; default 0)
//   CONFORMANCE_LEAVE=NAME   a file it leaves in its own directory (the work directory)
//   CONFORMANCE_HOLD_MS=N    a child (this image again) that holds a file in the work directory
//                            without sharing its deletion for N ms, then deletes it and ends
//
// Report lines, UTF-8, "key: value": command-line, current-directory, image, elevated,
// archive (size and FNV-1a of the resource the switches name), dacl (the image directory's
// access list as SDDL), dacl-protected.
// windows.h first: the other headers build on its types.
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
// clang-format on

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/conformance/utf8.h"

namespace {

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD units = GetEnvironmentVariableW(name, value, 1024);
  return units > 0 && units < 1024 ? std::wstring(value, units) : std::wstring();
}

std::wstring ImagePath() {
  std::wstring path(32768, L'\0');
  const DWORD units = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  path.resize(units);
  return path;
}

std::wstring DirectoryOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The value of "--NAME=..." among the arguments, quotes already removed by the split.
std::wstring Switch(const wchar_t* name) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return {};
  const std::wstring prefix = std::wstring(L"--") + name + L"=";
  std::wstring value;
  for (int i = 1; i < count; ++i) {
    if (std::wstring(arguments[i]).compare(0, prefix.size(), prefix) == 0) {
      value = arguments[i] + prefix.size();
      break;
    }
  }
  LocalFree(arguments);
  return value;
}

// Reads the archive the way a real setup must: the stub as a data file, the resource by the
// name and type its switches give.
std::string ArchiveLine() {
  const std::wstring stub = Switch(L"pellorin-path");
  const std::wstring name = Switch(L"archive-resource-name");
  const std::wstring type = Switch(L"archive-resource-type");
  HMODULE module = LoadLibraryExW(stub.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return "error LoadLibraryExW " + std::to_string(GetLastError());
  std::string line;
  HRSRC found = FindResourceW(module, name.c_str(), type.c_str());
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const auto* bytes = loaded ? static_cast<const uint8_t*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr) {
    line = "error FindResourceW " + std::to_string(GetLastError());
  } else {
    const DWORD size = SizeofResource(module, found);
    uint64_t hash = 14695981039346656037ull;
    for (DWORD i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    char text[64];
    std::snprintf(text, sizeof(text), "%lu %016llx", static_cast<unsigned long>(size),
                  static_cast<unsigned long long>(hash));
    line = text;
  }
  FreeLibrary(module);
  return line;
}

bool Elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
  CloseHandle(token);
  return ok && elevation.TokenIsElevated != 0;
}

// The work directory's access list as the system stores it, read while the stub waits for us.
void AppendAccessList(const std::wstring& directory, std::string& report) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    report += "dacl: error GetNamedSecurityInfoW " + std::to_string(error) + "\r\n";
    return;
  }
  LPWSTR text = nullptr;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    report += "dacl: " + Utf8(text) + "\r\n";
    LocalFree(text);
  } else {
    report += "dacl: error ConvertSecurityDescriptorToStringSecurityDescriptorW " +
              std::to_string(GetLastError()) + "\r\n";
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  report +=
      std::string("dacl-protected: ") + ((control & SE_DACL_PROTECTED) ? "yes" : "no") + "\r\n";
  LocalFree(descriptor);
}

// The child: holds DIRECTORY\held-by-child.txt open without FILE_SHARE_DELETE for `ms`, so that
// neither the file nor the directory can go, then lets go and deletes the file on its close.
int HoldFile(const std::wstring& directory, DWORD ms) {
  HANDLE file =
      CreateFileW((directory + L"\\held-by-child.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                  nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 4;
  Sleep(ms);
  CloseHandle(file);
  return 0;
}

// Starts the child and waits until its file exists, so that the stub, when we end, meets it.
std::string StartHoldingChild(const std::wstring& image, const std::wstring& directory,
                              const std::wstring& ms) {
  std::wstring command_line = L"\"" + image + L"\" --hold-ms=" + ms;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(image.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      directory.c_str(), &startup, &process)) {
    return "error CreateProcessW " + std::to_string(GetLastError());
  }
  CloseHandle(process.hThread);
  const std::wstring held = directory + L"\\held-by-child.txt";
  std::string line = "error the child made no file in 5 s";
  for (int i = 0; i < 500; ++i) {
    if (GetFileAttributesW(held.c_str()) != INVALID_FILE_ATTRIBUTES) {
      line = "started " + std::to_string(process.dwProcessId);
      break;
    }
    if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) {
      line = "error the child ended before it held its file";
      break;
    }
  }
  CloseHandle(process.hProcess);
  return line;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::wstring image = ImagePath();
  const std::wstring directory = DirectoryOf(image);
  const std::wstring hold = Switch(L"hold-ms");
  if (!hold.empty()) return HoldFile(directory, std::wcstoul(hold.c_str(), nullptr, 10));

  const std::wstring report_path = Environment(L"CONFORMANCE_REPORT");
  if (report_path.empty()) return 3;

  std::string report = "command-line: " + Utf8(GetCommandLineW()) + "\r\n";
  wchar_t current[32768];
  const DWORD current_units = GetCurrentDirectoryW(32768, current);
  report += "current-directory: " + Utf8(std::wstring(current, current_units)) + "\r\n";
  report += "image: " + Utf8(image) + "\r\n";
  report += std::string("elevated: ") + (Elevated() ? "yes" : "no") + "\r\n";
  report += "archive: " + ArchiveLine() + "\r\n";
  AppendAccessList(directory, report);

  const std::wstring leave = Environment(L"CONFORMANCE_LEAVE");
  if (!leave.empty()) {
    HANDLE file = CreateFileW((directory + L"\\" + leave).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    report +=
        std::string("left: ") +
        (file == INVALID_HANDLE_VALUE ? "error " + std::to_string(GetLastError()) : Utf8(leave)) +
        "\r\n";
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  const std::wstring hold_ms = Environment(L"CONFORMANCE_HOLD_MS");
  if (!hold_ms.empty()) {
    report += "child: " + StartHoldingChild(image, directory, hold_ms) + "\r\n";
  }

  const std::wstring exit_text = Environment(L"CONFORMANCE_EXIT");
  const DWORD exit_code =
      exit_text.empty() ? 0 : static_cast<DWORD>(std::wcstoul(exit_text.c_str(), nullptr, 0));
  report += "exit: " + std::to_string(exit_code) + "\r\n";

  HANDLE out = CreateFileW(report_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return 5;
  DWORD written = 0;
  WriteFile(out, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
  CloseHandle(out);
  return static_cast<int>(exit_code);
}
