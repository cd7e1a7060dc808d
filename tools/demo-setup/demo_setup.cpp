// demo-setup: plays setup.exe for the stub. It reads the archive out of the stub's resources,
// checks its 7z start header, copies it into an install directory, writes a report of what it
// received and did, and ends with 0, the code a forwarded --exit-code= asks for, or one of its
// own (exit_codes.h). It has no console, so the report file is its only voice.
//
//   setup.exe --pellorin-path="STUB" --archive-resource-name="NAME" --archive-resource-type="TYPE"
//             [--install-dir="DIR"] [--report="FILE"] [--exit-code=N] [--leave-file]
//             [anything else]
// windows.h first: the shell headers build on its types.
// clang-format off
#include <windows.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>
// clang-format on

#include <cstdio>
#include <optional>
#include <string>

#include "tools/demo-setup/exit_codes.h"
#include "tools/demo-setup/setup_arguments.h"
#include "tools/demo-setup/start_header.h"

namespace {

constexpr const wchar_t* kDefaultFolder = L"NimbetDemo";
constexpr const wchar_t* kArchiveFile = L"archive.7z";
constexpr const wchar_t* kReportFile = L"setup-report.txt";
constexpr const wchar_t* kLeftBehindFile = L"left-behind.txt";

std::wstring Hex32(uint32_t value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08X", static_cast<unsigned>(value));
  return text;
}

std::wstring ErrorText(const wchar_t* what, DWORD error) {
  return std::wstring(what) + L" (error " + std::to_wstring(error) + L")";
}

// Writes `size` bytes to a new `path`; on failure nothing is left there and `error` says why.
bool WriteWholeFile(const std::wstring& path, const void* data, size_t size, DWORD* error) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (error) *error = GetLastError();
    return false;
  }
  const auto* at = static_cast<const uint8_t*>(data);
  size_t left = size;
  bool written = true;
  while (left > 0) {
    const DWORD chunk = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
    DWORD done = 0;
    // A write that took only part goes on with the rest: on a full disk Wine reports success for
    // the part that fitted, and only the next write fails.
    const BOOL ok = WriteFile(file, at, chunk, &done, nullptr);
    if (!ok || done == 0) {
      if (error) *error = ok ? ERROR_WRITE_FAULT : GetLastError();
      written = false;
      break;
    }
    at += done;
    left -= done;
  }
  if (!CloseHandle(file) && written) {
    if (error) *error = GetLastError();
    written = false;
  }
  if (!written) DeleteFileW(path.c_str());
  return written;
}

// Lines of "key: value"; control characters other than tab are shown as <U+XXXX>, so a value
// never breaks a line.
class Report {
 public:
  void Line(const wchar_t* key, const std::wstring& value) {
    text_ += key;
    text_ += L": ";
    for (wchar_t c : value) {
      if (c < 0x20 && c != L'\t') {
        wchar_t escaped[12];
        std::swprintf(escaped, 12, L"<U+%04X>", static_cast<unsigned>(c));
        text_ += escaped;
      } else {
        text_ += c;
      }
    }
    text_ += L"\r\n";
  }

  // UTF-8 without a byte-order mark, replacing whatever was there.
  bool WriteTo(const std::wstring& path) const {
    std::string bytes;
    if (!text_.empty()) {
      const int size = WideCharToMultiByte(CP_UTF8, 0, text_.data(), static_cast<int>(text_.size()),
                                           nullptr, 0, nullptr, nullptr);
      if (size <= 0) return false;
      bytes.resize(size);
      WideCharToMultiByte(CP_UTF8, 0, text_.data(), static_cast<int>(text_.size()), bytes.data(),
                          size, nullptr, nullptr);
    }
    return WriteWholeFile(path, bytes.data(), bytes.size(), nullptr);
  }

 private:
  std::wstring text_;
};

