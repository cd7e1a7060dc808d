// The Linux side of the packer's door to the system (system_posix.cpp): path parts, files told
// apart by identity, mapping, and the output file with the scratch directories of other runs.
#include <algorithm>

#include <fcntl.h>

#include <fstream>

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/packer/packer_fixture.h"
#include "tools/stubpack/system.h"

namespace packer_tests {
namespace {

namespace sys = stubpack::sys;

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SystemDoor, SplitsAndJoinsPaths) {
  const struct {
    const char* path;
    const char* directory;
    const char* base;
  } cases[] = {
      {"/out/installer.exe", "/out", "installer.exe"},
      {"/installer.exe", "/", "installer.exe"},
      {"installer.exe", ".", "installer.exe"},
      {"out/sub/installer.exe", "out/sub", "installer.exe"},
      // A backslash is a character of a Linux name.
      {"out/a\\b.exe", "out", "a\\b.exe"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sys::DirectoryOf(c.path), c.directory) << c.path;
    EXPECT_EQ(sys::BaseName(c.path), c.base) << c.path;
  }
  EXPECT_EQ(sys::Join("out", "a"), "out/a");
  EXPECT_EQ(sys::Join("out/", "a"), "out/a");
  EXPECT_EQ(sys::Join("/", "a"), "/a");
}

TEST(SystemDoor, TellsFilesApartByIdentity) {
  ScratchDirectory scratch;
  const fs::path file = scratch.Path() / "setup.exe";
  std::ofstream(file) << "payload";
  fs::create_hard_link(file, scratch.Path() / "link.exe");
  std::ofstream(scratch.Path() / "copy.exe") << "payload";
  sys::FileStatus status, linked, copy;
  std::string problem;
  ASSERT_TRUE(sys::Status(file.string(), status, problem)) << problem;
  EXPECT_TRUE(status.regular);
  EXPECT_EQ(status.size, 7u);
  ASSERT_TRUE(sys::Status((scratch.Path() / "link.exe").string(), linked, problem));
  ASSERT_TRUE(sys::Status((scratch.Path() / "copy.exe").string(), copy, problem));
  EXPECT_TRUE(linked.volume == status.volume && linked.id == status.id);
  EXPECT_NE(copy.id, status.id);
  EXPECT_FALSE(sys::Status((scratch.Path() / "missing").string(), copy, problem));
  EXPECT_EQ(problem, "No such file or directory");

  sys::File opened;
  ASSERT_TRUE(opened.OpenRead(file.string(), problem)) << problem;
  sys::FileStatus info;
  ASSERT_TRUE(opened.Info(info, problem));
  EXPECT_TRUE(info.volume == status.volume && info.id == status.id);
  EXPECT_FALSE(opened.OpenRead(scratch.Path().string(), problem));
  EXPECT_EQ(problem, "is not a regular file");
  EXPECT_FALSE(opened.Valid());
}

TEST(SystemDoor, MapsWholeFilesTheEmptyOneIncluded) {
  ScratchDirectory scratch;
  std::ofstream(scratch.Path() / "full.bin") << "payload";
  std::ofstream(scratch.Path() / "empty.bin");
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  std::string problem;
  ASSERT_TRUE(sys::MapWhole((scratch.Path() / "full.bin").string(), data, size, problem));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), "payload");
  sys::Unmap(data, size);
  ASSERT_TRUE(sys::MapWhole((scratch.Path() / "empty.bin").string(), data, size, problem));
  EXPECT_EQ(size, 0u);
  EXPECT_NE(data, nullptr);
  sys::Unmap(data, size);
  EXPECT_FALSE(sys::MapWhole(scratch.Path().string(), data, size, problem));
  EXPECT_EQ(problem, "is not a regular file");
}

// Write goes to the end whatever positioned I/O did; nothing appears under the output's name
// before Commit, and nothing is left of a run that does not commit.
TEST(SystemDoor, OutputFileAppearsOnlyWhenCommitted) {
  for (const char* name : {static_cast<const char*>(nullptr), "unsigned.exe"}) {
    ScratchDirectory scratch;
    const fs::path output = scratch.Path() / "installer.exe";
    std::ofstream(output) << "old";
    std::string problem;
    {
      sys::OutputFile file;
      ASSERT_TRUE(file.Begin(output.string(), name, problem)) << problem;
      ASSERT_TRUE(file.Data().Write("abc", 3, problem) && file.Data().WriteAt(0, "X", 1, problem) &&
                  file.Data().Write("def", 3, problem))
          << problem;
      EXPECT_EQ(Contents(output), "old");
    }
    EXPECT_EQ(wine_tests::ListDirectory(scratch.Path()), std::vector<std::string>{"installer.exe"});
    EXPECT_EQ(Contents(output), "old");
    {
      sys::OutputFile file;
      ASSERT_TRUE(file.Begin(output.string(), name, problem)) << problem;
      ASSERT_TRUE(file.Data().Write("abc", 3, problem) && file.Data().WriteAt(0, "X", 1, problem) &&
                  file.Data().Write("def", 3, problem));
      ASSERT_TRUE(file.Name(problem) && file.Commit(file.Path(), problem)) << problem;
    }
    EXPECT_EQ(Contents(output), "Xbcdef");
    EXPECT_EQ(wine_tests::ListDirectory(scratch.Path()), std::vector<std::string>{"installer.exe"});
    // An installer is a program: executable by those the umask lets read it.
    const mode_t mask = umask(0);
    umask(mask);
    struct stat info;
    ASSERT_EQ(stat(output.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755 & ~mask);
  }
}

// Dead runs: a lock nobody holds, no lock and a PID that is gone. Alive: a held lock, no lock
// and a PID that runs (this one).
TEST(SystemDoor, RemovesTheScratchOfDeadRunsOnly) {
  ScratchDirectory scratch;
  const fs::path out = scratch.Path();
  const fs::path dead_lock = out / ".stubpack-11-aaaaaa";
  const fs::path dead_pid = out / ".stubpack-2147483646-bbbbbb";
  const fs::path live_pid = out / (".stubpack-" + std::to_string(getpid()) + "-cccccc");
  const fs::path live_lock = out / ".stubpack-12-dddddd";
  for (const fs::path& d : {dead_lock, dead_pid, live_pid, live_lock}) fs::create_directory(d);
  std::ofstream(dead_lock / "lock");
  std::ofstream(dead_lock / "installer.exe") << "x";
  std::ofstream(dead_pid / "setup.cab") << "x";
  std::ofstream(live_lock / "lock");
  const int held = open((live_lock / "lock").c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  std::string problem;
  {
    sys::OutputFile file;
    ASSERT_TRUE(file.Begin((out / "installer.exe").string(), nullptr, problem)) << problem;
    std::vector<std::string> removed = file.Removed();
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::string>{dead_lock.string(), dead_pid.string()}));
  }
  close(held);
  std::vector<std::string> kept = {".stubpack-12-dddddd/", live_pid.filename().string() + "/"};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(wine_tests::ListDirectory(out), kept);
}

}  // namespace
}  // namespace packer_tests
