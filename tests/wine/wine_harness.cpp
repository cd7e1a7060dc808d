#include "tests/wine/wine_harness.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>

#include <fstream>

#include <signal.h>

#include <sstream>

#include <sys/file.h>
#include <sys/wait.h>

#include <system_error>
#include <thread>

#include <unistd.h>

namespace wine_tests {

namespace {

struct DefaultSetting {
  const char* name;
  const char* value;
};

// The build passes these as definitions; the environment overrides them.
constexpr DefaultSetting kDefaults[] = {
    {"STUB_WINDOWS_BIN_DIR", STUB_WINDOWS_BIN_DIR},
    {"STUB_WINE_PREFIX", STUB_WINE_PREFIX},
    {"STUB_SOURCE_DIR", STUB_SOURCE_DIR},
    {"STUB_CMAKE_COMMAND", STUB_CMAKE_COMMAND},
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Holds an exclusive flock on a file for as long as it lives.
class FileLock {
 public:
  explicit FileLock(const fs::path& path)
      : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_;
};

std::string Describe(const ProcessResult& result, const std::vector<std::string>& argv) {
  std::string text = "`";
  for (size_t i = 0; i < argv.size(); ++i) text += (i ? " " : "") + argv[i];
  text += "`: ";
  if (!result.started) return text + "could not be started";
  if (result.timed_out) return text + "timed out; output: " + result.output;
  return text + "exit status " + std::to_string(result.exit_status) + "; output: " + result.output;
}

}  // namespace

std::string Setting(const char* name) {
  if (const char* value = std::getenv(name); value != nullptr && *value != '\0') return value;
  for (const DefaultSetting& setting : kDefaults) {
    if (std::strcmp(setting.name, name) == 0) return setting.value;
  }
  return {};
}

fs::path WindowsBinDir() { return Setting("STUB_WINDOWS_BIN_DIR"); }

std::string WindowsPath(const fs::path& linux_path) {
  std::string text = "Z:" + fs::absolute(linux_path).lexically_normal().string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

size_t Utf16Units(const std::string& utf8) {
  size_t units = 0;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

fs::path DirectoryOfWindowsLength(const fs::path& base, size_t units,
                                  const std::string& character) {
  // Each name costs its characters and the backslash before it.
  const size_t have = Utf16Units(WindowsPath(base)) + 1;
  if (units < have + 2) return {};
  size_t left = units - have;
  fs::path directory = base;
  while (left > 0) {
    // Linux keeps at most 255 bytes a name; a last name of no character cannot be.
    size_t take = std::min<size_t>(left - 1, 80);
    if (left - 1 - take == 1) --take;
    std::string name;
    for (size_t i = 0; i < take; ++i) name += character;
    directory /= name;
    left -= take + 1;
  }
  return directory;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::seconds timeout) {
  ProcessResult result;
  char output_template[] = "/tmp/wine-tests-output-XXXXXX";
  const int output_fd = mkostemp(output_template, O_CLOEXEC);
  if (output_fd < 0) return result;
  const fs::path output_path = output_template;

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(null_fd, STDIN_FILENO);
    dup2(output_fd, STDOUT_FILENO);
    dup2(output_fd, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(output_fd);
  if (pid < 0) {
    fs::remove(output_path);
    return result;
  }
  result.started = true;

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto pause = std::chrono::milliseconds(1);
  int status = 0;
  bool reaped = false;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      reaped = true;
      break;
    }
    if (done < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(20)) pause *= 2;
  }
  if (reaped && WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  result.output = ReadFile(output_path);
  fs::remove(output_path);
  return result;
}

std::string PrepareWine() {
  const fs::path prefix = Setting("STUB_WINE_PREFIX");
  if (prefix.empty()) return "no Wine prefix configured (STUB_WINE_PREFIX)";
  setenv("WINEPREFIX", prefix.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  // No add-on installers: the prefix needs neither and a fresh machine has no display for them.
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);

  std::error_code error;
  fs::create_directories(prefix.parent_path(), error);
  FileLock lock(prefix.string() + ".lock");
  if (!lock.Held()) return "cannot lock " + prefix.string() + ".lock";

  // The stamp is written only after a complete creation, so a prefix cut short is made anew.
  const fs::path stamp = prefix / ".wine-tests-ready";
  if (!fs::exists(stamp)) {
    fs::remove_all(prefix, error);
    const std::vector<std::string> boot = {"wineboot", "-i"};
    const ProcessResult created = RunProcess(boot, std::chrono::seconds(300));
    if (created.exit_status != 0)
      return "creating the Wine prefix failed: " + Describe(created, boot);
    const ProcessResult flushed = RunProcess({"wineserver", "-w"});
    if (flushed.exit_status != 0) return "waiting for the Wine server failed";
    std::ofstream(stamp) << "created by wine-tests\n";
  }

  // A cold server's background services inherit whatever the first client holds open; start
  // them here with nothing attached, and keep the server alive between the test processes.
  // wineserver exits with 2 when one is already running, warm.
  const std::vector<std::string> server = {"wineserver", "-p20"};
  if (RunProcess(server).exit_status == 2) return {};
  const std::vector<std::string> warm = {"wine", "cmd", "/c", "exit"};
  const ProcessResult warmed = RunProcess(warm);
  if (warmed.exit_status != 0) return "starting Wine failed: " + Describe(warmed, warm);
  return {};
}

ProcessResult RunWine(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"wine"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProcess(argv);
}

LaunchResult LaunchRaw(const fs::path& program, const std::string& command_line,
                       const fs::path& scratch) {
  LaunchResult launch;
  const fs::path command_line_file = scratch / "command-line.txt";
  {
    std::ofstream out(command_line_file, std::ios::binary);
    out << command_line;
  }
  const std::vector<std::string> argv = {"wine", (WindowsBinDir() / "launcher.exe").string(),
                                         WindowsPath(program), WindowsPath(command_line_file)};
  ProcessResult run = RunProcess(argv);
  // The launcher always prints a line; a failure with no output at all is Wine not starting it
  // (seen rarely under load), so that one start is tried again.
  if (run.exit_status != 0 && run.output.empty()) run = RunProcess(argv);
  launch.diagnostics = Describe(run, argv);
  if (run.exit_status != 0) return launch;

  const size_t at = run.output.rfind("exit=");
  if (at == std::string::npos) return launch;
  char* end = nullptr;
  const unsigned long long code = std::strtoull(run.output.c_str() + at + 5, &end, 10);
  if (end == run.output.c_str() + at + 5 || code > UINT32_MAX) return launch;
  launch.exit_code = static_cast<uint32_t>(code);
  return launch;
}

ScratchDirectory::ScratchDirectory() {
  char name[] = "/tmp/stub-wine-XXXXXX";
  if (mkdtemp(name) != nullptr) path_ = name;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code error;
  if (!path_.empty()) fs::remove_all(path_, error);
}

std::vector<std::string> ListDirectory(const fs::path& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
    names.push_back(entry.path().filename().string() + (entry.is_directory() ? "/" : ""));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Join(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return "[" + text + "]";
}

}  // namespace wine_tests