std::wstring WithoutTrailingBackslash(std::wstring path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

// Creates `path` and whatever parents it lacks; an existing directory is fine.
bool CreateDirectories(const std::wstring& path, DWORD& error) {
  size_t start = 0;
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
    start = 3;
  } else if (path.compare(0, 2, L"\\\\") == 0) {
    // \\server\share\ (or \\?\X:\) is a root that is never created.
    start = 2;
    for (int parts = 0; parts < 2 && start != std::wstring::npos; ++parts) {
      start = path.find(L'\\', start);
      if (start != std::wstring::npos) ++start;
    }
    if (start == std::wstring::npos) start = path.size();
  }
  for (size_t at = start; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != L'\\') continue;
    const std::wstring prefix = path.substr(0, at);
    if (prefix.size() <= start && start != 0) continue;
    if (CreateDirectoryW(prefix.c_str(), nullptr)) continue;
    const DWORD failure = GetLastError();
    const DWORD attributes = GetFileAttributesW(prefix.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    error = failure;
    return false;
  }
  return true;
}

// %LOCALAPPDATA%\NimbetDemo, from the shell's known folder rather than the environment, which a
// parent process may have changed.
bool DefaultInstallDirectory(std::wstring& directory, DWORD& error) {
  PWSTR local = nullptr;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local);
  if (FAILED(result)) {
    CoTaskMemFree(local);
    error = static_cast<DWORD>(result);
    return false;
  }
  directory = WithoutTrailingBackslash(local) + L"\\" + kDefaultFolder;
  CoTaskMemFree(local);
  return true;
}

struct Outcome {
  uint32_t own_code = DemoExitCode::SUCCESS;  // demo-setup's own failure, which outranks a request
  std::optional<uint32_t> requested;          // --exit-code=
  std::wstring report_path;                   // empty when there is nowhere to write it
  std::wstring report_directory;              // created for the report when it is the default
};

