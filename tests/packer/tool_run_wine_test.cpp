// The packer's way of starting tools on Windows, under Wine: tool-run-test.exe checks it from
// the Windows side (quoting, PATH, output, handles, the passphrase file, --sign-command, stop);
// the osslsigncode double's verify report is one that ParseVerifyOutput takes as a valid
// signature; and stubpack.exe, with the double first on PATH, hands the passphrase over its
// file only and gives --sign-command a path with spaces and & whole.
#include <cstdlib>

#include <gtest/gtest.h>

#include <sstream>

#include <unistd.h>

#include "tests/packer/packer_fixture.h"
#include "tools/stubpack/signing.h"

namespace packer_tests {
namespace {

fs::path DoubleDirectory() { return wine_tests::WindowsBinDir() / "osslsigncode-double"; }

class ToolRunWine : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const fs::path& program : {wine_tests::WindowsBinDir() / "tool-run-test.exe",
                                    wine_tests::WindowsBinDir() / "print-arguments.exe",
                                    DoubleDirectory() / "osslsigncode.exe"})
      ASSERT_TRUE(fs::is_regular_file(program)) << program << ": build the windows preset first";
    ASSERT_EQ(wine_tests::PrepareWine(), "");
  }
};

TEST_F(ToolRunWine, WindowsSideChecksPass) {
  const ProcessResult run =
      wine_tests::RunWine({(wine_tests::WindowsBinDir() / "tool-run-test.exe").string(),
                           wine_tests::WindowsPath(DoubleDirectory())});
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_NE(run.output.find(" 0 failed"), std::string::npos) << run.output;
}

TEST_F(ToolRunWine, DoublesVerifyReportReadsAsAValidSignature) {
  const ProcessResult run = wine_tests::RunWine(
      {(DoubleDirectory() / "osslsigncode.exe").string(), "verify", "-in", "C:\\installer.exe"});
  ASSERT_EQ(run.exit_status, 0) << run.output;
  const stubpack::SignatureInfo info = stubpack::ParseVerifyOutput(run.output, true);
  EXPECT_TRUE(info.present && info.valid && info.digest_matches) << info.reason << run.output;
  EXPECT_EQ(info.subject, "/CN=Double Signer");
  EXPECT_EQ(info.issuer, "/CN=Double CA");
  EXPECT_EQ(info.digest_algorithm, "SHA256");
  EXPECT_EQ(info.signing_time, "Dec 11 12:00:00 2026 GMT");
}

std::vector<std::string> RecordLines(const fs::path& record, const char* prefix) {
  std::vector<std::string> lines;
  std::istringstream in(ReadText(record));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(std::string(prefix).size()));
  }
  return lines;
}

// stubpack.exe signing through the double: what the double was handed is in its record.
class StubpackExeSigning : public ToolRunWine {
 protected:
  void SetUp() override {
    ToolRunWine::SetUp();
    ASSERT_TRUE(fs::is_regular_file(StubpackExe())) << StubpackExe();
    in_ = MakeInputs(scratch_.Path() / "in");
    out_dir_ = scratch_.Path() / "release builds & co (1)";
    fs::create_directories(out_dir_);
    record_ = scratch_.Path() / "record.txt";
    setenv("WINEPATH", wine_tests::WindowsPath(DoubleDirectory()).c_str(), 1);
    setenv("STUBPACK_DOUBLE_RECORD", wine_tests::WindowsPath(record_).c_str(), 1);
    setenv("SOURCE_DATE_EPOCH", kEpoch, 1);
  }
  void TearDown() override {
    unsetenv("WINEPATH");
    unsetenv("STUBPACK_DOUBLE_RECORD");
  }
  static fs::path StubpackExe() { return wine_tests::WindowsBinDir() / "stubpack.exe"; }

