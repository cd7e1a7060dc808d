// Nothing left by a killed run: the installer has no name until it is whole, and the scratch
// directory of a run that is gone is removed by the next run into that directory, never the
// scratch of a run that is still alive (stopped, here).
#include <chrono>

#include <fcntl.h>

#include <fstream>

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

#include <unistd.h>

#include "tests/packer/packer_fixture.h"

extern char** environ;

namespace packer_tests {
namespace {

// A stubpack process the test can stop and kill; killed at the end of the test in any case.
class Child {
 public:
  Child(const std::vector<std::string>& arguments, bool tmpfile) {
    std::vector<std::string> args = {Stubpack().string()};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {std::string("SOURCE_DATE_EPOCH=") + kEpoch};
    if (!tmpfile) env.push_back("STUBPACK_TEST_NO_TMPFILE=1");
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }
  pid_t Pid() const { return pid_; }
  int Wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

// Waits (up to a minute) until `ready` holds.
bool Await(const std::function<bool()>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// The bytes written so far to the process's installer, as /proc shows its open files: the
// unnamed file reads "DIR/#INODE (deleted)", the named one "installer.exe".
uint64_t InstallerBytes(pid_t pid) {
  std::error_code error;
  for (const fs::directory_entry& fd :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    const std::string target = fs::read_symlink(fd.path(), error).string();
    if (target.find("/#") == std::string::npos && target.find("installer.exe") == std::string::npos)
      continue;
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + fd.path().filename().string());
    std::string key;
    uint64_t position = 0;
    if (info >> key >> position && key == "pos:") return position;
  }
  return 0;
}

std::vector<fs::path> ScratchDirectories(const fs::path& directory) {
  std::vector<fs::path> found;
  for (const fs::directory_entry& e : fs::directory_iterator(directory)) {
    if (e.path().filename().string().rfind(".stubpack-", 0) == 0) found.push_back(e.path());
  }
  return found;
}

uint64_t BytesUnder(const fs::path& directory) {
  uint64_t total = 0;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(directory)) {
    if (e.is_regular_file()) total += e.file_size();
  }
  return total;
}

class KilledRun : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (UnderWine()) GTEST_SKIP() << "signals, O_TMPFILE and /proc are Linux's own";
    ASSERT_TRUE(fs::is_regular_file(wine_tests::WindowsBinDir() / "enum-resources.exe"))
        << "build the windows preset first";
    in_ = MakeInputs(scratch_.Path() / "in");
    // Sparse: a few GiB to read that take no room, so that a pack lasts long enough to be
    // caught in the middle.
    huge_ = scratch_.Path() / "in" / "huge.7z";
    fs::copy_file(in_.archive, huge_);
    fs::resize_file(huge_, uint64_t{3} << 30);
    out_ = scratch_.Path() / "out";
    fs::create_directories(out_);
  }
  std::vector<std::string> Arguments(const fs::path& archive, const fs::path& output) {
    return {"--archive",        archive.string(), "--setup",
            in_.setup.string(), "--output",       output.string()};
  }

  ScratchDirectory scratch_;
  Inputs in_;
  fs::path huge_, out_;
};

// Killed with SIGKILL, which no handler sees: the unnamed installer vanishes with the process,
// the named one stays in the scratch directory; the next pack into the directory removes what
// is left, and says so under --verbose.
TEST_P(KilledRun, LeavesNothingThatTheNextRunDoesNotRemove) {
  const bool tmpfile = GetParam();
  {
    Child run(Arguments(huge_, out_ / "installer.exe"), tmpfile);
    ASSERT_GT(run.Pid(), 0);
    ASSERT_TRUE(Await([&] { return InstallerBytes(run.Pid()) > (64u << 20); }))
        << "the pack wrote no installer";
    kill(run.Pid(), SIGKILL);
    const int status = run.Wait();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  }
  EXPECT_FALSE(fs::exists(out_ / "installer.exe"));
  ASSERT_EQ(ScratchDirectories(out_).size(), 1u);
  if (tmpfile) {
    // Only the scratch directory's lock and cabinet: nothing of the installer's 64 MiB.
    EXPECT_LT(BytesUnder(out_), uint64_t{1} << 20);
  } else {
    EXPECT_GT(BytesUnder(out_), uint64_t{64} << 20);
  }
  const fs::path dead = ScratchDirectories(out_)[0];

  const ProcessResult next = Pack({"--verbose", "--archive", in_.archive.string(), "--setup",
                                   in_.setup.string(), "--output", (out_ / "next.exe").string()});
  ASSERT_EQ(next.exit_status, 0) << next.output;
  EXPECT_NE(next.output.find("removed " + dead.string() + ", left by a killed run"),
            std::string::npos)
      << next.output;
  EXPECT_EQ(wine_tests::ListDirectory(out_), std::vector<std::string>{"next.exe"});
}

INSTANTIATE_TEST_SUITE_P(Installer, KilledRun, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Unnamed" : "Named");
                         });

// A run stopped by SIGSTOP is alive: another run into the same directory leaves its scratch
// alone, and once continued it finishes its installer.
class LiveRun : public KilledRun {};

TEST_F(LiveRun, ItsScratchIsKept) {
  // Smaller than the killed runs' archive: this one is written to the end.
  const fs::path medium = scratch_.Path() / "in" / "medium.7z";
  fs::copy_file(in_.archive, medium);
  fs::resize_file(medium, uint64_t{256} << 20);
  Child stopped(Arguments(medium, out_ / "first.exe"), false);
  ASSERT_GT(stopped.Pid(), 0);
  ASSERT_TRUE(Await([&] { return InstallerBytes(stopped.Pid()) > 0; }));
  kill(stopped.Pid(), SIGSTOP);
  ASSERT_EQ(ScratchDirectories(out_).size(), 1u);
  const fs::path alive = ScratchDirectories(out_)[0];

  const ProcessResult other =
      Pack({"--verbose", "--archive", in_.archive.string(), "--setup", in_.setup.string(),
            "--output", (out_ / "second.exe").string()});
  ASSERT_EQ(other.exit_status, 0) << other.output;
  EXPECT_EQ(other.output.find("removed"), std::string::npos) << other.output;
  EXPECT_TRUE(fs::exists(alive / "installer.exe"));

  kill(stopped.Pid(), SIGCONT);
  const int status = stopped.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(wine_tests::ListDirectory(out_), (std::vector<std::string>{"first.exe", "second.exe"}));
  EXPECT_GT(fs::file_size(out_ / "first.exe"), uint64_t{256} << 20);
}

}  // namespace
}  // namespace packer_tests
