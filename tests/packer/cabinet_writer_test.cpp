// The packer's own cabinet writer, read back by gcab and cabextract: setup's exact bytes, its
// name and its date from every reader; the same bytes for the same inputs; a setup beyond what a
// cabinet holds refused. cabinet_wine_test.cpp is the third reader, cabinet.dll.
#include <ctime>
#include <fstream>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "tests/packer/cabinet_cases.h"
#include "tools/stubpack/cabinet.h"

namespace packer_tests {
namespace {

using stubpack::CabinetOutcome;
using stubpack::WriteSetupCabinet;

// A date of the table ("YYYY-MM-DD HH:MM:SS") as cabextract lists it: "DD.MM.YYYY HH:MM:SS".
std::string AsCabextractDate(const std::string& date) {
  return date.substr(8, 2) + "." + date.substr(5, 2) + "." + date.substr(0, 4) + date.substr(10);
}

class CabinetReaders : public ::testing::TestWithParam<CabinetCase> {
 protected:
  ScratchDirectory scratch_;
};

TEST_P(CabinetReaders, GiveBackSetupsBytesNameAndDate) {
  const CabinetCase& c = GetParam();
  const fs::path setup = scratch_.Path() / "input.bin", cabinet = scratch_.Path() / "setup.cab";
  MakeSetup(c, setup);
  std::string problem;
  ASSERT_EQ(WriteSetupCabinet(setup.string(), cabinet.string(), c.seconds, problem),
            CabinetOutcome::kWritten)
      << problem;

  // The readers print dates as they are stored; TZ=UTC keeps any conversion out of the way.
  const ProcessResult gcab_list =
      RunProcess({"env", "TZ=UTC", "gcab", "-l", "-v", cabinet.string()});
  ASSERT_EQ(gcab_list.exit_status, 0) << gcab_list.output;
  EXPECT_EQ(gcab_list.output,
            "setup.exe " + std::to_string(c.size) + " " + std::string(c.date) + " 0x0\n");
  const fs::path by_gcab = scratch_.Path() / "gcab";
  fs::create_directories(by_gcab);
  const ProcessResult gcab = RunProcess({"gcab", "-x", "-C", by_gcab.string(), cabinet.string()});
  ASSERT_EQ(gcab.exit_status, 0) << gcab.output;
  EXPECT_EQ(wine_tests::ListDirectory(by_gcab), std::vector<std::string>{"setup.exe"});
  EXPECT_EQ(CompareFiles(setup, by_gcab / "setup.exe"), "") << "gcab -x";
  fs::remove_all(by_gcab);

  const ProcessResult cabextract_list =
      RunProcess({"env", "TZ=UTC", "cabextract", "-l", cabinet.string()});
  ASSERT_EQ(cabextract_list.exit_status, 0) << cabextract_list.output;
  const std::regex row(R"( *(\d+) \| (\S+ \S+) \| (.*))");
  std::vector<std::string> listed;
  std::istringstream lines(cabextract_list.output);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_match(line, m, row))
      listed.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str());
  }
  EXPECT_EQ(listed, std::vector<std::string>{std::to_string(c.size) + " " +
                                             AsCabextractDate(c.date) + " setup.exe"})
      << cabextract_list.output;
  const fs::path by_cabextract = scratch_.Path() / "cabextract";
  const ProcessResult cabextract =
      RunProcess({"cabextract", "-q", "-d", by_cabextract.string(), cabinet.string()});
  ASSERT_EQ(cabextract.exit_status, 0) << cabextract.output;
  EXPECT_EQ(wine_tests::ListDirectory(by_cabextract), std::vector<std::string>{"setup.exe"});
  EXPECT_EQ(CompareFiles(setup, by_cabextract / "setup.exe"), "") << "cabextract";
}

