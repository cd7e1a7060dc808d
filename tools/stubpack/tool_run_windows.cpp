// Tools on Windows: CreateProcessW with each argument quoted for the child's own parser, in a
// job that ends it with everything it started, stdin from NUL, stdout and stderr through a pipe
// that is the only handle besides NUL it inherits. Files that tools read by a path live in a
// directory of their own in %TEMP% that only this user may open, removed when done.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>
#include <bcrypt.h>

#include <cstdio>

#include <sddl.h>

#include "tools/stubpack/tool_run.h"
#include "tools/stubpack/utf16_windows.h"

namespace stubpack {

using sys::Narrow;
using sys::Wide;

namespace {

// Where RunSignCommand puts the unsigned file's path for the shell.
constexpr wchar_t kSignFileVariable[] = L"STUBPACK_SIGN_FILE";

// The system's text for an error, without its line end.
std::string ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n != 0 ? std::wstring(text, n) : std::wstring();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(error) : Narrow(message);
}

class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE Get() const { return h_; }
  // CreateFileW's failure is INVALID_HANDLE_VALUE, the others' null: both are "none".
  bool Valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE h = nullptr) {
    if (Valid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_;
};

// The tool running now and the secret file it may be reading, for StopTool from the console
// control handler's thread. That handler suspends the main thread first, wherever it is (in
// the heap's lock, say): so no lock here and nothing that allocates, and each value is set
// before what it names is used and cleared before it is closed.
HANDLE volatile g_job = nullptr;
HANDLE volatile g_process = nullptr;
wchar_t g_secret[32768];  // the secret file's path; empty when none

// One argument as the C runtime and CommandLineToArgvW read it back: quoted when empty or when
// it holds a space, tab or quote; inside quotes, backslashes count only before a quote (2n+1
// for n before a literal quote) and at the end (doubled, so that they do not escape the
// closing quote).
void AppendQuoted(const std::wstring& arg, std::wstring& line) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') {
      ++i;
      ++backslashes;
    }
    if (i == arg.size()) {
      line.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    line += arg[i];
  }
  line += L'"';
}

// The program's own name is parsed by other rules (up to the next quote, no escapes) and holds
// no quote on Windows: quoted whole, it always reads back as given.
std::wstring CommandLine(const std::vector<std::string>& args) {
  std::wstring line = L"\"" + Wide(args[0]) + L"\"";
  for (size_t i = 1; i < args.size(); ++i) {
    line += L' ';
    AppendQuoted(Wide(args[i]), line);
  }
  return line;
}

// Found as CreateProcessW finds a program: its directory, the current one, the system's, PATH;
// ".exe" added to a name without an extension.
bool FindProgram(const std::string& name, std::wstring& path, DWORD& error) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = SearchPathW(nullptr, Wide(name).c_str(), L".exe",
                                static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) {
      error = GetLastError();
      return false;
    }
    if (n < buffer.size()) {
      buffer.resize(n);
      path = buffer;
      return true;
    }
    buffer.resize(n);
  }
}

void Started(HANDLE job, HANDLE process) {
  g_process = process;
  g_job = job;
}

ToolRun Failed(DWORD error) {
  ToolRun run;
  run.not_found = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  run.start_problem = ErrorText(error);
  return run;
}

struct PipeReader {
  HANDLE pipe;
  std::string text;
};

DWORD WINAPI ReadToEnd(void* parameter) {
  auto* reader = static_cast<PipeReader*>(parameter);
  char buffer[8192];
  DWORD n = 0;
  while (ReadFile(reader->pipe, buffer, sizeof(buffer), &n, nullptr) && n > 0)
    reader->text.append(buffer, n);
  return 0;
}

