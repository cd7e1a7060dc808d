// The packer's door to Linux: descriptors, mmap, O_TMPFILE and flock.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include "tools/stubpack/system.h"

namespace stubpack::sys {

namespace {

std::string Error(int error) { return std::strerror(error); }

void FromStat(const struct stat& info, FileStatus& status) {
  status.directory = S_ISDIR(info.st_mode);
  status.regular = S_ISREG(info.st_mode);
  status.size = static_cast<uint64_t>(info.st_size);
  status.modified = info.st_mtime;
  status.volume = static_cast<uint64_t>(info.st_dev);
  status.id = static_cast<uint64_t>(info.st_ino);
}

// The scratch directory of the run, in fixed buffers: a signal handler removes it, and may
// neither allocate nor list a directory. The lock file (index 0) marks the run as alive until
// the directory is gone.
constexpr char kScratchPrefix[] = ".stubpack-";
constexpr const char* kScratchNames[] = {"lock", "setup.cab", "unsigned.exe", "signed.exe",
                                         "installer.exe"};
constexpr int kScratchFiles = sizeof(kScratchNames) / sizeof(kScratchNames[0]);
char g_scratch_dir[4096];
char g_scratch_file[kScratchFiles][4200];
void (*g_stop_tool)() = nullptr;

void RemoveScratch() {
  for (int i = kScratchFiles - 1; i >= 0; --i) {
    if (g_scratch_file[i][0] != '\0') unlink(g_scratch_file[i]);
  }
  if (g_scratch_dir[0] != '\0') rmdir(g_scratch_dir);
}

extern "C" void RemoveScratchAndDie(int signal_number) {
  if (g_stop_tool != nullptr) g_stop_tool();
  RemoveScratch();
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Removes the scratch directories of dead runs in `directory`: those whose lock this run can
// take, and those without a lock file whose PID is gone (a run killed between making the
// directory and locking it).
void RemoveDeadRuns(const std::string& directory, std::vector<std::string>& removed) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.rfind(kScratchPrefix, 0) != 0) continue;
    const std::string path = Join(directory, name);
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    const int lock = open((path + "/lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    bool dead = false;
    if (lock >= 0) {
      dead = flock(lock, LOCK_EX | LOCK_NB) == 0;
    } else if (errno == ENOENT) {
      char* end = nullptr;
      const long pid = std::strtol(name.c_str() + sizeof(kScratchPrefix) - 1, &end, 10);
      dead = pid > 0 && *end == '-' && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    }
    if (dead) {
      if (DIR* inner = opendir(path.c_str())) {
        while (const dirent* file = readdir(inner)) {
          if (std::strcmp(file->d_name, ".") != 0 && std::strcmp(file->d_name, "..") != 0)
            unlink((path + "/" + file->d_name).c_str());
        }
        closedir(inner);
      }
      if (rmdir(path.c_str()) == 0) removed.push_back(path);
    }
    if (lock >= 0) close(lock);
  }
  closedir(listing);
}

mode_t ExecutableMode() {
  // An installer is a program: executable by whoever the umask lets read it.
  const mode_t mask = umask(0);
  umask(mask);
  return 0755 & ~mask;
}

}  // namespace

bool Status(const std::string& path, FileStatus& status, std::string& problem) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    problem = Error(errno);
    return false;
  }
  FromStat(info, status);
  return true;
}

File::~File() {
  if (native_ >= 0) close(static_cast<int>(native_));
}

File::File(File&& other) noexcept : native_(other.native_), end_(other.end_) { other.native_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (native_ >= 0) close(static_cast<int>(native_));
    native_ = other.native_;
    end_ = other.end_;
    other.native_ = -1;
  }
  return *this;
}

void File::Adopt(intptr_t native) {
  if (native_ >= 0) close(static_cast<int>(native_));
  native_ = native;
  end_ = 0;
}

bool File::Valid() const { return native_ >= 0; }

bool File::OpenRead(const std::string& path, std::string& problem) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    problem = "cannot be read: " + Error(errno);
    return false;
  }
  Adopt(fd);
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    problem = "is not a regular file";
    Adopt(-1);
    return false;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return true;
}

