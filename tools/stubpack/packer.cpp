#include "tools/stubpack/packer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>

#include <fstream>
#include <iostream>

#include <signal.h>

#include <sstream>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/stubpack/cabinet.h"
#include "tools/stubpack/embedded.h"
#include "tools/stubpack/icon_group.h"
#include "tools/stubpack/layout.h"
#include "tools/stubpack/mapped_file.h"
#include "tools/stubpack/pe_image.h"
#include "tools/stubpack/progress.h"
#include "tools/stubpack/report.h"
#include "tools/stubpack/resource_tree.h"
#include "tools/stubpack/sha256.h"
#include "tools/stubpack/version_info.h"

namespace stubpack {

namespace {

constexpr uint64_t kMaxField = 0xFFFFFFFF;
constexpr size_t kChunk = 1 << 20;
constexpr uint16_t kTypeIcon = 3, kTypeGroupIcon = 14, kTypeVersion = 16, kTypeManifest = 24;
constexpr uint16_t kIconGroupId = 107;
// The names installers have always carried. Predict checks before writing that the scan takes
// them for the archive and setup; a static_assert cannot, as GCC with -fsanitize=undefined does
// not fold core's prefix test (its null checks) at compile time.
constexpr char16_t kArchiveName[] = u"NIMBET.PACKED.7Z";
constexpr char16_t kCabinetName[] = u"SETUP.EX_";

// The installer is built in a file without a name (O_TMPFILE) that gets one only when it is
// whole, so a run killed by any signal leaves nothing of it. What must have a name (the cabinet
// of setup, the files osslsigncode reads and writes) lives in a scratch directory beside
// the output, ".stubpack-PID-XXXXXX", whose lock file the run holds locked for its whole life: a
// later run that can take that lock knows the run is gone (whatever became of its PID) and
// removes the directory. Caught signals and failures remove it at once.
constexpr int kScratchFiles = 5;
constexpr char kScratchPrefix[] = ".stubpack-";
char g_scratch_dir[4096];
char g_scratch_file[kScratchFiles][4200];

void RemoveScratch() {
  // The lock file (index 0) last: until the directory is gone it marks the run as alive.
  for (int i = kScratchFiles - 1; i >= 0; --i) {
    if (g_scratch_file[i][0] != '\0') unlink(g_scratch_file[i]);
  }
  if (g_scratch_dir[0] != '\0') rmdir(g_scratch_dir);
}

extern "C" void RemoveScratchAndDie(int signal_number) {
  StopSigningTool();
  RemoveScratch();
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

std::string DirectoryOf(const std::string& output) {
  const size_t slash = output.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : output.substr(0, slash);
}

// Removes the scratch directories of dead runs in `directory`: those whose lock this run can
// take, and those without a lock file whose PID is gone (a run killed between making the
// directory and locking it).
void RemoveDeadRuns(const std::string& directory) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.rfind(kScratchPrefix, 0) != 0) continue;
    const std::string path = directory + "/" + name;
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
      if (rmdir(path.c_str()) == 0) Detail("stubpack: removed " + path + ", left by a killed run");
    }
    if (lock >= 0) close(lock);
  }
  closedir(listing);
}

class Scratch {
 public:
  bool Create(const std::string& output, std::string& problem) {
    const std::string directory = DirectoryOf(output);
    RemoveDeadRuns(directory);
    const std::string pattern =
        directory + "/" + kScratchPrefix + std::to_string(getpid()) + "-XXXXXX";
    if (pattern.size() >= sizeof(g_scratch_dir) - 64) {
      problem = "the output's directory path is too long";
      return false;
    }
    std::strcpy(g_scratch_dir, pattern.c_str());
    for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, RemoveScratchAndDie);
    signal(SIGXFSZ, SIG_IGN);  // a file-size limit then fails the write, which cleans up
    if (mkdtemp(g_scratch_dir) == nullptr) {
      problem = "cannot create a temporary directory beside the output: " +
                std::string(std::strerror(errno));
      g_scratch_dir[0] = '\0';
      return false;
    }
    const char* names[kScratchFiles] = {"lock", "setup.cab", "unsigned.exe", "signed.exe",
                                        "installer.exe"};
    for (int i = 0; i < kScratchFiles; ++i)
      std::snprintf(g_scratch_file[i], sizeof(g_scratch_file[i]), "%s/%s", g_scratch_dir, names[i]);
    // Locked before it takes its name: a lock file that can be locked is a dead run's.
    const std::string unnamed = std::string(g_scratch_dir) + "/lock.new";
    lock_ = open(unnamed.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (lock_ < 0 || flock(lock_, LOCK_EX) != 0 ||
        rename(unnamed.c_str(), g_scratch_file[0]) != 0) {
      unlink(unnamed.c_str());
      problem = "cannot lock a temporary directory beside the output: " +
                std::string(std::strerror(errno));
      return false;
    }
    return true;
  }
  ~Scratch() {
    RemoveScratch();
    if (lock_ >= 0) close(lock_);
    g_scratch_dir[0] = '\0';
    for (char* file : g_scratch_file) file[0] = '\0';
  }
  static std::string File(int i) { return g_scratch_file[i]; }

