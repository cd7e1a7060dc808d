// A stand-in for osslsigncode on Windows, built as osslsigncode.exe into a directory of its own
// so that a Wine test can put it first on PATH. It appends what it was given to the file that
// STUBPACK_DOUBLE_RECORD names: "arg=" lines for its arguments, "readpass=" with what it read
// from -readpass (read as osslsigncode reads it on Windows: a mapped view of the file), and
// "env=" lines for its environment. `sign` copies -in to -out and appends a certificate table
// (one entry of a few bytes, no real signature), `sign-in-place FILE` does that to FILE, for a
// --sign-command; `verify` prints a signature report of the form that ParseVerifyOutput reads as
// a valid signature; `--version` prints a version line.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include <fcntl.h>
#include <io.h>

#include <string>

namespace {

std::string Narrow(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), n, nullptr, nullptr);
  return narrow;
}

bool ReadMapped(const wchar_t* path, std::string& text) {
  const HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const HANDLE map = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  const void* view = map != nullptr ? MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0) : nullptr;
  if (map != nullptr) CloseHandle(map);
  if (view != nullptr) {
    text.assign(static_cast<const char*>(view), GetFileSize(file, nullptr));
    UnmapViewOfFile(view);
  }
  CloseHandle(file);
  return view != nullptr;
}

const wchar_t* Option(int argc, wchar_t** argv, const wchar_t* name) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], name) == 0) return argv[i + 1];
  }
  return nullptr;
}

constexpr char kVerifyReport[] =
    "Current PE checksum   : 00000000\n"
    "Signature Index: 0  (Primary Signature)\n"
    "Message digest algorithm  : SHA256\n"
    "Current message digest    : 0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\n"
    "Calculated message digest : 0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\n"
    "\n"
    "Signer's certificate:\n"
    "\tSigner #0:\n"
    "\t\tSubject: /CN=Double Signer\n"
    "\t\tIssuer : /CN=Double CA\n"
    "\t\tSerial : 4711\n"
    "\n"
    "Authenticated attributes:\n"
    "\tSigning time: Dec 11 12:00:00 2026 GMT\n"
    "\n"
    "Signature verification: ok\n"
    "\n"
    "Succeeded\n";

// Appends a certificate table of one small entry and points the image's security directory at
// it, so that the file looks signed to a reader of its headers.
bool AppendCertificateTable(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  unsigned char head[4096] = {};
  DWORD got = 0;
  bool ok = ReadFile(file, head, sizeof(head), &got, nullptr) && got >= 0x40;
  const DWORD pe = ok ? *reinterpret_cast<DWORD*>(head + 0x3C) : 0;
  // PE32+: the data directories start 112 bytes into the optional header; security is entry 4.
  const DWORD directory = pe + 24 + 112 + 4 * 8;
  ok = ok && directory + 8 <= got && *reinterpret_cast<WORD*>(head + pe + 24) == 0x20B;
  LARGE_INTEGER size = {};
  ok = ok && GetFileSizeEx(file, &size);
  const DWORD at = static_cast<DWORD>((size.QuadPart + 7) & ~7LL);
  // dwLength, wRevision 0x0200, wCertificateType 2 (PKCS#7), then the "signature".
  unsigned char table[16] = {16, 0, 0, 0, 0x00, 0x02, 0x02, 0x00, 'D', 'O', 'U', 'B', 'L', 'E'};
  const DWORD entry[2] = {at, sizeof(table)};
  DWORD done = 0;
  const unsigned char zeros[8] = {};
  ok = ok && SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
       WriteFile(file, zeros, static_cast<DWORD>(at - size.QuadPart), &done, nullptr) &&
       WriteFile(file, table, sizeof(table), &done, nullptr) &&
       SetFilePointer(file, static_cast<LONG>(directory), nullptr, FILE_BEGIN) == directory &&
       WriteFile(file, entry, sizeof(entry), &done, nullptr);
  return CloseHandle(file) && ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Bytes as written, no CR added: the parent compares them exactly.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::string record;
  for (int i = 1; i < argc; ++i) record += "arg=" + Narrow(argv[i]) + "\n";
  const wchar_t* readpass = Option(argc, argv, L"-readpass");
  std::string pass;
  const bool pass_read = readpass != nullptr && ReadMapped(readpass, pass);
  if (pass_read) record += "readpass=" + pass + "\n";
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* e = block; *e != L'\0'; e += std::wcslen(e) + 1)
      record += "env=" + Narrow(e) + "\n";
    FreeEnvironmentStringsW(block);
  }
  wchar_t record_path[MAX_PATH * 2];
  if (GetEnvironmentVariableW(L"STUBPACK_DOUBLE_RECORD", record_path, MAX_PATH * 2) > 0) {
    if (FILE* out = _wfopen(record_path, L"ab")) {
      std::fwrite(record.data(), 1, record.size(), out);
      std::fclose(out);
    }
  }
  if (argc >= 2 && std::wcscmp(argv[1], L"--version") == 0) {
    std::puts("osslsigncode 2.9, a test double");
    return 0;
  }
  if (argc >= 2 && std::wcscmp(argv[1], L"sign") == 0) {
    if (readpass != nullptr && !pass_read) {
      std::puts("Failed to read password from file");
      return 1;
    }
    const wchar_t* in = Option(argc, argv, L"-in");
    const wchar_t* out = Option(argc, argv, L"-out");
    if (in == nullptr || out == nullptr || !CopyFileW(in, out, FALSE) ||
        !AppendCertificateTable(out)) {
      std::printf("Failed to copy -in to -out: %lu\n", GetLastError());
      return 1;
    }
    std::puts("Succeeded");
    return 0;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"sign-in-place") == 0) {
    if (!AppendCertificateTable(argv[2])) {
      std::printf("Failed to sign in place: %lu\n", GetLastError());
      return 1;
    }
    return 0;
  }
  if (argc >= 2 && std::wcscmp(argv[1], L"verify") == 0) {
    std::fputs(kVerifyReport, stdout);
    return 0;
  }
  std::puts("Unknown command");
  return 1;
}