bool File::Create(const std::string& path, std::string& problem) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    problem = Error(errno);
    return false;
  }
  Adopt(fd);
  return true;
}

bool File::Info(FileStatus& status, std::string& problem) const {
  struct stat info;
  if (fstat(static_cast<int>(native_), &info) != 0) {
    problem = Error(errno);
    return false;
  }
  FromStat(info, status);
  return true;
}

bool File::Size(uint64_t& size, std::string& problem) const {
  FileStatus status;
  if (!Info(status, problem)) return false;
  size = status.size;
  return true;
}

int64_t File::ReadAt(uint64_t offset, void* data, size_t size, std::string& problem) const {
  for (;;) {
    const ssize_t got = pread(static_cast<int>(native_), data, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) problem = Error(errno);
    return got;
  }
}

bool File::Write(const void* data, size_t size, std::string& problem) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t done = write(static_cast<int>(native_), bytes, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      problem = Error(done < 0 ? errno : ENOSPC);
      return false;
    }
    bytes += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

bool File::WriteAt(uint64_t offset, const void* data, size_t size, std::string& problem) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t done = pwrite(static_cast<int>(native_), bytes, size, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      problem = Error(done < 0 ? errno : ENOSPC);
      return false;
    }
    bytes += done;
    offset += static_cast<uint64_t>(done);
    size -= static_cast<size_t>(done);
  }
  return true;
}

bool File::Close(std::string& problem) {
  if (native_ < 0) return true;
  const int fd = static_cast<int>(native_);
  native_ = -1;
  if (close(fd) != 0) {
    problem = Error(errno);
    return false;
  }
  return true;
}

bool MapWhole(const std::string& path, const uint8_t*& data, uint64_t& size, std::string& problem) {
  File file;
  if (!file.OpenRead(path, problem)) return false;
  if (!file.Size(size, problem)) {
    problem = "cannot be read: " + problem;
    return false;
  }
  if (size == 0) {
    static const uint8_t kNothing = 0;
    data = &kNothing;
    return true;
  }
  void* at = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, static_cast<int>(file.Native()), 0);
  if (at == MAP_FAILED) {
    problem = "cannot be mapped: " + Error(errno);
    size = 0;
    return false;
  }
  data = static_cast<const uint8_t*>(at);
  return true;
}

void Unmap(const uint8_t* data, uint64_t size) {
  if (data != nullptr && size != 0) munmap(const_cast<uint8_t*>(data), size);
}

bool Environment(const char* name, std::string& value) {
  const char* found = std::getenv(name);
  if (found == nullptr) return false;
  value = found;
  return true;
}

std::string SelfPath() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  return directory + (directory.back() == '/' ? "" : "/") + name;
}

namespace {

char16_t MapUnit(char16_t unit, wint_t (*map)(wint_t, locale_t)) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (unicode == static_cast<locale_t>(0)) return unit;
  const wint_t mapped = map(unit, unicode);
  return mapped <= 0xFFFF && (mapped < 0xD800 || mapped > 0xDFFF) ? static_cast<char16_t>(mapped)
                                                                  : unit;
}

}  // namespace

char16_t UpperCaseUnit(char16_t unit) { return MapUnit(unit, towupper_l); }

