// The packer's way of starting tools on Windows (tool_run_windows.cpp), run under Wine by
// tool_run_wine_test.cpp: arguments that come back exactly as given, through both of the
// child's parsers; the program found on PATH; exit codes, output and stdin; only the needed
// handles inherited; the passphrase file read as osslsigncode reads it and gone afterwards;
// --sign-command with a path that cmd.exe would otherwise take apart; StopTool ending the tool
// with what it started. Argument: the Windows path of the osslsigncode double's directory.
// Prints one line per failure and ends with "N passed, N failed"; exits 1 on any failure.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tools/stubpack/tool_run.h"
#include "tools/stubpack/utf16_windows.h"

namespace {

using stubpack::RunTool;
using stubpack::ToolFile;
using stubpack::ToolRun;

int g_passed = 0, g_failed = 0;

void Check(bool ok, const std::string& what, const std::string& detail = "") {
  if (ok) {
    ++g_passed;
    return;
  }
  ++g_failed;
  std::printf("FAILED: %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
}

using stubpack::sys::Narrow;
using stubpack::sys::Wide;

// What print-arguments.exe prints for these arguments, when both parsers agree with them.
std::string Printed(const std::vector<std::string>& args) {
  std::string line;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) line += ',';
    line += '[';
    char unit[8];
    for (wchar_t c : Wide(args[i])) {
      std::snprintf(unit, sizeof(unit), "%04x", static_cast<unsigned>(c));
      line += unit;
    }
    line += ']';
  }
  return "shell=" + line + "\ncrt=" + line + "\n";
}

std::string Directory(const std::wstring& path) {
  return Narrow(path.substr(0, path.rfind(L'\\')));
}