// Starts `application` with `command_line` suspended, puts it in a job that kills what is left
// of it when the job's last handle closes (this process ending included), then lets it run and
// reads its output to the end.
ToolRun Run(const std::wstring& application, std::wstring command_line) {
  SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
  Handle null_device(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherited, OPEN_EXISTING, 0, nullptr));
  if (!null_device.Valid()) return Failed(GetLastError());
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherited, 0)) return Failed(GetLastError());
  Handle reader(read_end), writer(write_end);
  if (!SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0)) return Failed(GetLastError());

  Handle job(CreateJobObjectW(nullptr, nullptr));
  if (!job.Valid()) return Failed(GetLastError());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits)))
    return Failed(GetLastError());

  // Only NUL and the pipe's write end reach the child, whatever else this process holds that
  // is inheritable.
  HANDLE handles[2] = {null_device.Get(), writer.Get()};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return Failed(GetLastError());
  if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                 sizeof(handles), nullptr, nullptr)) {
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    return Failed(error);
  }
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null_device.Get();
  startup.StartupInfo.hStdOutput = writer.Get();
  startup.StartupInfo.hStdError = writer.Get();
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION started = {};
  const BOOL created =
      CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                     CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                         EXTENDED_STARTUPINFO_PRESENT,
                     nullptr, nullptr, &startup.StartupInfo, &started);
  const DWORD create_error = GetLastError();
  DeleteProcThreadAttributeList(attributes);
  if (!created) return Failed(create_error);
  Handle process(started.hProcess), thread(started.hThread);
  if (!AssignProcessToJobObject(job.Get(), process.Get())) {
    const DWORD error = GetLastError();
    TerminateProcess(process.Get(), 1);
    return Failed(error);
  }
  ToolRun run;
  run.started = true;
  Started(job.Get(), process.Get());
  ResumeThread(thread.Get());
  writer.Reset();  // the tool's copies are the only writers left
  // Read on a thread of its own while the tool runs, so that a full pipe never stops it.
  PipeReader output{reader.Get(), {}};
  Handle reading(CreateThread(nullptr, 0, ReadToEnd, &output, 0, nullptr));
  if (!reading.Valid()) ReadToEnd(&output);
  WaitForSingleObject(process.Get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.Get(), &code);
  run.exited = true;
  run.status = code;
  // What the tool left running holds the pipe open and would end with the job anyway: ended
  // now, so that the run ends with the tool as on POSIX, and what it wrote is still read.
  TerminateJobObject(job.Get(), ERROR_OPERATION_ABORTED);
  if (reading.Valid()) WaitForSingleObject(reading.Get(), INFINITE);
  run.output = std::move(output.text);
  Started(nullptr, nullptr);
  return run;
}

std::wstring RandomHex() {
  unsigned char bytes[16];
  if (BCryptGenRandom(nullptr, bytes, sizeof(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
    // Still unique on this machine (the directory is created anew or not at all).
    const ULONGLONG mix = GetTickCount64() ^ (ULONGLONG{GetCurrentProcessId()} << 32);
    for (size_t i = 0; i < sizeof(bytes); ++i) bytes[i] = static_cast<unsigned char>(mix >> i);
  }
  std::wstring hex;
  for (unsigned char b : bytes) {
    hex += L"0123456789abcdef"[b >> 4];
    hex += L"0123456789abcdef"[b & 15];
  }
  return hex;
}

// An access list that lets only this process's user in, inherited by what is made inside.
bool UserOnly(SECURITY_ATTRIBUTES& attributes, DWORD& error) {
  HANDLE token_handle = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token_handle)) {
    error = GetLastError();
    return false;
  }
  Handle token(token_handle);
  DWORD size = 0;
  GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  wchar_t* sid = nullptr;
  if (!GetTokenInformation(token.Get(), TokenUser, user.data(), size, &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
    error = GetLastError();
    return false;
  }
  const std::wstring sddl = L"D:P(A;OICI;FA;;;" + std::wstring(sid) + L")";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    error = GetLastError();
    return false;
  }
  attributes = {sizeof(attributes), descriptor, FALSE};
  return true;
}

// The secret is overwritten before it is removed, so that its blocks hold no trace of it; then
// its directory goes. Nothing here allocates (StopTool calls it); `path` is cut at its last
// backslash for the directory.
void RemoveSecret(wchar_t* path) {
  const HANDLE file =
      CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    static const char zeros[4096] = {};
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    for (LONGLONG done = 0; done < size.QuadPart;) {
      DWORD n = 0;
      const DWORD part = static_cast<DWORD>(
          size.QuadPart - done < LONGLONG{sizeof(zeros)} ? size.QuadPart - done : sizeof(zeros));
      if (!WriteFile(file, zeros, part, &n, nullptr) || n == 0) break;
      done += n;
    }
    FlushFileBuffers(file);
    CloseHandle(file);
  }
  DeleteFileW(path);
  wchar_t* last = nullptr;
  for (wchar_t* p = path; *p != L'\0'; ++p) {
    if (*p == L'\\') last = p;
  }
  if (last != nullptr) {
    *last = L'\0';
    RemoveDirectoryW(path);
    *last = L'\\';
  }
}

}  // namespace

std::string ToolRun::Ending() const {
  if (status > 0xFFFF) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08lX", static_cast<unsigned long>(status));
    return std::string("exited with ") + hex;
  }
  return "exited with " + std::to_string(status);
}

ToolRun RunTool(const std::vector<std::string>& args) {
  std::wstring application;
  DWORD error = 0;
  if (!FindProgram(args[0], application, error)) return Failed(error);
  return Run(application, CommandLine(args));
}

std::string SignCommandScript(const std::string& command) {
  std::string script;
  for (size_t i = 0; i < command.size(); ++i) {
    if (command.compare(i, 2, "{}") == 0) {
      script += "\"%" + Narrow(kSignFileVariable) + "%\"";
      ++i;
    } else {
      script += command[i];
    }
  }
  return script;
}

std::string SignCommandProblem(const std::string& command) {
  bool quoted = false;
  for (size_t i = 0; i < command.size(); ++i) {
    if (command[i] == '"') quoted = !quoted;
    if (quoted && command.compare(i, 2, "{}") == 0)
      return "{} stands inside quotes: write it bare, the path is quoted for it";
  }
  return {};
}

