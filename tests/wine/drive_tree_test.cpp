// A whole installation under Wine writes nothing outside its work directory: the prefix's drive
// C: is the same before and after (path, kind, size and modification time of every entry), the
// installer's own directory holds the installer alone, and while the installation runs nothing
// is created, written, renamed or removed on drive C: or beside the installer but the work
// directory (seen through inotify, so that a file made and removed again shows too). Setup's
// install directory and report are sent into the scratch directory, outside drive C:, and are
// setup's business.
//
// Runs alone (see CMakeLists.txt): any other Wine program running beside it changes drive C: too.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tests/packer/packer_fixture.h"
#include "tests/wine/wine_harness.h"

namespace wine_tests {
namespace {

struct Entry {
  char kind;  // 'd' directory, 'f' file, 'l' link, '?' anything else
  uintmax_t size;
  int64_t modified_ns;
  bool operator==(const Entry& other) const {
    return kind == other.kind && size == other.size && modified_ns == other.modified_ns;
  }
};

using Tree = std::map<std::string, Entry>;

// Every entry under root, by path relative to it, links not followed.
Tree Snapshot(const fs::path& root) {
  Tree tree;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(
           root, fs::directory_options::skip_permission_denied, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (error) break;
    struct stat status = {};
    if (lstat(it->path().c_str(), &status) != 0) continue;
    Entry entry;
    entry.kind = S_ISDIR(status.st_mode)   ? 'd'
                 : S_ISREG(status.st_mode) ? 'f'
                 : S_ISLNK(status.st_mode) ? 'l'
                                           : '?';
    entry.size = entry.kind == 'f' ? static_cast<uintmax_t>(status.st_size) : 0;
    entry.modified_ns =
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    tree[fs::relative(it->path(), root).generic_string()] = entry;
  }
  return tree;
}

// The entries added, removed or changed, one line each.
std::vector<std::string> Differences(const Tree& before, const Tree& after) {
  std::vector<std::string> lines;
  for (const auto& [path, entry] : after) {
    const auto was = before.find(path);
    if (was == before.end()) {
      lines.push_back("added " + path);
    } else if (!(was->second == entry)) {
      lines.push_back("changed " + path);
    }
  }
  for (const auto& [path, entry] : before) {
    if (after.find(path) == after.end()) lines.push_back("removed " + path);
  }
  return lines;
}

// Watches directories for anything that changes an entry in them, for as long as it lives.
class ChangeWatch {
 public:
  ChangeWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~ChangeWatch() {
    if (fd_ >= 0) close(fd_);
  }
  ChangeWatch(const ChangeWatch&) = delete;
  ChangeWatch& operator=(const ChangeWatch&) = delete;

  bool Watch(const fs::path& directory) {
    constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                  IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                  IN_MOVE_SELF;
    const int watch = fd_ < 0 ? -1 : inotify_add_watch(fd_, directory.c_str(), kChanges);
    if (watch < 0) return false;
    directories_[watch] = directory;
    return true;
  }

  // Each change seen so far, as the changed entry's path.
  std::vector<fs::path> Changes() {
    std::vector<fs::path> changes;
    alignas(inotify_event) char buffer[64 * 1024];
    for (ssize_t got; (got = read(fd_, buffer, sizeof(buffer))) > 0;) {
      for (char* at = buffer; at < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->wd >= 0 && directories_.count(event->wd) != 0) {
          changes.push_back(event->len ? directories_[event->wd] / event->name
                                       : directories_[event->wd]);
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
    return changes;
  }

 private:
  int fd_;
  std::map<int, fs::path> directories_;
};

TEST(DriveUntouched, AWholeInstallationWritesNothingOutsideItsWorkDirectory) {
  ScratchDirectory scratch;
  ASSERT_FALSE(scratch.Path().empty());
  for (const char* program : {"stub.exe", "launcher.exe", "demo-setup.exe"}) {
    ASSERT_TRUE(fs::is_regular_file(WindowsBinDir() / program)) << program << " is missing";
  }
  ASSERT_EQ(PrepareWine(), "");
  const packer_tests::Inputs inputs = packer_tests::MakeInputs(scratch.Path() / "in");
  const fs::path run = scratch.Path() / "run";
  fs::create_directories(run);
  const fs::path installer = run / "installer.exe";
  const ProcessResult packed = packer_tests::Pack({"--archive", inputs.archive.string(), "--setup",
                                                   (WindowsBinDir() / "demo-setup.exe").string(),
                                                   "--output", installer.string()});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;

  const fs::path drive = fs::path(Setting("STUB_WINE_PREFIX")) / "drive_c";
  ASSERT_TRUE(fs::is_directory(drive)) << drive;
  // A first run settles what Wine does once per prefix or per server start.
  const std::string command_line = "\"" + WindowsPath(installer) + "\" --install-dir=\"" +
                                   WindowsPath(scratch.Path() / "install") + "\" --report=\"" +
                                   WindowsPath(scratch.Path() / "report.txt") + "\"";
  ASSERT_TRUE(LaunchRaw(installer, command_line, scratch.Path()).exit_code.has_value());
  fs::remove_all(scratch.Path() / "install");
  fs::remove(scratch.Path() / "report.txt");

  const Tree before = Snapshot(drive);
  ChangeWatch watch;
  ASSERT_TRUE(watch.Watch(drive));
  for (const auto& [path, entry] : before) {
    if (entry.kind == 'd') {
      ASSERT_TRUE(watch.Watch(drive / path)) << "cannot watch " << path;
    }
  }
  ASSERT_TRUE(watch.Watch(run));
  const LaunchResult result = LaunchRaw(installer, command_line, scratch.Path());
  const Tree after = Snapshot(drive);
  const std::vector<fs::path> changes = watch.Changes();

  ASSERT_TRUE(result.exit_code.has_value()) << result.diagnostics;
  EXPECT_EQ(*result.exit_code, 0u);
  EXPECT_TRUE(fs::is_regular_file(scratch.Path() / "install" / "archive.7z"))
      << "setup installed nothing";
  EXPECT_EQ(ListDirectory(run), std::vector<std::string>{"installer.exe"})
      << "something stayed beside the installer";
  std::vector<std::string> outside;
  for (const std::string& line : Differences(before, after)) outside.push_back(line);
  EXPECT_TRUE(outside.empty()) << "written on drive C: during the installation:\n  "
                               << Join(outside);
  // The work directory is made beside the installer, filled and removed; nothing else changes.
  static const std::regex kWorkDirectory("VQ_[0-9A-F]{5}\\.tmp");
  std::set<std::string> changed;
  bool work_directory_seen = false;
  for (const fs::path& change : changes) {
    const fs::path relative = change.lexically_relative(run);
    const bool in_work_directory = !relative.empty() && *relative.begin() != ".." &&
                                   std::regex_match(relative.begin()->string(), kWorkDirectory);
    work_directory_seen = work_directory_seen || in_work_directory;
    if (!in_work_directory) changed.insert(change.string());
  }
  EXPECT_TRUE(changed.empty()) << "changed during the installation:\n  "
                               << Join({changed.begin(), changed.end()});
  EXPECT_TRUE(work_directory_seen) << "the watch saw not even the work directory come and go";
  EXPECT_EQ(before.count("windows/system32/kernel32.dll"), 1u)
      << "the snapshot missed drive C:'s system";
}

}  // namespace
}  // namespace wine_tests
