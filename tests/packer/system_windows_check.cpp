// The Windows side of the packer's door to the system (system_windows.cpp), run under Wine by
// system_door_test.cpp: `system-windows-check DIR` checks paths, files, the output file and the
// scratch directories of dead and live runs inside the empty directory DIR (a Windows path) and
// prints one line per failed check; `system-windows-check upper` prints every UTF-16 unit from
// 0x80 up that a resource name stores as another, and that one, for the comparison with the
// Linux build; `system-windows-check status FILE` prints the size and time sys::Status reads.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/stubpack/resource_tree.h"
#include "tools/stubpack/system.h"
#include "tools/stubpack/utf16_windows.h"

namespace sys = stubpack::sys;

namespace {

int g_failures = 0;

void Check(bool ok, int line, const std::string& what) {
  if (ok) return;
  ++g_failures;
  std::printf("system_windows_check.cpp:%d: %s\n", line, what.c_str());
}
#define CHECK(condition, what) Check((condition), __LINE__, std::string(#condition) + ": " + (what))

using stubpack::sys::Wide;

std::wstring Prefixed(const std::string& absolute) { return L"\\\\?\\" + Wide(absolute); }

bool WriteFileText(const std::string& absolute, const std::string& text) {
  HANDLE file = CreateFileW(Prefixed(absolute).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) &&
                  done == text.size();
  return CloseHandle(file) && ok;
}

std::string Text(const sys::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The names in `directory` (absolute), "." and ".." left out, in the order the system lists them.
std::vector<std::string> Listing(const std::string& directory) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE listing = FindFirstFileW((Prefixed(directory) + L"\\*").c_str(), &found);
  if (listing == INVALID_HANDLE_VALUE) return names;
  do {
    if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0)
      continue;
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, nullptr, 0, nullptr, nullptr);
    std::string name(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name.data(), n, nullptr, nullptr);
    names.push_back(name);
  } while (FindNextFileW(listing, &found));
  FindClose(listing);
  return names;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return "[" + text + "]";
}

void CheckPathParts() {
  const struct {
    const char* path;
    const char* directory;
    const char* base;
  } cases[] = {
      {"C:\\out\\installer.exe", "C:\\out", "installer.exe"},
      {"C:\\installer.exe", "C:\\", "installer.exe"},
      {"C:installer.exe", "C:", "installer.exe"},
      {"installer.exe", ".", "installer.exe"},
      {"out/sub\\installer.exe", "out/sub", "installer.exe"},
      {"out\\\\installer.exe", "out", "installer.exe"},
      {"\\installer.exe", "\\", "installer.exe"},
      {"\\\\server\\share\\installer.exe", "\\\\server\\share", "installer.exe"},
  };
  for (const auto& c : cases) {
    CHECK(sys::DirectoryOf(c.path) == c.directory,
          std::string(c.path) + " -> " + sys::DirectoryOf(c.path));
    CHECK(sys::BaseName(c.path) == c.base, std::string(c.path) + " -> " + sys::BaseName(c.path));
  }
  CHECK(sys::Join("C:\\out", "a") == "C:\\out\\a", sys::Join("C:\\out", "a"));
  CHECK(sys::Join("C:\\", "a") == "C:\\a", sys::Join("C:\\", "a"));
  CHECK(sys::Join("out/", "a") == "out/a", sys::Join("out/", "a"));
  CHECK(sys::Join("C:", "a") == "C:a", sys::Join("C:", "a"));
}