// cmd.exe expands %VAR% once, before it looks for & | < > ^ ( ), and does not expand the result
// again; inside quotes those characters are plain text. A Windows path holds no quote, so the
// value cannot leave its quotes: a {} that the user left outside quotes of their own is always
// one whole argument. /d: no AutoRun commands from the registry; /v:off: ! stays plain text.
ToolRun RunSignCommand(const std::string& command, const std::string& path) {
  if (const std::string problem = SignCommandProblem(command); !problem.empty()) {
    ToolRun run;
    run.start_problem = problem;
    return run;
  }
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return Failed(GetLastError());
  const std::wstring shell = std::wstring(system) + L"\\cmd.exe";
  if (!SetEnvironmentVariableW(kSignFileVariable, Wide(path).c_str()))
    return Failed(GetLastError());
  ToolRun run =
      Run(shell, L"cmd.exe /d /v:off /s /c \"" + Wide(SignCommandScript(command)) + L"\"");
  SetEnvironmentVariableW(kSignFileVariable, nullptr);
  run.not_found = false;
  return run;
}

void StopTool() {
  const HANDLE job = g_job, process = g_process;
  if (job != nullptr) TerminateJobObject(job, ERROR_OPERATION_ABORTED);
  if (job != nullptr && process != nullptr) WaitForSingleObject(process, INFINITE);
  if (g_secret[0] != L'\0') RemoveSecret(g_secret);
}

void ForgetVariable(const std::string& name) {
  SetEnvironmentVariableW(Wide(name).c_str(), nullptr);
}

// osslsigncode's default -CAfile on Windows is no file that the system keeps up to date: the
// carried chain is checked on its own.
std::string SystemCertificates() { return {}; }

std::string InstallHint(const char* tool) {
  return std::string("put ") + tool + ".exe in stubpack.exe's PATH";
}

ToolFile::~ToolFile() { Close(); }

// osslsigncode maps its -readpass file (CreateFileMapping), so a pipe cannot serve it: the
// secret is a temporary file (kept in the cache, not written out) in a directory that only
// this user may open, overwritten and removed as soon as the tool that reads it is done, and
// by StopTool when the packer is stopped.
bool ToolFile::Create(const char* name, bool secret, std::string& problem) {
  Close();
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) {
    problem = ErrorText(GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES attributes;
  DWORD error = 0;
  if (!UserOnly(attributes, error)) {
    problem = ErrorText(error);
    return false;
  }
  const std::wstring directory = std::wstring(temp) + L"stubpack-" + RandomHex();
  const std::wstring path = directory + L"\\" + Wide(name);
  bool made = CreateDirectoryW(directory.c_str(), &attributes) != 0;
  if (made) {
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &attributes, CREATE_NEW,
                            secret ? FILE_ATTRIBUTE_TEMPORARY : FILE_ATTRIBUTE_NORMAL, nullptr));
    made = file.Valid();
    if (!made) RemoveDirectoryW(directory.c_str());
  }
  error = GetLastError();
  LocalFree(attributes.lpSecurityDescriptor);
  if (!made) {
    problem = ErrorText(error);
    return false;
  }
  path_ = Narrow(path);
  secret_ = secret;
  native_ = 0;
  if (secret && path.size() < sizeof(g_secret) / sizeof(g_secret[0]))
    lstrcpynW(g_secret, path.c_str(), static_cast<int>(path.size() + 1));
  return true;
}

bool ToolFile::Write(const std::string& text, std::string& problem) {
  Handle file(CreateFileW(Wide(path_).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr));
  DWORD n = 0;
  if (!file.Valid() ||
      !WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &n, nullptr) ||
      n != text.size()) {
    problem = ErrorText(GetLastError());
    return false;
  }
  return true;
}

bool ToolFile::ReadAll(std::string& text, std::string& problem) const {
  Handle file(CreateFileW(Wide(path_).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.Valid()) {
    problem = ErrorText(GetLastError());
    return false;
  }
  text.clear();
  char buffer[8192];
  DWORD n = 0;
  while (ReadFile(file.Get(), buffer, sizeof(buffer), &n, nullptr) && n > 0) text.append(buffer, n);
  return true;
}

void ToolFile::Close() {
  if (native_ < 0) return;
  std::wstring path = Wide(path_);
  if (secret_) {
    RemoveSecret(path.data());
    g_secret[0] = L'\0';  // after: a stop meanwhile removes it too
  } else {
    DeleteFileW(path.c_str());
    RemoveDirectoryW(path.substr(0, path.rfind(L'\\')).c_str());
  }
  native_ = -1;
  path_.clear();
}

bool FreeSpace(const std::string& directory, uint64_t& bytes) {
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(Wide(directory).c_str(), &available, nullptr, nullptr)) return false;
  bytes = available.QuadPart;
  return true;
}

// Windows has no per-process limit on a file's size.
bool FileSizeLimit(uint64_t&) { return false; }

}  // namespace stubpack