 private:
  int lock_ = -1;
};

enum ScratchFile { kLock = 0, kCabinet = 1, kUnsigned = 2, kSigned = 3, kNamed = 4 };

struct Input {
  std::string path;
  const char* role;
  struct stat info;
};

bool Readable(const std::string& path, struct stat& info, std::string& problem) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    problem = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  const bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  close(fd);
  if (!ok) problem = "is not a regular file";
  return ok;
}

bool ReadWhole(const std::string& path, Bytes& bytes, std::string& problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem = "cannot be read";
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// SOURCE_DATE_EPOCH when set, else the setup's (or the archive's) modification time.
bool PackingTime(const PackOptions& o, const std::vector<Input>& inputs, int64_t& seconds,
                 std::string& problem) {
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr && *epoch != '\0') {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(epoch, &end, 10);
    if (*end != '\0' || errno != 0 || value < 0) {
      problem = "SOURCE_DATE_EPOCH must be a number of seconds since 1970: \"" +
                std::string(epoch) + "\"";
      return false;
    }
    seconds = value;
    return true;
  }
  seconds = 0;
  for (const std::string& wanted : {o.setup, o.archive}) {
    for (const Input& input : inputs) {
      if (!wanted.empty() && input.path == wanted) {
        seconds = input.info.st_mtime;
        return true;
      }
    }
  }
  return true;
}

class OutputWriter {
 public:
  OutputWriter(int fd, Progress& progress) : fd_(fd), progress_(progress) {}
  bool Write(const uint8_t* data, size_t size) {
    checksum_.Add(data, size);
    ProgressAdvance(progress_, size);
    while (size > 0) {
      const ssize_t done = write(fd_, data, size);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) {
        error_ = done < 0 ? errno : ENOSPC;
        return false;
      }
      data += done;
      size -= static_cast<size_t>(done);
      written_ += static_cast<uint64_t>(done);
    }
    return true;
  }
  bool Zeros(uint64_t count) {
    static const uint8_t kZeros[4096] = {};
    while (count > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof(kZeros)));
      if (!Write(kZeros, n)) return false;
      count -= n;
    }
    return true;
  }
  // Streams `size` bytes of `path` from `from`; the file must still hold them.
  bool Copy(const std::string& path, uint64_t from, uint64_t size, std::string& problem) {
    const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
      problem = path + ": cannot be read: " + std::strerror(errno);
      return false;
    }
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    buffer_.resize(kChunk);
    uint64_t done = 0;
    while (done < size) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, size - done));
      const ssize_t got = pread(in, buffer_.data(), want, static_cast<off_t>(from + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        problem = path + (got < 0 ? ": cannot be read: " + std::string(std::strerror(errno))
                                  : ": became shorter while it was packed");
        close(in);
        return false;
      }
      if (!Write(buffer_.data(), static_cast<size_t>(got))) {
        close(in);
        return false;
      }
      done += static_cast<uint64_t>(got);
    }
    close(in);
    return true;
  }
  uint64_t Written() const { return written_; }
  int Error() const { return error_; }
  uint32_t Checksum() const { return checksum_.Finish(written_); }

 private:
  int fd_;
  Progress& progress_;
  PeChecksum checksum_;
  uint64_t written_ = 0;
  int error_ = 0;
  std::vector<uint8_t> buffer_;
};