  // A PKCS#12 file of a new key and certificate, protected by `pass`.
  fs::path MakePkcs12(const std::string& pass = "x") {
    const fs::path key = scratch_.Path() / "key.pem", cert = scratch_.Path() / "cert.pem",
                   pfx = scratch_.Path() / "both.pfx";
    EXPECT_EQ(RunProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                          key.string(), "-out", cert.string(), "-days", "2", "-subj", "/CN=Test"})
                  .exit_status,
              0);
    EXPECT_EQ(RunProcess({"openssl", "pkcs12", "-export", "-in", cert.string(), "-inkey",
                          key.string(), "-passout", "pass:" + pass, "-out", pfx.string()})
                  .exit_status,
              0);
    return pfx;
  }

  // Plain storage: the cabinet writer is not in the Windows build yet.
  ProcessResult PackExe(const std::vector<std::string>& signing) {
    std::vector<std::string> argv = {StubpackExe().string(),
                                     "--archive",
                                     wine_tests::WindowsPath(in_.archive),
                                     "--setup",
                                     wine_tests::WindowsPath(in_.setup),
                                     "--stub",
                                     wine_tests::WindowsPath(in_.stub),
                                     "--setup-storage",
                                     "plain",
                                     "--output",
                                     wine_tests::WindowsPath(out_dir_ / "installer.exe")};
    for (const std::string& a : NamedProduct()) argv.push_back(a);
    argv.insert(argv.end(), signing.begin(), signing.end());
    return wine_tests::RunWine(argv);
  }

  ScratchDirectory scratch_;
  Inputs in_;
  fs::path out_dir_, record_;
};