std::string SelfDirectory() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return Directory(self);
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void ArgumentsComeBackAsGiven(const std::string& child) {
  const std::vector<std::vector<std::string>> cases = {
      {"plain"},
      {"two words", "three more words"},
      {""},
      {"", "between", ""},
      {"tab\there"},
      {"say \"hi\""},
      {"\""},
      {"\\\"already escaped\\\""},
      {"back\\\\slashes\\not\\before\\quotes"},
      {"ends in a backslash\\"},
      {"ends in two\\\\"},
      {"C:\\Program Files\\Tools\\"},
      {"nospace\\"},
      {"\\\\server\\share\\"},
      {"a\\\\\"b", "c\\\"", "\\"},
      {"line\nbreak"},
      {"caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "beyond \xf0\x9f\x98\x80 the plane"},
      {"-in", "C:\\release builds\\it's \"final\"\\installer.exe", "-out", "x y\\"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> argv = {child};
    argv.insert(argv.end(), args.begin(), args.end());
    const ToolRun run = RunTool(argv);
    std::string shown;
    for (const std::string& a : args) shown += "<" + a + ">";
    Check(run.Ok(), "arguments " + shown + " ran", run.start_problem + run.Ending());
    Check(run.output == Printed(args), "arguments " + shown + " came back",
          "got\n" + run.output + "wanted\n" + Printed(args));
  }
}

void ExitCodesOutputAndStdin(const std::string& child) {
  const struct {
    const char* code;
    int64_t status;
    const char* ending;
  } cases[] = {{"0", 0, "exited with 0"},
               {"3", 3, "exited with 3"},
               {"3221225477", 0xC0000005, "exited with 0xC0000005"}};
  for (const auto& c : cases) {
    const ToolRun run = RunTool({child, "--exit", c.code});
    Check(run.started && run.exited && run.status == c.status, std::string("exit code ") + c.code,
          std::to_string(run.status));
    Check(run.Ending() == c.ending, std::string("ending of ") + c.code, run.Ending());
    Check(run.output == "outerr", std::string("stdout and stderr kept for ") + c.code, run.output);
  }
  const ToolRun read = RunTool({child, "--stdin"});
  Check(read.Ok() && read.output == "stdin=0\n", "stdin is the null device", read.output);
}

void FoundOnPathOrNamedMissing(const std::string& double_directory) {
  const ToolRun missing = RunTool({"stubpack-no-such-tool-4711", "x"});
  Check(!missing.started && missing.not_found, "a missing tool is not found",
        missing.start_problem);
  // osslsigncode.exe is only in the double's directory: found there through PATH, with ".exe"
  // added to the bare name.
  wchar_t old_path[32767];
  const DWORD n = GetEnvironmentVariableW(L"PATH", old_path, 32767);
  SetEnvironmentVariableW(L"PATH",
                          (Wide(double_directory) + L";" + std::wstring(old_path, n)).c_str());
  const std::string record = SelfDirectory() + "\\tool-run-double-record.txt";
  DeleteFileW(Wide(record).c_str());
  SetEnvironmentVariableW(L"STUBPACK_DOUBLE_RECORD", Wide(record).c_str());
  const ToolRun found = RunTool({"osslsigncode", "--version"});
  Check(found.Ok(), "osslsigncode found on PATH", found.start_problem + found.output);
  SetEnvironmentVariableW(L"PATH", std::wstring(old_path, n).c_str());
  SetEnvironmentVariableW(L"STUBPACK_DOUBLE_RECORD", nullptr);
  Check(Exists(record), "the double on PATH ran and recorded");
  DeleteFileW(Wide(record).c_str());
}

void OnlyTheNeededHandlesAreInherited(const std::string& child) {
  const std::string name = "tool-run-inherit-probe-" + std::to_string(GetCurrentProcessId());
  const std::string path = SelfDirectory() + "\\" + name;
  SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
  const HANDLE probe = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                   CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  Check(probe != INVALID_HANDLE_VALUE, "the probe file opens");
  const std::string value = std::to_string(reinterpret_cast<uintptr_t>(probe));
  const ToolRun run = RunTool({child, "--handle", value, name});
  Check(run.Ok() && run.output == "closed\n", "an inheritable handle of ours stays ours",
        run.output);
  CloseHandle(probe);
}

void PassphraseFileIsReadThenGone(const std::string& child) {
  const std::string pass = "correct horse 7 & \xc3\xa9";
  std::string problem, path;
  {
    ToolFile secret;
    Check(secret.Create("stubpack-passphrase", true, problem) && secret.Write(pass, problem),
          "the passphrase file is made", problem);
    path = secret.Path();
    const ToolRun run = RunTool({child, "--read-mapped", path});
    Check(run.Ok() && run.output == pass, "the tool reads the passphrase as osslsigncode does",
          run.output);
  }
  Check(!path.empty() && !Exists(path), "the passphrase file is gone afterwards", path);
  Check(!path.empty() && !Exists(Directory(Wide(path))), "and so is its directory");

  ToolFile scratch;
  std::string text;
  Check(scratch.Create("stubpack-trust", false, problem) && scratch.Write("first\n", problem) &&
            scratch.Write("second\n", problem) && scratch.ReadAll(text, problem),
        "a scratch tool file takes and gives back text", problem);
  Check(text == "first\nsecond\n", "a scratch tool file appends", text);
}

void SignCommandKeepsThePathWhole(const std::string& child) {
  // Each of these would be read by cmd.exe as something else outside quotes. Not a pair of %:
  // Wine's cmd expands %NAME% again inside the variable's value (a directory named "%PATH%"
  // arrived as the PATH's value), where Windows' cmd expands a command line once.
  const std::string directory = SelfDirectory() + "\\sign dir & co 100% ^x! (1) caf\xc3\xa9 ;,=";
  CreateDirectoryW(Wide(directory).c_str(), nullptr);
  const std::string path = directory + "\\installer.exe";
  const ToolRun run = stubpack::RunSignCommand("\"" + child + "\" {} second", path);
  Check(run.Ok(), "the sign command ran", run.start_problem + run.output);
  Check(run.output == Printed({path, "second"}), "{} is the path, whole",
        "got\n" + run.output + "wanted\n" + Printed({path, "second"}));
  const ToolRun failed = stubpack::RunSignCommand("\"" + child + "\" --exit 7 {}", path);
  Check(failed.started && failed.status == 7, "the command's exit status comes back",
        std::to_string(failed.status));
  const ToolRun inside = stubpack::RunSignCommand("\"" + child + " {}\"", path);
  Check(!inside.started && inside.start_problem.find("quotes") != std::string::npos,
        "{} inside the command's own quotes is refused", inside.start_problem);
  Check(stubpack::SignCommandScript("sign {} && copy {} {}.bak") ==
            "sign \"%STUBPACK_SIGN_FILE%\" && copy \"%STUBPACK_SIGN_FILE%\" "
            "\"%STUBPACK_SIGN_FILE%\".bak",
        "each {} names the variable, quoted", stubpack::SignCommandScript("sign {}"));
  RemoveDirectoryW(Wide(directory).c_str());
}

// Waits until `pid_file` names a process, then for that process to end.
bool ProcessInFileEnds(const std::string& pid_file) {
  for (int i = 0; i < 600 && !Exists(pid_file); ++i) Sleep(50);
  Sleep(100);
  FILE* in = _wfopen(Wide(pid_file).c_str(), L"r");
  unsigned long pid = 0;
  const bool read = in != nullptr && std::fscanf(in, "%lu", &pid) == 1;
  if (in != nullptr) std::fclose(in);
  if (!read) return false;
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  const bool ended = process == nullptr || WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
  if (process != nullptr) CloseHandle(process);
  return ended;
}

struct StopAfterStart {
  std::string pid_file;
};

DWORD WINAPI StopWhenStarted(void* parameter) {
  const auto* stop = static_cast<StopAfterStart*>(parameter);
  for (int i = 0; i < 600 && !Exists(stop->pid_file); ++i) Sleep(50);
  Sleep(100);  // the file is written and closed before the grandchild is counted as started
  stubpack::StopTool();
  return 0;
}

void StopToolEndsTheToolAndWhatItStarted(const std::string& child) {
  StopAfterStart stop{SelfDirectory() + "\\tool-run-grandchild-" +
                      std::to_string(GetCurrentProcessId()) + ".txt"};
  DeleteFileW(Wide(stop.pid_file).c_str());
  // A passphrase handed to the tool: a stopped packer runs no destructor, so StopTool removes it.
  ToolFile secret;
  std::string problem;
  Check(secret.Create("stubpack-passphrase", true, problem) && secret.Write("pass", problem),
        "the passphrase file for the stopped tool is made", problem);
  const HANDLE stopper = CreateThread(nullptr, 0, StopWhenStarted, &stop, 0, nullptr);
  const ULONGLONG began = GetTickCount64();
  const ToolRun run = RunTool({child, "--sleep-with-child", stop.pid_file});
  WaitForSingleObject(stopper, INFINITE);
  CloseHandle(stopper);
  // Bounded only against a hang: the child sleeps a minute when nothing stops it.
  Check(GetTickCount64() - began < 30000, "the stopped tool ends at once");
  Check(run.started && run.status == ERROR_OPERATION_ABORTED, "the tool was ended by StopTool",
        std::to_string(run.status));
  Check(ProcessInFileEnds(stop.pid_file), "the tool's own child ended with it");
  Check(!Exists(secret.Path()), "StopTool removed the passphrase file", secret.Path());
  DeleteFileW(Wide(stop.pid_file).c_str());
}

// A packer killed outright (TerminateProcess, Task Manager) runs no handler: the job's last
// handle closing with it must end the tool and what the tool started.
void KilledRunnerTakesTheToolAlong() {
  const std::string pid_file =
      SelfDirectory() + "\\tool-run-killed-" + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileW(Wide(pid_file).c_str());
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line =
      L"\"" + std::wstring(self) + L"\" --run-tool-and-wait \"" + Wide(pid_file) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION runner = {};
  Check(CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &runner) != 0,
        "the runner starts");
  for (int i = 0; i < 600 && !Exists(pid_file); ++i) Sleep(50);
  Sleep(100);
  TerminateProcess(runner.hProcess, 9);
  WaitForSingleObject(runner.hProcess, INFINITE);
  CloseHandle(runner.hProcess);
  CloseHandle(runner.hThread);
  Check(ProcessInFileEnds(pid_file), "the killed runner's tool's child ended with it");
  DeleteFileW(Wide(pid_file).c_str());
}

// A tool that ends leaving a child that holds its output pipe: RunTool returns when the tool
// ends, as waitpid does on POSIX, and the job ends the leftover rather than waiting a minute.
void ToolsLeftoverDoesNotHoldTheRunUp(const std::string& child) {
  const std::string pid_file =
      SelfDirectory() + "\\tool-run-leftover-" + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileW(Wide(pid_file).c_str());
  const ULONGLONG began = GetTickCount64();
  const ToolRun run = RunTool({child, "--leave-child", pid_file});
  Check(run.Ok(), "the tool that leaves a child ran", run.start_problem + run.Ending());
  // Bounded only against a hang: the leftover sleeps a minute.
  Check(GetTickCount64() - began < 30000, "RunTool returns when the tool ends");
  Check(ProcessInFileEnds(pid_file), "the tool's leftover child was ended");
  DeleteFileW(Wide(pid_file).c_str());
}

void FreeSpaceIsRead() {
  uint64_t bytes = 0;
  Check(stubpack::FreeSpace(SelfDirectory(), bytes) && bytes > 0, "free space of this directory");
  Check(!stubpack::FreeSpace(SelfDirectory() + "\\no such directory 4711\\", bytes),
        "free space of a missing directory is unknown");
  Check(!stubpack::FileSizeLimit(bytes), "Windows has no file size limit");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"--run-tool-and-wait") == 0) {
    RunTool({SelfDirectory() + "\\print-arguments.exe", "--sleep-with-child", Narrow(argv[2])});
    return 0;
  }
  if (argc < 2) {
    std::printf("usage: tool-run-test DOUBLE_DIRECTORY\n");
    return 2;
  }
  const std::string child = SelfDirectory() + "\\print-arguments.exe";
  ArgumentsComeBackAsGiven(child);
  ExitCodesOutputAndStdin(child);
  FoundOnPathOrNamedMissing(Narrow(argv[1]));
  OnlyTheNeededHandlesAreInherited(child);
  PassphraseFileIsReadThenGone(child);
  SignCommandKeepsThePathWhole(child);
  StopToolEndsTheToolAndWhatItStarted(child);
  KilledRunnerTakesTheToolAlong();
  ToolsLeftoverDoesNotHoldTheRunUp(child);
  FreeSpaceIsRead();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