char16_t LowerCaseUnit(char16_t unit) { return MapUnit(unit, towlower_l); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

// The installer is built in a file without a name (O_TMPFILE) that gets one only when it is
// whole, so a run killed by any signal leaves nothing of it. What must have a name (the cabinet,
// the files a signer reads and writes) lives in a scratch directory beside the output,
// ".stubpack-PID-XXXXXX", whose lock file the run holds locked for its whole life: a later run
// that can take that lock knows the run is gone (whatever became of its PID) and removes the
// directory. Caught signals and failures remove it at once.
bool OutputFile::Begin(const std::string& output, const char* name, std::string& problem) {
  output_ = output;
  const std::string directory = DirectoryOf(output);
  RemoveDeadRuns(directory, removed_);
  const std::string pattern =
      Join(directory, kScratchPrefix + std::to_string(getpid()) + "-XXXXXX");
  if (pattern.size() >= sizeof(g_scratch_dir) - 64) {
    problem = "the output's directory path is too long";
    return false;
  }
  std::strcpy(g_scratch_dir, pattern.c_str());
  signal(SIGXFSZ, SIG_IGN);  // a file-size limit then fails the write, which cleans up
  if (mkdtemp(g_scratch_dir) == nullptr) {
    problem = "cannot create a temporary directory beside the output: " + Error(errno);
    g_scratch_dir[0] = '\0';
    return false;
  }
  scratch_ = g_scratch_dir;
  for (int i = 0; i < kScratchFiles; ++i)
    std::snprintf(g_scratch_file[i], sizeof(g_scratch_file[i]), "%s/%s", g_scratch_dir,
                  kScratchNames[i]);
  // Locked before it takes its name: a lock file that can be locked is a dead run's.
  const std::string unlocked = scratch_ + "/lock.new";
  const int lock = open(unlocked.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  lock_ = lock;
  if (lock < 0 || flock(lock, LOCK_EX) != 0 || rename(unlocked.c_str(), g_scratch_file[0]) != 0) {
    problem = "cannot lock a temporary directory beside the output: " + Error(errno);
    unlink(unlocked.c_str());
    return false;
  }
  int fd = name != nullptr ? -1 : open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0700);
  hidden_ = fd >= 0
                ? Hidden::kUnnamed
                : Hidden::kNamed;  // else the file system keeps no unnamed files: named after all
  if (hidden_ == Hidden::kNamed) {
    path_ = ScratchPath(name != nullptr ? name : "installer.exe");
    fd = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
  }
  if (fd < 0) {
    problem = "cannot create a temporary file beside the output: " + Error(errno);
    return false;
  }
  file_.Adopt(fd);
  return true;
}

OutputFile::~OutputFile() {
  std::string ignored;
  file_.Close(ignored);
  if (!scratch_.empty()) RemoveScratch();
  if (lock_ >= 0) close(static_cast<int>(lock_));
  g_scratch_dir[0] = '\0';
  for (char* file : g_scratch_file) file[0] = '\0';
}

std::string OutputFile::ScratchPath(const char* name) const { return Join(scratch_, name); }

std::string OutputFile::Describe() const {
  return hidden_ == Hidden::kUnnamed ? "an unnamed file in " + DirectoryOf(output_) : path_;
}

bool OutputFile::Name(std::string& problem) {
  if (!file_.Valid()) return true;
  const int fd = static_cast<int>(file_.Native());
  if (fchmod(fd, ExecutableMode()) != 0) {
    problem = "cannot write: " + Error(errno);
    return false;
  }
  // linkat cannot replace a file: a name in the scratch directory first, then Commit's rename.
  if (hidden_ == Hidden::kUnnamed) {
    path_ = ScratchPath("installer.exe");
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      problem = "cannot write: " + Error(errno);
      return false;
    }
    hidden_ = Hidden::kNamed;
  }
  if (!file_.Close(problem)) {
    problem = "cannot write: " + problem;
    return false;
  }
  return true;
}

bool OutputFile::Commit(const std::string& finished, std::string& problem) {
  if (file_.Valid() && !Name(problem)) return false;
  if (chmod(finished.c_str(), ExecutableMode()) != 0) {
    problem = "cannot be written: " + Error(errno);
    return false;
  }
  // No fsync: the rename makes the result appear whole to every other process, which is what a
  // build needs; forcing 1 GiB to the disk would triple the time for a file made again at will.
  if (rename(finished.c_str(), output_.c_str()) != 0) {
    problem = "cannot be written: " + Error(errno);
    return false;
  }
  return true;
}

void PrepareOutput() {}

void OnInterrupt(void (*stop_tool)()) {
  g_stop_tool = stop_tool;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, RemoveScratchAndDie);
}

}  // namespace stubpack::sys
