// What the Wine tests need around the real executables: the Windows build's programs, a Wine
// prefix of the build's own, scratch directories, and the full exit code of a stub run.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace wine_tests {

namespace fs = std::filesystem;

// A setting from the environment (ctest passes them), else the value the build compiled in.
std::string Setting(const char* name);

fs::path WindowsBinDir();

// The Linux path as a Windows program under Wine sees it through drive Z:.
std::string WindowsPath(const fs::path& linux_path);

struct ProcessResult {
  bool started = false;
  bool timed_out = false;
  int exit_status = -1;  // the shell's view: the low byte only
  std::string output;    // stdout and stderr, for failure messages
};

// UTF-16 units of a UTF-8 text: one per code point, two beyond the Basic Multilingual Plane.
size_t Utf16Units(const std::string& utf8);

// `base` extended by names of `character` (one UTF-16 unit) until its Windows path with the final
// backslash has `units` units; empty when `base` is already too long for that.
fs::path DirectoryOfWindowsLength(const fs::path& base, size_t units, const std::string& character);

// Runs argv[0] from PATH with stdin from /dev/null; waits at most `timeout`, then kills it.
// Output goes through a file, never a pipe: Wine's background processes may hold a pipe open.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         std::chrono::seconds timeout = std::chrono::seconds(120));

// Creates the prefix once (guarded by a lock, as ctest runs several test processes at once),
// sets WINEPREFIX and WINEDEBUG for this process and its children, and starts the server
// with its output detached. Returns an empty text on success, else what went wrong.
std::string PrepareWine();

// Runs a program under Wine (`wine PROGRAM ARGS...`).
ProcessResult RunWine(const std::vector<std::string>& arguments);

struct LaunchResult {
  std::optional<uint32_t> exit_code;  // the child's full 32-bit code, when the launcher got one
  std::string diagnostics;
};

// Starts `program` through launcher.exe with `command_line` passed to CreateProcessW unchanged.
// `scratch` receives the command-line file and the launcher's output.
LaunchResult LaunchRaw(const fs::path& program, const std::string& command_line,
                       const fs::path& scratch);

// A fresh directory under /tmp, removed with everything in it at the end.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// Names in a directory, sorted, directories marked with a trailing '/'.
std::vector<std::string> ListDirectory(const fs::path& directory);

std::string Join(const std::vector<std::string>& names);

}  // namespace wine_tests