// One run: fills the report and says how it ended.
Outcome Run(Report& report) {
  Outcome outcome;
  const wchar_t* command_line = GetCommandLineW();
  report.Line(L"command-line", command_line);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(command_line, &argc);
  if (argv == nullptr) {
    report.Line(L"result", ErrorText(L"the command line cannot be split", GetLastError()));
    outcome.own_code = DemoExitCode::BAD_COMMAND_LINE;
    return outcome;
  }
  const SetupArguments arguments = ParseSetupArguments(command_line, argc, argv);
  LocalFree(argv);

  report.Line(L"pellorin-path", arguments.pellorin_path);
  report.Line(L"archive-resource-name", arguments.archive_name);
  report.Line(L"archive-resource-type", arguments.archive_type);
  report.Line(L"forwarded", arguments.forwarded_text);
  for (const std::wstring& argument : arguments.forwarded)
    report.Line(L"forwarded-argument", argument);

  std::wstring install_dir;
  DWORD error = 0;
  bool have_install_dir = true;
  if (arguments.install_dir) {
    install_dir = WithoutTrailingBackslash(*arguments.install_dir);
  } else if (!DefaultInstallDirectory(install_dir, error)) {
    have_install_dir = false;
  }
  outcome.requested = arguments.exit_code;
  if (arguments.report_path) {
    outcome.report_path = *arguments.report_path;
  } else if (have_install_dir) {
    outcome.report_path = install_dir + L"\\" + kReportFile;
    outcome.report_directory = install_dir;
  }

  if (!arguments.problem.empty()) {
    report.Line(L"result", arguments.problem);
    outcome.own_code = arguments.problem_code;
    return outcome;
  }
  if (!have_install_dir) {
    report.Line(L"result", ErrorText(L"no local application data folder", error));
    outcome.own_code = DemoExitCode::INSTALL_FAILED;
    return outcome;
  }

  // As a data file: nothing of the stub runs here, only its resources are read.
  HMODULE stub = LoadLibraryExW(arguments.pellorin_path.c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (stub == nullptr) {
    report.Line(L"result", ErrorText(L"cannot open the stub as a data file", GetLastError()));
    outcome.own_code = DemoExitCode::STUB_NOT_OPENED;
    return outcome;
  }
  uint32_t code = DemoExitCode::SUCCESS;
  const uint8_t* bytes = nullptr;
  DWORD size = 0;
  HRSRC found = FindResourceW(stub, arguments.archive_name.c_str(), arguments.archive_type.c_str());
  if (found == nullptr) {
    report.Line(L"result", ErrorText(L"no archive resource of that name and type", GetLastError()));
    code = DemoExitCode::ARCHIVE_NOT_FOUND;
  } else {
    size = SizeofResource(stub, found);
    HGLOBAL loaded = LoadResource(stub, found);
    bytes = loaded ? static_cast<const uint8_t*>(LockResource(loaded)) : nullptr;
    if (bytes == nullptr) {
      report.Line(L"result", ErrorText(L"the archive resource cannot be loaded", GetLastError()));
      code = DemoExitCode::ARCHIVE_NOT_FOUND;
    }
  }

  if (code == DemoExitCode::SUCCESS) {
    report.Line(L"archive-size", std::to_wstring(size));
    const StartHeader header = CheckStartHeader(bytes, size);
    switch (header.verdict) {
      case StartHeaderVerdict::kTooShort:
        report.Line(L"result", L"not a 7z archive: shorter than its 32-byte start header");
        code = DemoExitCode::NOT_A_7Z_ARCHIVE;
        break;
      case StartHeaderVerdict::kBadSignature:
        report.Line(L"result", L"not a 7z archive: no 7z signature");
        code = DemoExitCode::NOT_A_7Z_ARCHIVE;
        break;
      case StartHeaderVerdict::kCrcMismatch:
      case StartHeaderVerdict::kValid: {
        const bool valid = header.verdict == StartHeaderVerdict::kValid;
        report.Line(L"archive-version", std::to_wstring(header.version_major) + L"." +
                                            std::to_wstring(header.version_minor));
        report.Line(L"start-header-crc", L"stored " + Hex32(header.stored_crc) + L", computed " +
                                             Hex32(header.computed_crc) +
                                             (valid ? L", match" : L", mismatch"));
        if (!valid) {
          report.Line(L"result", L"the archive's start header is damaged");
          code = DemoExitCode::START_HEADER_CRC_MISMATCH;
        }
        break;
      }
    }
  }

  if (code == DemoExitCode::SUCCESS) {
    const std::wstring target = install_dir + L"\\" + kArchiveFile;
    if (!CreateDirectories(install_dir, error)) {
      report.Line(L"result", ErrorText(L"cannot create the install directory", error));
      code = DemoExitCode::INSTALL_FAILED;
    } else if (!WriteWholeFile(target, bytes, size, &error)) {
      report.Line(L"result",
                  ErrorText(L"cannot write the archive into the install directory", error));
      code = DemoExitCode::INSTALL_FAILED;
    } else {
      report.Line(L"installed", target);
      report.Line(L"result", L"installed");
    }
  }
  FreeLibrary(stub);
  if (code == DemoExitCode::SUCCESS && arguments.leave_file) {
    // A setup that leaves something in the stub's work directory, which then cannot be removed.
    wchar_t own[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring left = std::wstring(own, length);
    left = left.substr(0, left.find_last_of(L'\\') + 1) + kLeftBehindFile;
    const char kText[] = "left behind by demo-setup\r\n";
    if (length == 0 || length >= MAX_PATH ||
        !WriteWholeFile(left, reinterpret_cast<const uint8_t*>(kText), sizeof(kText) - 1, &error)) {
      report.Line(L"result", ErrorText(L"cannot leave a file beside setup.exe", error));
      code = DemoExitCode::INSTALL_FAILED;
    } else {
      report.Line(L"left-behind", left);
    }
  }
  outcome.own_code = code;
  return outcome;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Report report;
  const Outcome outcome = Run(report);
  uint32_t code = outcome.own_code;
  if (code == DemoExitCode::SUCCESS) code = outcome.requested.value_or(DemoExitCode::SUCCESS);
  report.Line(L"exit-code", std::to_wstring(code) + L" (" + Hex32(code) + L")");

  // The default report lives in the install directory, which a failed run has not made yet.
  DWORD error = 0;
  if (!outcome.report_directory.empty()) CreateDirectories(outcome.report_directory, error);
  const bool reported = !outcome.report_path.empty() && report.WriteTo(outcome.report_path);
  // A failed report is news only when nothing failed before it.
  if (!reported && outcome.own_code == DemoExitCode::SUCCESS) code = DemoExitCode::REPORT_FAILED;
  ExitProcess(code);
}
