// Tools on POSIX: posix_spawnp in a session of its own, output in a memory file, secrets and
// scratch contents as /dev/fd/N of an anonymous memory file.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/stubpack/tool_run.h"

extern char** environ;

namespace stubpack {

namespace {

// osslsigncode's own default -CAfile (it prints it in --version); the system's trust.
constexpr char kSystemCertificates[] = "/etc/ssl/certs/ca-certificates.crt";

// The tool running now, for StopTool from a signal handler: its session's process group, so
// that a --sign-command's own children end with it.
volatile pid_t g_running_tool = 0;

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadFrom(int fd) {
  std::string text;
  char buffer[8192];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buffer, sizeof(buffer), at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return text;
}

}  // namespace

std::string ToolRun::Ending() const {
  return exited ? "exited with " + std::to_string(status)
                : "was killed by signal " + std::to_string(signal_number);
}

// A session of its own leaves the tool no terminal to prompt on (OpenSSL opens /dev/tty for a
// passphrase whatever its stdin is).
ToolRun RunTool(const std::vector<std::string>& args) {
  ToolRun run;
  const int log = memfd_create("stubpack-tool-output", MFD_CLOEXEC);
  if (log < 0) {
    run.start_problem = std::strerror(errno);
    return run;
  }
  std::vector<std::string> copies = args;
  std::vector<char*> argv;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, log, 1);
  posix_spawn_file_actions_adddup2(&actions, log, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    run.not_found = error == ENOENT;
    run.start_problem = std::strerror(error);
    close(log);
    return run;
  }
  run.started = true;
  g_running_tool = pid;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  g_running_tool = 0;
  run.exited = WIFEXITED(status);
  run.status = run.exited ? WEXITSTATUS(status) : 0;
  run.signal_number = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  run.output = ReadFrom(log);
  close(log);
  return run;
}

std::string SignCommandScript(const std::string& command) {
  std::string script;
  for (size_t i = 0; i < command.size(); ++i) {
    if (command.compare(i, 2, "{}") == 0) {
      script += "\"$1\"";
      ++i;
    } else {
      script += command[i];
    }
  }
  return script;
}

// "$1" is one word wherever it stands, inside the text's own quotes too.
std::string SignCommandProblem(const std::string&) { return {}; }

ToolRun RunSignCommand(const std::string& command, const std::string& path) {
  ToolRun run = RunTool({"/bin/sh", "-c", SignCommandScript(command), "stubpack-sign", path});
  // The shell itself is always there; a missing one is a broken system, not a missing tool.
  run.not_found = false;
  return run;
}

void StopTool() {
  const pid_t pid = g_running_tool;
  if (pid <= 0) return;
  kill(-pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

void ForgetVariable(const std::string& name) { unsetenv(name.c_str()); }

std::string SystemCertificates() { return kSystemCertificates; }

std::string InstallHint(const char* tool) { return std::string("Debian: apt-get install ") + tool; }

ToolFile::~ToolFile() { Close(); }

// Inherited (no close-on-exec) so that the tool opens /dev/fd/N; gone with the last descriptor.
bool ToolFile::Create(const char* name, bool secret, std::string& problem) {
  Close();
  const int fd = memfd_create(name, 0);
  if (fd < 0) {
    problem = std::strerror(errno);
    return false;
  }
  native_ = fd;
  secret_ = secret;
  path_ = "/dev/fd/" + std::to_string(fd);
  return true;
}

bool ToolFile::Write(const std::string& text, std::string& problem) {
  const int fd = static_cast<int>(native_);
  if (fd < 0 || lseek(fd, 0, SEEK_END) < 0 || !WriteAll(fd, text) || lseek(fd, 0, SEEK_SET) != 0) {
    problem = std::strerror(errno);
    return false;
  }
  return true;
}

bool ToolFile::ReadAll(std::string& text, std::string& problem) const {
  if (native_ < 0) {
    problem = std::strerror(EBADF);
    return false;
  }
  text = ReadFrom(static_cast<int>(native_));
  return true;
}

void ToolFile::Close() {
  if (native_ >= 0) close(static_cast<int>(native_));
  native_ = -1;
  path_.clear();
}

bool FreeSpace(const std::string& directory, uint64_t& bytes) {
  struct statvfs volume;
  if (statvfs(directory.c_str(), &volume) != 0) return false;
  bytes = uint64_t{volume.f_bavail} * volume.f_frsize;
  return true;
}

bool FileSizeLimit(uint64_t& bytes) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return false;
  bytes = limit.rlim_cur;
  return true;
}

}  // namespace stubpack