// The digest and size of what `fd` holds, read from its start.
bool HashFile(int fd, const std::string& label, uint64_t& size, std::string& digest,
              std::string& problem) {
  struct stat info;
  Progress progress;
  ProgressStart(progress, label, fstat(fd, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0);
  std::vector<uint8_t> buffer(kChunk);
  Sha256 hash;
  size = 0;
  for (;;) {
    const ssize_t got = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(size));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      problem = "cannot read back the installer: " + std::string(std::strerror(errno));
      return false;
    }
    if (got == 0) break;
    Sha256Add(hash, buffer.data(), static_cast<size_t>(got));
    size += static_cast<uint64_t>(got);
    ProgressAdvance(progress, static_cast<uint64_t>(got));
  }
  ProgressEnd(progress);
  digest = HexDigest(Sha256Finish(hash));
  return true;
}

// The installer's version block from setup's own version resource and the options; kExitOk or
// the failure's status, reported.
int InstallerVersionBlock(const PackOptions& o, VersionBlock& block, Bytes& bytes) {
  std::string problem;
  VersionInfo setup_version;
  bool present = false;
  std::string unread;
  if (!o.setup.empty()) {
    MappedFile setup;
    if (!setup.Open(o.setup, problem)) return Fail(kExitIo, o.setup, problem);
    if (!ReadImageVersionInfo(setup.Data(), setup.Size(), setup_version, present, unread))
      present = false;
  }
  const size_t slash = o.output.rfind('/');
  const std::string output_name =
      slash == std::string::npos ? o.output : o.output.substr(slash + 1);
  std::vector<VersionWarning> warnings;
  if (!ComposeInstallerVersion(o.version, present ? &setup_version : nullptr, o.setup, output_name,
                               block, warnings, problem))
    return Fail(kExitRefused, "", problem);
  for (const VersionWarning& w : warnings) Warn(w.file, w.message);
  const std::vector<std::string> missing = MissingShownKeys(block);
  if (!o.setup.empty() && !present && (!unread.empty() || !missing.empty())) {
    std::string keys, options;
    for (const std::string& key : missing) {
      keys += (keys.empty() ? "" : ", ") + key;
      options += (options.empty() ? "--" : ", --") + OptionForKey(key);
    }
    Warn(o.setup, (unread.empty() ? std::string("has no version resource")
                                  : "its version resource cannot be read (" + unread + ")") +
                      (missing.empty() ? std::string(": the installer's version block takes "
                                                     "nothing from it")
                                       : ": the installer's version block leaves out " + keys +
                                             " (options: " + options + ")"));
  }
  if (!BuildVersionBlock(block, bytes, problem)) return Fail(kExitRefused, "", problem);
  return kExitOk;
}

}  // namespace