INSTANTIATE_TEST_SUITE_P(Setups, CabinetReaders, ::testing::ValuesIn(CabinetCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The calendar is the writer's own (mingw has no gmtime_r): every day from 1980 to 2107, each
// at a different second, against the C library's UTC.
TEST(CabinetDate, AgreesWithTheCLibraryOnEveryDayOfDosRange) {
  for (int64_t seconds = 315532800, step = 0; seconds <= 4354819198;
       seconds += 86400 + 7 * (step++ % 13)) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc;
    ASSERT_NE(gmtime_r(&t, &utc), nullptr);
    const stubpack::DosDateTime dos = stubpack::DosDateTimeFromUnix(seconds);
    const int expected_date = (utc.tm_year - 80) << 9 | (utc.tm_mon + 1) << 5 | utc.tm_mday;
    const int expected_time = utc.tm_hour << 11 | utc.tm_min << 5 | utc.tm_sec / 2;
    ASSERT_EQ(dos.date, expected_date) << seconds;
    ASSERT_EQ(dos.time, expected_time) << seconds;
  }
}

// The same setup and date give the same bytes, and the packer stores the writer's cabinet as it
// is: SOURCE_DATE_EPOCH makes two installers identical.
TEST(CabinetOutput, SameInputsAndDateGiveTheSameBytesTwice) {
  ScratchDirectory scratch;
  const Inputs in = MakeInputs(scratch.Path() / "in");
  std::vector<std::string> installers;
  for (const char* name : {"first", "second"}) {
    const fs::path directory = scratch.Path() / name;
    fs::create_directories(directory);
    std::vector<std::string> args = {"--archive", in.archive.string(),
                                     "--setup",   in.setup.string(),
                                     "--output",  (directory / "installer.exe").string()};
    args.insert(args.end(), NamedProduct().begin(), NamedProduct().end());
    const ProcessResult packed = Pack(args);
    ASSERT_EQ(packed.exit_status, 0) << packed.output;
    installers.push_back(ReadText(directory / "installer.exe"));
    ASSERT_EQ(RunProcess({"wrestool", "-x", "--raw", "--type=BL", "-o", (directory / "").string(),
                          (directory / "installer.exe").string()})
                  .exit_status,
              0);
  }
  EXPECT_TRUE(installers[0] == installers[1]) << "two runs wrote different installers";

  const fs::path direct = scratch.Path() / "direct.cab";
  std::string problem;
  ASSERT_EQ(WriteSetupCabinet(in.setup.string(), direct.string(), std::stoll(kEpoch), problem),
            CabinetOutcome::kWritten)
      << problem;
  const std::vector<std::string> extracted = wine_tests::ListDirectory(scratch.Path() / "first");
  ASSERT_EQ(extracted.size(), 2u) << "installer.exe and the cabinet's resource";
  const std::string resource = extracted[0] == "installer.exe" ? extracted[1] : extracted[0];
  EXPECT_EQ(CompareFiles(direct, scratch.Path() / "first" / resource), "");
}

// A folder counts its blocks in 16 bits: 65535 blocks of 32 KiB is the most setup can be. The
// file is sparse, so its size costs no disk. (Writing the largest that fits takes about 50 s
// here, too long for a test.)
TEST(CabinetOutput, RefusesSetupOneByteBeyondOneFolder) {
  ScratchDirectory scratch;
  const fs::path setup = scratch.Path() / "large.bin", cabinet = scratch.Path() / "setup.cab";
  std::ofstream(setup, std::ios::binary).put('M');
  fs::resize_file(setup, stubpack::kMaxCabinetSetupBytes + 1);
  std::string problem;
  EXPECT_EQ(WriteSetupCabinet(setup.string(), cabinet.string(), 0, problem),
            CabinetOutcome::kTooLarge);
  EXPECT_EQ(problem,
            "too large for a cabinet: 2147450881 bytes; its folder holds 65535 blocks of 32768 "
            "bytes, at most 2147450880 (--setup-storage plain stores it as it is)");
  EXPECT_FALSE(fs::exists(cabinet)) << "nothing is written for a setup refused";

  // The packer refuses it as an input (status 1) with that line, before reading it.
  const Inputs in = MakeInputs(scratch.Path() / "in");
  fs::resize_file(in.setup, stubpack::kMaxCabinetSetupBytes + 1);
  const fs::path installer = scratch.Path() / "installer.exe";
  std::vector<std::string> args = {"--archive", in.archive.string(), "--setup", in.setup.string(),
                                   "--output",  installer.string(),  "--stub",  in.stub.string()};
  args.insert(args.end(), NamedProduct().begin(), NamedProduct().end());
  const ProcessResult packed = Pack(args);
  EXPECT_EQ(packed.exit_status, 1) << packed.output;
  EXPECT_EQ(packed.output, "stubpack: " + in.setup.string() + ": " + problem + "\n");
  EXPECT_FALSE(fs::exists(installer));
}

// Failures name the side at fault: setup that cannot be read, a cabinet that cannot be made or
// written.
TEST(CabinetOutput, FailsWithTheCauseWhenSetupOrTheCabinetFails) {
  ScratchDirectory scratch;
  const fs::path setup = scratch.Path() / "setup.exe";
  WriteText(setup, "MZ");
  struct Failure {
    fs::path setup, cabinet;
    std::string problem;
  };
  const std::vector<Failure> failures = {
      {scratch.Path() / "missing.exe", scratch.Path() / "a.cab",
       "cannot be read: No such file or directory"},
      {scratch.Path(), scratch.Path() / "b.cab", "is not a regular file"},
      {setup, scratch.Path() / "no" / "c.cab",
       "cannot create the cabinet " + (scratch.Path() / "no" / "c.cab").string() +
           ": No such file or directory"},
      // Every write to /dev/full fails as on a full disk.
      {setup, "/dev/full", "cannot write the cabinet /dev/full: No space left on device"},
  };
  for (const Failure& f : failures) {
    std::string problem;
    EXPECT_EQ(WriteSetupCabinet(f.setup.string(), f.cabinet.string(), 0, problem),
              CabinetOutcome::kFailed)
        << f.setup;
    EXPECT_EQ(problem, f.problem) << f.setup;
  }
}

}  // namespace
}  // namespace packer_tests