TEST_F(StubpackExeSigning, PassphraseReachesOsslsigncodeOnlyThroughItsFile) {
  constexpr const char* kPass = "correct horse 7";
  const fs::path pfx = MakePkcs12(kPass), pass_file = scratch_.Path() / "pass.txt";
  WriteText(pass_file, std::string(kPass) + "\n");
  const struct {
    const char* name;
    std::vector<std::string> options;
  } cases[] = {{"file", {"--sign-pass-file", wine_tests::WindowsPath(pass_file)}},
               {"environment", {"--sign-pass-env", "STUBPACK_TEST_PASS"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(record_);
    // Only where stubpack is to read it: else it passes through like any other variable.
    if (c.options[0] == "--sign-pass-env") setenv("STUBPACK_TEST_PASS", kPass, 1);
    std::vector<std::string> options = {"--sign-pkcs12", wine_tests::WindowsPath(pfx)};
    options.insert(options.end(), c.options.begin(), c.options.end());
    const ProcessResult packed = PackExe(options);
    unsetenv("STUBPACK_TEST_PASS");
    ASSERT_EQ(packed.exit_status, 0) << packed.output;
    EXPECT_NE(packed.output.find("signed by /CN=Double Signer (issued by /CN=Double CA)"),
              std::string::npos)
        << packed.output;
    EXPECT_EQ(RecordLines(record_, "readpass="), std::vector<std::string>{kPass});
    for (const char* prefix : {"arg=", "env="}) {
      for (const std::string& line : RecordLines(record_, prefix))
        EXPECT_EQ(line.find(kPass), std::string::npos) << prefix << line;
    }
    // The double signed a copy: nothing but the installer is left.
    EXPECT_EQ(wine_tests::ListDirectory(out_dir_), std::vector<std::string>{"installer.exe"});
    fs::remove(out_dir_ / "installer.exe");
  }
}

TEST_F(StubpackExeSigning, SignCommandGetsAPathWithSpacesAndAmpersandWhole) {
  // The double records its arguments and signs the file in place; verifying then takes the
  // double's report.
  const std::string command = "\"" +
                              wine_tests::WindowsPath(DoubleDirectory() / "osslsigncode.exe") +
                              "\" sign-in-place {}";
  const ProcessResult packed = PackExe({"--sign-command", command});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  const std::vector<std::string> args = RecordLines(record_, "arg=");
  ASSERT_GE(args.size(), 2u) << ReadText(record_);
  EXPECT_EQ(args[0], "sign-in-place");
  const std::string prefix = wine_tests::WindowsPath(out_dir_) + "\\.stubpack-";
  EXPECT_EQ(args[1].rfind(prefix, 0), 0u) << args[1];
  EXPECT_EQ(args[1].substr(args[1].size() - 4), ".exe") << args[1];
  EXPECT_EQ(wine_tests::ListDirectory(out_dir_), std::vector<std::string>{"installer.exe"});
}

TEST_F(StubpackExeSigning, SignCommandWithThePlaceholderInsideQuotesIsRefused) {
  const ProcessResult packed = PackExe({"--sign-command", "signer \"--file={}\""});
  EXPECT_EQ(packed.exit_status, 2) << packed.output;
  EXPECT_NE(packed.output.find("--sign-command: {} stands inside quotes"), std::string::npos)
      << packed.output;
  EXPECT_TRUE(wine_tests::ListDirectory(out_dir_).empty());
}

TEST_F(StubpackExeSigning, OsslsigncodeMissingFromPathIsNamed) {
  const fs::path empty = scratch_.Path() / "no tools here";
  fs::create_directories(empty);
  setenv("WINEPATH", wine_tests::WindowsPath(empty).c_str(), 1);
  const fs::path pfx = MakePkcs12("");
  const ProcessResult packed = PackExe({"--sign-pkcs12", wine_tests::WindowsPath(pfx)});
  EXPECT_EQ(packed.exit_status, 4) << packed.output;
  EXPECT_NE(packed.output.find("stubpack: osslsigncode: signing failed: not installed or not on "
                               "PATH"),
            std::string::npos)
      << packed.output;
  EXPECT_TRUE(wine_tests::ListDirectory(out_dir_).empty());
}

// osslsigncode failing without a message that names a cause, for want of room: the output's
// directory is named with the free space GetDiskFreeSpaceExW reports. The double's copy of the
// unsigned installer is what does not fit.
TEST_F(StubpackExeSigning, NoSpaceWhileSigningNamesTheOutputsDirectory) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const fs::path probe = scratch_.Path() / "probe.exe";
  ASSERT_EQ(
      wine_tests::RunWine(
          {StubpackExe().string(), "--archive", wine_tests::WindowsPath(in_.archive), "--setup",
           wine_tests::WindowsPath(in_.setup), "--stub", wine_tests::WindowsPath(in_.stub),
           "--setup-storage", "plain", "--output", wine_tests::WindowsPath(probe)})
          .exit_status,
      0);
  const uint64_t size = (fs::file_size(probe) + 4095) / 4096 * 4096 + 16384;
  out_dir_ = scratch_.Path() / "small";
  fs::create_directories(out_dir_);
  const ProcessResult mounted = RunProcess(
      {"mount", "-t", "tmpfs", "-o", "size=" + std::to_string(size), "tmpfs", out_dir_.string()});
  if (mounted.exit_status != 0) GTEST_SKIP() << "cannot mount a tmpfs here: " << mounted.output;
  WriteText(scratch_.Path() / "pass.txt", "x\n");
  const ProcessResult packed =
      PackExe({"--sign-pkcs12", wine_tests::WindowsPath(MakePkcs12()), "--sign-pass-file",
               wine_tests::WindowsPath(scratch_.Path() / "pass.txt")});
  EXPECT_EQ(packed.exit_status, 4) << packed.output;
  EXPECT_NE(packed.output.find("stubpack: " + wine_tests::WindowsPath(out_dir_) +
                               ": signing failed: no space left on device"),
            std::string::npos)
      << packed.output;
  EXPECT_EQ(wine_tests::ListDirectory(out_dir_), std::vector<std::string>{}) << "left behind";
  RunProcess({"umount", out_dir_.string()});
}

}  // namespace
}  // namespace packer_tests