int Pack(const PackOptions& o) {
  const auto started = std::chrono::steady_clock::now();
  std::string problem;
  std::vector<Input> inputs;
  const auto add_input = [&](const std::string& path, const char* role) {
    Input input{path, role, {}};
    if (!Readable(path, input.info, problem)) return false;
    inputs.push_back(input);
    return true;
  };
  if (!o.archive.empty() && !add_input(o.archive, "archive"))
    return Fail(kExitIo, o.archive, problem);
  if (!o.setup.empty() && !add_input(o.setup, "setup")) return Fail(kExitIo, o.setup, problem);
  if (!add_input(o.stub, "stub"))
    return Fail(kExitIo, o.stub,
                problem + (o.stub.empty() ? "" : " (the stub; --stub names another)"));
  if (!o.icon.empty() && !add_input(o.icon, "icon")) return Fail(kExitIo, o.icon, problem);
  for (const RawResource& r : o.resources) {
    if (!add_input(r.file, "resource")) return Fail(kExitIo, r.file, problem);
  }
  const bool signing = SigningRequested(o.signing);
  if (signing) {
    if (const int status = CheckSigningSettings(o.signing); status != kExitOk) return status;
  }
  struct stat out_info;
  if (stat(o.output.c_str(), &out_info) == 0) {
    if (S_ISDIR(out_info.st_mode)) return Fail(kExitIo, o.output, "the output is a directory");
    for (const Input& input : inputs) {
      if (input.info.st_dev == out_info.st_dev && input.info.st_ino == out_info.st_ino)
        return Fail(kExitRefused, o.output,
                    std::string("the output is the same file as the ") + input.role +
                        " input; it would be overwritten while it is read");
    }
  }

  StubImage stub;
  if (!ReadStubImage(o.stub, stub, problem)) return Fail(kExitRefused, o.stub, problem);
  if (!o.setup.empty()) {
    Bytes head;
    uint64_t size = 0;
    PeHeaders pe;
    if (!ReadHead(o.setup, head, size, problem) || !ParsePe(head, pe, problem))
      return Fail(kExitRefused, o.setup, problem + " (setup must be a PE executable)");
    if (!(pe.characteristics & 0x0002) || (pe.characteristics & 0x2000))
      return Fail(kExitRefused, o.setup,
                  "not a PE executable: it is marked as a library or as not runnable");
  }
  if (!o.archive.empty()) {
    Bytes head;
    uint64_t size = 0;
    static const uint8_t k7z[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
    if (ReadHead(o.archive, head, size, problem) &&
        (head.size() < 6 || !std::equal(k7z, k7z + 6, head.begin())))
      Warn(o.archive,
           "not a 7z archive (no 7z signature); the stub never reads the archive, "
           "but setup will");
  }
  VersionBlock version;
  Bytes version_block;
  if (const int status = InstallerVersionBlock(o, version, version_block); status != kExitOk)
    return status;
  Bytes icon_file;
  if (o.icon.empty()) {
    icon_file.assign(kDefaultIcon, kDefaultIcon + kDefaultIconSize);
  } else if (!ReadWhole(o.icon, icon_file, problem)) {
    return Fail(kExitIo, o.icon, problem);
  }
  IconGroup icon;
  if (!ReadIconGroup(icon_file, icon, problem))
    return Fail(kExitRefused, o.icon.empty() ? "the built-in icon" : o.icon, problem);
  for (const std::string& difference : icon.differences)
    Warn(o.icon, "the icon departs from the installer's ten images: " + difference);
  int64_t seconds = 0;
  if (!PackingTime(o, inputs, seconds, problem)) return Fail(kExitUsage, "", problem);

  Scratch scratch;
  if (!scratch.Create(o.output, problem)) return Fail(kExitIo, o.output, problem);

  // The resources, then the directory's order.
  std::vector<ResourceEntry> entries;
  const auto file_entry = [&](ResourceId type, ResourceId name, const std::string& path,
                              const std::string& origin) {
    ResourceEntry e;
    e.type = type;
    e.name = name;
    e.path = path;
    struct stat info;
    e.size = stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    e.origin = origin;
    entries.push_back(e);
  };
  const auto bytes_entry = [&](uint16_t type, uint16_t name, Bytes bytes,
                               const std::string& origin) {
    ResourceEntry e;
    e.type = ResourceId::Number(type);
    e.name = ResourceId::Number(name);
    e.size = bytes.size();
    e.bytes = std::move(bytes);
    e.origin = origin;
    entries.push_back(e);
  };
  // The archive under the first type the stub scans, setup under the type of its storage.
  if (!o.archive.empty())
    file_entry(ResourceId::Name(Units(payload_layout::kTypes[0])), ResourceId::Name(kArchiveName),
               o.archive, o.archive);
  if (!o.setup.empty()) {
    if (o.plain_setup) {
      file_entry(TypeOfStorage(payload_layout::SetupStorage::kPlain),
                 ResourceId::Name(Units(payload_layout::kSetupFileName)), o.setup, o.setup);
    } else {
      const CabinetOutcome cabinet =
          WriteSetupCabinet(o.setup, Scratch::File(kCabinet), seconds, problem);
      if (cabinet != CabinetOutcome::kWritten)
        return Fail(cabinet == CabinetOutcome::kTooLarge ? kExitRefused : kExitIo, o.setup,
                    problem);
      file_entry(TypeOfStorage(payload_layout::SetupStorage::kCabinet),
                 ResourceId::Name(kCabinetName), Scratch::File(kCabinet), o.setup);
    }
  }
  for (const RawResource& r : o.resources) {
    ResourceId type, name;
    if (!ParseResourceId(r.type, type, problem) || !ParseResourceId(r.name, name, problem))
      return Fail(kExitUsage, r.file, "--resource " + r.type + " " + r.name + ": " + problem);
    file_entry(type, name, r.file, r.file);
  }
  bytes_entry(kTypeManifest, 1, Bytes(kManifest, kManifest + kManifestSize), "the manifest");
  for (size_t i = 0; i < icon.images.size(); ++i)
    bytes_entry(kTypeIcon, static_cast<uint16_t>(i + 1), icon.images[i], "the icon");
  bytes_entry(kTypeGroupIcon, kIconGroupId, icon.directory, "the icon");
  bytes_entry(kTypeVersion, 1, version_block, "the version block");
  std::stable_sort(entries.begin(), entries.end(),
                   [](const ResourceEntry& a, const ResourceEntry& b) {
                     return a.type == b.type ? a.name < b.name : a.type < b.type;
                   });
  for (size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].type == entries[i - 1].type && entries[i].name == entries[i - 1].name)
      return Fail(kExitRefused, entries[i].origin,
                  "resource " + entries[i].type.Display() + "/" + entries[i].name.Display() +
                      " is also given by " + entries[i - 1].origin + "; each name appears once");
  }
  for (const ResourceEntry& e : entries) {
    if (e.size > kMaxField)
      return Fail(kExitRefused, e.origin,
                  "too large: " + std::to_string(e.size) +
                      " bytes; a resource's size is 32 bits, so it must stay below 4 GiB");
  }

  // Predicted even when unchecked: a setup that asks for elevation has an option of its own.
  std::vector<ListedResource> listed;
  for (const ResourceEntry& e : entries) listed.push_back({e.type, e.name, e.size});
  std::string unreadable;  // a setup that cannot be mapped: no verdict, a failure of the packer's
  const Verdict v = Predict(listed, [&](size_t i, payload_layout::SetupStorage storage) {
    MappedFile setup;
    if (!setup.Open(entries[i].path, unreadable)) {
      unreadable = entries[i].path + ": " + unreadable;
      return SetupFindings();
    }
    return InspectSetup(setup.Data(), setup.Size(), storage);
  });
  if (!unreadable.empty()) return Fail(kExitIo, "", unreadable);
  if (!o.unchecked &&
      (!v.broken.empty() || (v.exit_code != StubExitCode::SUCCESS && v.elevation.empty()))) {
    for (const Verdict::Broken& b : v.broken)
      Fail(kExitRefused, b.index >= 0 ? entries[b.index].origin : "",
           "the layout breaks a rule: " + b.rule);
    if (v.broken.empty())
      Fail(kExitRefused, "",
           "the stub would end with " + std::to_string(v.exit_code) + ": " + v.reason);
    return Fail(kExitRefused, "", "nothing written; --unchecked writes such a layout for tests");
  }
  if (!v.elevation.empty() && !o.allow_elevating_setup) {
    const std::string& setup = entries[static_cast<size_t>(v.setup)].origin;
    Fail(kExitRefused, setup,
         "on Windows with User Account Control the installer would end with " +
             std::to_string(StubExitCode::SETUP_LAUNCH_FAILED) + ": " + v.elevation);
    Fail(kExitRefused, setup,
         "setup must start unelevated (requestedExecutionLevel asInvoker) and elevate only a part "
         "of itself: a helper process that it starts with elevation and waits for, so that the "
         "stub can remove the work directory once setup has ended");
    return Fail(kExitRefused, "",
                "nothing written; --allow-elevating-setup packs such a setup anyway");
  }

  const uint32_t rsrc_rva = stub.next_rva;
  const uint64_t rsrc_offset = AlignUp(stub.file_size, kResourceFileAlignment);
  const SectionLayout layout = LayOutSection(entries, rsrc_rva);
  for (size_t i = 0; i < entries.size(); ++i)
    Detail("stubpack: " + entries[i].type.Display() + "/" + entries[i].name.Display() + ": " +
           std::to_string(entries[i].size) + " bytes at offset " +
           std::to_string(rsrc_offset + layout.data_offset[i]) + ", from " + entries[i].origin);
  const uint64_t raw_size = AlignUp(layout.size, stub.pe.file_alignment);
  const uint64_t image_end = AlignUp(uint64_t{rsrc_rva} + layout.size, stub.pe.section_alignment);
  if (image_end > kMaxField || rsrc_offset + raw_size > kMaxField)
    return Fail(kExitRefused, "",
                "the payload is too large for the image: the resource section would need " +
                    std::to_string(layout.size) +
                    " bytes, and the image's size, the section's size and its file offset "
                    "are 32-bit fields (at most 4 GiB with the stub)");

  uint32_t checksum_offset = 0;
  const Bytes headers = PackedHeaders(stub, rsrc_rva, static_cast<uint32_t>(layout.size),
                                      static_cast<uint32_t>(rsrc_offset),
                                      static_cast<uint32_t>(raw_size), checksum_offset);
  // Signing reads a named file; otherwise the installer has no name until it is whole.
  const bool named = signing || std::getenv("STUBPACK_TEST_NO_TMPFILE") != nullptr;
  const std::string named_path = Scratch::File(signing ? kUnsigned : kNamed);
  int fd = named ? -1 : open(DirectoryOf(o.output).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0700);
  const bool unnamed = fd >= 0;  // else the file system keeps no unnamed files: named after all
  if (!unnamed) fd = open(named_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
  if (fd < 0)
    return Fail(
        kExitIo, o.output,
        "cannot create a temporary file beside the output: " + std::string(std::strerror(errno)));
  Detail(std::string("stubpack: writing ") +
         (unnamed ? "an unnamed file in " + DirectoryOf(o.output) : named_path));
  const size_t slash = o.output.rfind('/');
  const std::string base = slash == std::string::npos ? o.output : o.output.substr(slash + 1);
  Progress progress;
  ProgressStart(progress, "writing " + base, rsrc_offset + raw_size);
  OutputWriter writer(fd, progress);
  bool ok = writer.Write(headers.data(), headers.size()) &&
            writer.Copy(o.stub, stub.pe.size_of_headers, stub.file_size - stub.pe.size_of_headers,
                        problem) &&
            writer.Zeros(rsrc_offset - writer.Written()) &&
            writer.Write(layout.directory.data(), layout.directory.size());
  for (size_t i = 0; ok && i < entries.size(); ++i) {
    const ResourceEntry& e = entries[i];
    ok = writer.Zeros(rsrc_offset + layout.data_offset[i] - writer.Written()) &&
         (e.path.empty() ? writer.Write(e.bytes.data(), e.bytes.size())
                         : writer.Copy(e.path, 0, e.size, problem));
  }
  ok = ok && writer.Zeros(rsrc_offset + raw_size - writer.Written());
  ProgressEnd(progress);
  const auto write_failed = [&](int error) {
    problem = o.output + ": cannot write: " + std::strerror(error);
    return false;
  };
  if (!ok && writer.Error() != 0) write_failed(writer.Error());
  if (ok) {
    uint8_t sum[4];
    SetU32(sum, writer.Checksum());
    ok = pwrite(fd, sum, 4, checksum_offset) == 4 || write_failed(errno);
  }
  // An installer is a program: executable by whoever the umask lets read it.
  const mode_t mask = umask(0);
  umask(mask);
  ok = ok && (fchmod(fd, 0755 & ~mask) == 0 || write_failed(errno));
  // The name, once whole: linkat cannot replace a file, so a name in the scratch directory
  // first, then rename over the output.
  if (ok && unnamed) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    ok = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named_path.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
         write_failed(errno);
  }
  std::string finished = named_path;
  if (ok && signing) {
    close(fd);
    fd = -1;
    SigningSettings settings = o.signing;
    settings.description = BlockValue(version, "ProductName");
    settings.time = seconds;
    // A --sign-command signs the file in place.
    if (settings.command.empty()) finished = Scratch::File(kSigned);
    if (const int status = SignInstaller(settings, named_path, finished, o.output);
        status != kExitOk)
      return status;
    chmod(finished.c_str(), 0755 & ~mask);
  }
  // The digest of the final bytes: the checksum is patched in last, and signing rewrites them.
  std::string digest;
  uint64_t size = 0;
  if (ok) {
    const int in = fd >= 0 ? fd : open(finished.c_str(), O_RDONLY | O_CLOEXEC);
    ok = in >= 0 && HashFile(in, "hashing " + base, size, digest, problem);
    if (!ok && in < 0) problem = finished + ": cannot be read: " + std::strerror(errno);
    if (in >= 0 && in != fd) close(in);
  }
  // No fsync: the rename makes the result appear whole to every other process, which is what a
  // build needs; forcing 1 GiB to the disk would triple the time for a file made again at will.
  if (fd >= 0) ok = (close(fd) == 0 || !ok || write_failed(errno)) && ok;
  if (!ok) return Fail(kExitIo, "", problem);
  if (rename(finished.c_str(), o.output.c_str()) != 0)
    return Fail(kExitIo, o.output, std::string("cannot be written: ") + std::strerror(errno));
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char seconds_text[32];
  std::snprintf(seconds_text, sizeof(seconds_text), "%.1f", elapsed);
  Say("stubpack: wrote " + o.output + " (" + Grouped(size) + " bytes, sha256 " + digest + ") in " +
      seconds_text + " s");
  return kExitOk;
}

}  // namespace stubpack
