// The packer's way of starting tools on Windows, under Wine: tool-run-test.exe checks it from
// the Windows side (quoting, PATH, output, handles, the passphrase file, --sign-command, stop),
// and the osslsigncode double's verify report is one that ParseVerifyOutput takes as a valid
// signature, so that the double can stand in for osslsigncode when stubpack.exe signs.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace packer_tests