// Files in a directory of more than 260 units with a non-ASCII name: read, mapped, told apart.
void CheckFiles(const std::string& root) {
  std::string deep = root;
  for (int i = 0; i < 6; ++i) {
    deep += "\\" + std::string(40, static_cast<char>('a' + i)) + "-\xC3\xA9\xE6\x97\xA5";
    CreateDirectoryW(Prefixed(deep).c_str(), nullptr);
  }
  CHECK(Wide(deep).size() > 260, std::to_string(Wide(deep).size()) + " units");
  const std::string file = deep + "\\\xC3\x9Cn\xC3\xAF 1.bin";
  const std::string other = deep + "\\other.bin";
  CHECK(WriteFileText(file, "payload"), file);
  CHECK(WriteFileText(other, "payload"), other);
  CHECK(WriteFileText(root + "\\empty.bin", ""), "empty.bin");

  sys::FileStatus status, again, different;
  std::string problem;
  CHECK(sys::Status(file, status, problem), problem);
  CHECK(status.regular && !status.directory && status.size == 7, std::to_string(status.size));
  CHECK(status.modified > 1600000000, std::to_string(status.modified));
  // Another spelling of the same file: forward slashes, and ".." in the middle.
  std::string spelled = deep + "\\..\\" + sys::BaseName(deep) + "\\\xC3\x9Cn\xC3\xAF 1.bin";
  for (char& c : spelled) c = c == '\\' ? '/' : c;
  CHECK(sys::Status(spelled, again, problem), spelled + ": " + problem);
  CHECK(again.volume == status.volume && again.id == status.id, "the same file, spelled again");
  CHECK(sys::Status(other, different, problem), problem);
  CHECK(different.id != status.id, "two files, one identity");
  CHECK(sys::Status(deep, different, problem) && different.directory && !different.regular,
        "a directory");
  CHECK(!sys::Status(deep + "\\missing", different, problem) &&
            problem == "No such file or directory",
        problem);

  sys::Bytes bytes;
  CHECK(sys::ReadWhole(file, bytes, problem) && Text(bytes) == "payload", problem);
  CHECK(!sys::ReadWhole(deep, bytes, problem) && problem == "is not a regular file", problem);
  CHECK(!sys::ReadWhole(deep + "\\missing", bytes, problem) &&
            problem == "cannot be read: No such file or directory",
        problem);

  const uint8_t* data = nullptr;
  uint64_t size = 1;
  CHECK(
      sys::MapWhole(file, data, size, problem) && size == 7 && std::memcmp(data, "payload", 7) == 0,
      problem);
  // Mapped, the file can still be replaced and deleted by others: the view keeps its bytes.
  CHECK(DeleteFileW(Prefixed(other).c_str()), "deleting a file while another one is mapped");
  sys::Unmap(data, size);
  CHECK(sys::MapWhole(root + "\\empty.bin", data, size, problem) && size == 0, problem);
  sys::Unmap(data, size);

  // Reading shares deletion: a file open for reading can be deleted by someone else.
  sys::File reader;
  CHECK(reader.OpenRead(file, problem), problem);
  char buffer[16] = {};
  CHECK(
      reader.ReadAt(3, buffer, sizeof(buffer), problem) == 4 && std::memcmp(buffer, "load", 4) == 0,
      problem);
  CHECK(reader.ReadAt(7, buffer, sizeof(buffer), problem) == 0, "reading at the end");
  CHECK(DeleteFileW(Prefixed(file).c_str()), "deleting a file that the packer reads");
}

void CheckEnvironment() {
  std::string value;
  SetEnvironmentVariableW(L"STUBPACK_CHECK_VALUE", L"\u00e9t\u00e9 \u65e5");
  CHECK(
      sys::Environment("STUBPACK_CHECK_VALUE", value) && value == "\xC3\xA9t\xC3\xA9 \xE6\x97\xA5",
      value);
  SetEnvironmentVariableW(L"STUBPACK_CHECK_VALUE", L"");
  CHECK(sys::Environment("STUBPACK_CHECK_VALUE", value) && value.empty(), "set but empty");
  SetEnvironmentVariableW(L"STUBPACK_CHECK_VALUE", nullptr);
  CHECK(!sys::Environment("STUBPACK_CHECK_VALUE", value), "unset");
  const std::string self = sys::SelfPath();
  CHECK(sys::BaseName(self) == "system-windows-check.exe" && self.rfind("\\\\?\\", 0) != 0, self);
}

