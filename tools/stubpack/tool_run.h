// Starting the programs that signing needs (osslsigncode, openssl, the user's --sign-command)
// and handing them what they read by a path. tool_run_posix.cpp and tool_run_windows.cpp
// implement it; signing.cpp is the same on both systems.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stubpack {

struct ToolRun {
  bool started = false;
  bool not_found = false;     // the program is not installed or not on PATH
  std::string start_problem;  // the system's text when it could not be started
  bool exited = false;        // else ended by a signal (POSIX only)
  int64_t status = 0;         // the exit status (Windows: the whole 32-bit code)
  int signal_number = 0;
  std::string output;  // stdout and stderr together
  bool Ok() const { return started && exited && status == 0; }
  // "exited with 3", "was killed by signal 15".
  std::string Ending() const;
};

// Runs args[0], found on PATH as the system finds programs, with the rest as its arguments,
// each arriving exactly as given. stdin is the null device; stdout and stderr are kept in
// `output`. The program runs where the terminal's Ctrl+C does not reach it (a session of its
// own; a job on Windows) and cannot prompt, and StopTool ends it with what it started. The run
// ends when the tool does; on Windows whatever the tool left running is ended with it.
ToolRun RunTool(const std::vector<std::string>& args);

// Runs the user's --sign-command text through the system's shell with each {} standing for
// `path`, which is never read as shell text (POSIX: /bin/sh -c with "$1"; Windows:
// cmd.exe /d /s /c with "%STUBPACK_SIGN_FILE%", the path in that variable).
ToolRun RunSignCommand(const std::string& command, const std::string& path);

// The command line RunSignCommand hands to the shell: the text with {} replaced.
std::string SignCommandScript(const std::string& command);

// Why RunSignCommand cannot keep the path whole in this command's text, or empty when it can
// (Windows: a {} inside the text's own quotes would leave the path outside quotes).
std::string SignCommandProblem(const std::string& command);

// Ends the running tool, if any, with everything it started, and waits for it. Safe from a
// signal handler (POSIX) and from the console control handler's thread (Windows).
void StopTool();

// Removes a variable from this process's environment, so that no child inherits it.
void ForgetVariable(const std::string& name);

// osslsigncode's default trust (its -CAfile), to add to a trust list; empty when the system
// keeps no such file.
std::string SystemCertificates();

// How this system gets a tool that is not installed, for the message that says so.
std::string InstallHint(const char* tool);

// Bytes that a tool reads or writes by a path, gone when this object is. A secret (a
// passphrase) is never stored in a file any other process can open: POSIX hands an anonymous
// memory file as /dev/fd/N, Windows a named pipe that serves it once to this user only. Other
// contents (a signature, a trust list) may be a scratch file; a tool can write those too.
class ToolFile {
 public:
  ToolFile() = default;
  ~ToolFile();
  ToolFile(const ToolFile&) = delete;
  ToolFile& operator=(const ToolFile&) = delete;

  // A secret is written once, before the tool that reads it starts.
  bool Create(const char* name, bool secret, std::string& problem);
  const std::string& Path() const { return path_; }
  // Appends `text`.
  bool Write(const std::string& text, std::string& problem);
  // Everything in it, whoever wrote it (not for a secret).
  bool ReadAll(std::string& text, std::string& problem) const;
  // Ends it before the next tool starts, so that no other tool could reach it.
  void Close();

 private:
  std::string path_;
  intptr_t native_ = -1;  // descriptor, or the pipe's serving state on Windows
  bool secret_ = false;
};

// Room for the signed installer beside `directory`: false when the system cannot tell.
bool FreeSpace(const std::string& directory, uint64_t& bytes);
// The largest file this process may write; false when there is no limit (always on Windows).
bool FileSizeLimit(uint64_t& bytes);

}  // namespace stubpack
