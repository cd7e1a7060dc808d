// Progress on a terminal: a pack of a large sparse archive, run under a pseudo-terminal by
// script(1), draws "bytes done of total (percent)" on one line that reaches the total and ends;
// on a pipe, or under --quiet, nothing of it appears.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "tests/packer/packer_fixture.h"

namespace packer_tests {
namespace {

class ProgressLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(wine_tests::WindowsBinDir() / "enum-resources.exe"))
        << "build the windows preset first";
    in_ = MakeInputs(scratch_.Path() / "in");
    // Sparse, so that packing it lasts well over the second before progress shows.
    archive_ = scratch_.Path() / "in" / "large.7z";
    fs::copy_file(in_.archive, archive_);
    fs::resize_file(archive_, uint64_t{2} << 30);
    output_ = scratch_.Path() / "installer.exe";
  }
  std::string Command(const std::string& extra) {
    return "SOURCE_DATE_EPOCH=" + std::string(kEpoch) + " '" + Stubpack().string() +
           "' --archive '" + archive_.string() + "' --setup '" + in_.setup.string() +
           "' --output '" + output_.string() + "' --product-name P --company-name C" +
           " --product-version 1 --legal-copyright none" + extra;
  }
  ScratchDirectory scratch_;
  Inputs in_;
  fs::path archive_, output_;
};

uint64_t Number(const std::string& grouped) {
  return std::stoull(std::regex_replace(grouped, std::regex(","), ""));
}

TEST_F(ProgressLine, OnATerminalItCountsUpToTheTotal) {
  // Wine draws a console program's screen onto a Unix terminal with escape sequences of its own.
  if (UnderWine()) GTEST_SKIP() << "under Wine a terminal shows Wine's drawing of the console";
  const ProcessResult run = RunProcess({"script", "-qec", Command(""), "/dev/null"});
  ASSERT_EQ(run.exit_status, 0) << run.output;
  const uint64_t size = fs::file_size(output_);
  const std::regex draw(
      R"(\rstubpack: (writing|hashing) installer\.exe: ([0-9,]+) of ([0-9,]+) bytes \((\d+)%\) *)");
  std::map<std::string, uint64_t> last;  // per step, the last count drawn
  size_t draws = 0;
  for (auto it = std::sregex_iterator(run.output.begin(), run.output.end(), draw);
       it != std::sregex_iterator(); ++it, ++draws) {
    const std::smatch& m = *it;
    const uint64_t done = Number(m[2]), total = Number(m[3]);
    EXPECT_EQ(total, size) << m[0];
    EXPECT_LE(done, total) << m[0];
    EXPECT_EQ(std::stoull(m[4]), done * 100 / total) << m[0];
    EXPECT_GE(done, last[m[1]]) << m[0];
    last[m[1]] = done;
    // A draw is followed by the next draw or, at the total, by the end of the line.
    const char next = run.output[static_cast<size_t>(m.position(0) + m.length(0))];
    EXPECT_TRUE(next == '\r' || next == '\n') << m[0];
    if (next == '\n' ||
        run.output.compare(static_cast<size_t>(m.position(0) + m.length(0)), 2, "\r\n") == 0) {
      EXPECT_EQ(done, total) << m[0];
    }
  }
  ASSERT_GT(draws, 0u) << run.output;
  EXPECT_EQ(last["writing"], size) << run.output;
  EXPECT_NE(run.output.find("stubpack: wrote "), std::string::npos) << run.output;
}

TEST_F(ProgressLine, NeitherOnAPipeNorUnderQuiet) {
  const ProcessResult piped = RunProcess({"sh", "-c", Command("")});
  ASSERT_EQ(piped.exit_status, 0) << piped.output;
  EXPECT_EQ(piped.output.find('\r'), std::string::npos) << piped.output;
  EXPECT_EQ(piped.output.find("writing"), std::string::npos) << piped.output;
  EXPECT_EQ(piped.output.rfind("stubpack: wrote ", 0), 0u) << piped.output;

  const ProcessResult quiet = RunProcess({"script", "-qec", Command(" --quiet"), "/dev/null"});
  ASSERT_EQ(quiet.exit_status, 0) << quiet.output;
  EXPECT_EQ(quiet.output, "");
}

}  // namespace
}  // namespace packer_tests