// The output: written at its own end whatever positioned I/O did, invisible under the output's
// name until Commit, gone when not committed; dead runs' scratch removed, live ones kept.
void CheckOutputFile(const std::string& root) {
  const std::string out = root + "\\out";
  CreateDirectoryW(Prefixed(out).c_str(), nullptr);
  const std::string output = out + "\\installer.exe";
  CHECK(WriteFileText(output, "old"), output);
  std::string problem;
  {
    sys::OutputFile file;
    CHECK(file.Begin(output, nullptr, problem), problem);
    CHECK(file.Data().Write("abc", 3, problem), problem);
    CHECK(file.Data().WriteAt(0, "X", 1, problem), problem);
    char head[2] = {};
    CHECK(file.Data().ReadAt(1, head, 2, problem) == 2 && std::memcmp(head, "bc", 2) == 0, problem);
    CHECK(file.Data().Write("def", 3, problem), problem);
    CHECK(file.Describe().find("marked for deletion") != std::string::npos, file.Describe());
    sys::Bytes bytes;
    CHECK(sys::ReadWhole(output, bytes, problem) && Text(bytes) == "old", "replaced too early");
    // The scratch directory holds the lock and the installer; a later run cannot delete the
    // lock, which tells it that this run is alive.
    const std::vector<std::string> listed = Listing(out);
    CHECK(listed.size() == 2, Joined(listed));
    CHECK(!DeleteFileW(Prefixed(file.ScratchPath("lock")).c_str()) &&
              GetLastError() == ERROR_SHARING_VIOLATION,
          "the lock of a live run deleted");
  }
  CHECK(Listing(out) == std::vector<std::string>{"installer.exe"}, Joined(Listing(out)));
  sys::Bytes bytes;
  CHECK(sys::ReadWhole(output, bytes, problem) && Text(bytes) == "old", "an uncommitted run");

  {
    sys::OutputFile file;
    CHECK(file.Begin(output, nullptr, problem), problem);
    CHECK(file.Data().Write("abc", 3, problem) && file.Data().WriteAt(0, "X", 1, problem) &&
              file.Data().Write("def", 3, problem),
          problem);
    CHECK(file.Name(problem) && file.Commit(file.Path(), problem), problem);
  }
  CHECK(sys::ReadWhole(output, bytes, problem) && Text(bytes) == "Xbcdef", Text(bytes));

  // An output that another process holds for a moment (a scanner) is replaced once it lets go;
  // one held for good fails with the cause.
  for (const bool released : {true, false}) {
    HANDLE holder = CreateFileW(Prefixed(output).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(holder != INVALID_HANDLE_VALUE, "holding the output");
    HANDLE release = nullptr;
    if (released) {
      release = CreateThread(
          nullptr, 0,
          [](void* held) -> DWORD {
            Sleep(300);
            CloseHandle(static_cast<HANDLE>(held));
            return 0;
          },
          holder, 0, nullptr);
    }
    sys::OutputFile file;
    CHECK(file.Begin(output, nullptr, problem), problem);
    CHECK(file.Data().Write(released ? "new" : "not", 3, problem), problem);
    const bool committed = file.Name(problem) && file.Commit(file.Path(), problem);
    CHECK(committed == released, problem);
    if (!released) {
      // Wine says access denied where Windows may say the file is in use.
      CHECK(problem.rfind("cannot be written: Permission denied", 0) == 0, problem);
      CloseHandle(holder);
    } else {
      WaitForSingleObject(release, INFINITE);
      CloseHandle(release);
    }
  }
  CHECK(sys::ReadWhole(output, bytes, problem) && Text(bytes) == "new", Text(bytes));
  CHECK(Listing(out) == std::vector<std::string>{"installer.exe"}, Joined(Listing(out)));

  // Scratch directories left behind: one whose lock nobody holds, one without a lock whose PID
  // names no process (dead), one without a lock of this very process and one whose lock is held
  // open (alive).
  const std::string dead_lock = out + "\\.stubpack-11-aaaaaa";
  const std::string dead_pid = out + "\\.stubpack-4294967290-bbbbbb";
  const std::string live_pid =
      out + "\\.stubpack-" + std::to_string(GetCurrentProcessId()) + "-cccccc";
  const std::string live_lock = out + "\\.stubpack-12-dddddd";
  for (const std::string& d : {dead_lock, dead_pid, live_pid, live_lock})
    CreateDirectoryW(Prefixed(d).c_str(), nullptr);
  CHECK(
      WriteFileText(dead_lock + "\\lock", "") && WriteFileText(dead_lock + "\\installer.exe", "x"),
      dead_lock);
  CHECK(WriteFileText(dead_pid + "\\setup.cab", "x"), dead_pid);
  CHECK(WriteFileText(live_lock + "\\lock", ""), live_lock);
  HANDLE held =
      CreateFileW(Prefixed(live_lock + "\\lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  CHECK(held != INVALID_HANDLE_VALUE, "holding a lock");
  {
    sys::OutputFile file;
    CHECK(file.Begin(output, "unsigned.exe", problem), problem);
    const std::vector<std::string> expected = {dead_lock, dead_pid};
    std::vector<std::string> removed = file.Removed();
    std::sort(removed.begin(), removed.end());
    CHECK(removed == expected, Joined(removed));
    CHECK(file.Path() == file.ScratchPath("unsigned.exe"), file.Path());
    CHECK(file.Describe() == file.Path(), file.Describe());
  }
  CloseHandle(held);
  std::vector<std::string> left = Listing(out);
  std::sort(left.begin(), left.end());
  const std::vector<std::string> expected = {".stubpack-12-dddddd", sys::BaseName(live_pid),
                                             "installer.exe"};
  CHECK(left == expected, Joined(left));
}

// A run killed while it writes (TerminateProcess: no handler, no destructor) leaves only its
// lock: the delete-pending installer goes with the process's handles. The next run removes the
// rest. The child is this program, `system-windows-check write OUTPUT MARKER`.
void CheckKilledRun(const std::string& root) {
  const std::string out = root + "\\killed";
  CreateDirectoryW(Prefixed(out).c_str(), nullptr);
  const std::string marker = root + "\\written";
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" write \"" + Wide(out) +
                         L"\\installer.exe\" \"" + Wide(marker) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child = {};
  const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &child);
  CHECK(started, "starting the writer");
  if (!started) return;
  sys::FileStatus status;
  std::string problem;
  for (int i = 0; i < 3000 && !sys::Status(marker, status, problem); ++i) Sleep(10);
  CHECK(sys::Status(marker, status, problem), "the writer never wrote");
  std::vector<std::string> during = Listing(out);
  CHECK(during.size() == 1 && Listing(out + "\\" + during[0]).size() == 2, Joined(during));
  TerminateProcess(child.hProcess, 9);
  WaitForSingleObject(child.hProcess, INFINITE);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  const std::vector<std::string> left = Listing(out);
  CHECK(left.size() == 1, Joined(left));
  if (left.size() != 1) return;
  CHECK(Listing(out + "\\" + left[0]) == std::vector<std::string>{"lock"},
        Joined(Listing(out + "\\" + left[0])));
  {
    sys::OutputFile file;
    CHECK(file.Begin(out + "\\next.exe", nullptr, problem), problem);
    CHECK(file.Removed() == std::vector<std::string>{out + "\\" + left[0]}, Joined(file.Removed()));
  }
  CHECK(Listing(out).empty(), Joined(Listing(out)));
}

int Write(const std::string& output, const std::string& marker) {
  sys::OutputFile file;
  std::string problem;
  if (!file.Begin(output, nullptr, problem)) return 3;
  const std::string bytes(1 << 20, 'x');
  if (!file.Data().Write(bytes.data(), bytes.size(), problem)) return 3;
  if (!WriteFileText(marker, "")) return 3;
  Sleep(INFINITE);
  return 0;
}

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  sys::PrepareOutput();  // "\n" as "\n", as stubpack.exe writes it
  if (argc == 4 && std::wcscmp(argv[1], L"write") == 0) return Write(Utf8(argv[2]), Utf8(argv[3]));
  if (argc == 3 && std::wcscmp(argv[1], L"status") == 0) {
    sys::FileStatus status;
    std::string problem;
    if (!sys::Status(Utf8(argv[2]), status, problem)) {
      std::printf("%s\n", problem.c_str());
      return 1;
    }
    std::printf("size %llu modified %lld\n", static_cast<unsigned long long>(status.size),
                static_cast<long long>(status.modified));
    return 0;
  }
  if (argc == 2 && std::wcscmp(argv[1], L"upper") == 0) {
    for (unsigned unit = 0x80; unit <= 0xFFFF; ++unit) {
      if (unit >= 0xD800 && unit <= 0xDFFF) continue;
      const std::u16string capital = stubpack::Capitalise(std::u16string(1, char16_t(unit)));
      if (capital[0] != unit) std::printf("%04X %04X\n", unit, unsigned{capital[0]});
    }
    return 0;
  }
  if (argc != 2) {
    std::printf("usage: system-windows-check DIR | upper\n");
    return 2;
  }
  const std::string root = Utf8(argv[1]);
  CheckPathParts();
  CheckFiles(root);
  CheckEnvironment();
  CheckOutputFile(root);
  CheckKilledRun(root);
  std::printf("%d failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
