// What the packer writes, as Windows programs see it under Wine: the loader finds every
// resource and the version block, a signed installer runs like an unsigned one, and the real
// stub does with each layout of the table what `stubpack inspect` says it will.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "tests/packer/packer_fixture.h"

namespace packer_tests {
namespace {

class PackerWine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(Stubpack())) << Stubpack();
    for (const char* program : {"stub.exe", "launcher.exe", "enum-resources.exe"}) {
      ASSERT_TRUE(fs::is_regular_file(wine_tests::WindowsBinDir() / program))
          << program << " is missing; build the windows preset first";
    }
    ASSERT_EQ(wine_tests::PrepareWine(), "");
    in_ = MakeInputs(scratch_.Path() / "in");
  }

  // Runs an installer as a user would start it, with its quoted path as the command line.
  wine_tests::LaunchResult Run(const fs::path& installer) {
    return wine_tests::LaunchRaw(installer, "\"" + wine_tests::WindowsPath(installer) + "\"",
                                 scratch_.Path());
  }

  ScratchDirectory scratch_;
  Inputs in_;
};

TEST_F(PackerWine, LoaderFindsEveryResourceAndReadsTheVersionBlock) {
  const fs::path installer = scratch_.Path() / "installer.exe";
  const ProcessResult packed =
      Pack({"--archive", in_.archive.string(), "--setup", in_.setup.string(), "--output",
            installer.string(), "--product-version", "1.2.3.4", "--company-name", "Test Company",
            "--resource", "notes", "readme.txt", in_.readme.string()});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;

  const ProcessResult listing =
      wine_tests::RunWine({(wine_tests::WindowsBinDir() / "enum-resources.exe").string(),
                           wine_tests::WindowsPath(installer)});
  ASSERT_EQ(listing.exit_status, 0) << listing.output;
  std::vector<std::string> found, version;
  std::istringstream lines(listing.output);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string first = line.substr(0, line.find('\t'));
    if (first == "version" || first == "fixed" || first == "translation") {
      version.push_back(line);
    } else if (line.find('\t') != std::string::npos) {
      std::replace(line.begin(), line.end(), '\t', '/');
      found.push_back(line);
    }
  }
  // The same entries, in the same order and with the same sizes, as objdump reads them.
  std::string dump;
  std::vector<std::string> expected;
  for (const DumpedResource& r : ObjdumpResources(installer, dump))
    expected.push_back(r.type + "/" + r.name + "/" + std::to_string(r.size));
  EXPECT_EQ(found, expected) << listing.output;
  EXPECT_NE(std::find(found.begin(), found.end(),
                      "NOTES/README.TXT/" + std::to_string(fs::file_size(in_.readme))),
            found.end())
      << "a name given in small letters is found";

  // A setup without a version resource: only what the options and the defaults give.
  const std::vector<std::string> expected_version = {"fixed\t1.2.3.4\t1.2.3.4\t0x17\t0\t0x4\t0x1",
                                                     "translation\t0409\t04b0",
                                                     "version\tCompanyName\tTest Company",
                                                     "version\tFileDescription\tInstaller",
                                                     "version\tFileVersion\t1.2.3.4",
                                                     "version\tInternalName\tinstaller",
                                                     "version\tOriginalFilename\tinstaller.exe",
                                                     "version\tProductVersion\t1.2.3.4"};
  EXPECT_EQ(version, expected_version) << listing.output;
}

// The version block as VerQueryValueW reads it, from setup and from the installer made of it:
// the same, but for the two names of the file itself.
TEST_F(PackerWine, InstallerShowsSetupsVersionAsTheLoaderReadsIt) {
  const fs::path setup = wine_tests::WindowsBinDir() / "version-setup.exe";
  const fs::path installer = scratch_.Path() / "installer.exe";
  const ProcessResult packed = Pack({"--archive", in_.archive.string(), "--setup", setup.string(),
                                     "--output", installer.string()});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  const auto version_lines = [](const fs::path& file, std::vector<std::string>& names) {
    const ProcessResult listing =
        wine_tests::RunWine({(wine_tests::WindowsBinDir() / "enum-resources.exe").string(),
                             wine_tests::WindowsPath(file)});
    EXPECT_EQ(listing.exit_status, 0) << listing.output;
    std::vector<std::string> lines;
    std::istringstream in(listing.output);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("version\tInternalName\t", 0) == 0 ||
          line.rfind("version\tOriginalFilename\t", 0) == 0) {
        names.push_back(line);
      } else if (line.rfind("version\t", 0) == 0 || line.rfind("translation\t", 0) == 0) {
        lines.push_back(line);
      } else if (line.rfind("fixed\t", 0) == 0) {
        // The numbers; the flags are the installer's own.
        lines.push_back(line.substr(0, line.find('\t', line.find('\t', 6) + 1)));
      }
    }
    return lines;
  };
  std::vector<std::string> setup_names, installer_names;
  std::vector<std::string> from_setup = version_lines(setup, setup_names);
  // An empty value is left out of the installer's block.
  from_setup.erase(std::remove(from_setup.begin(), from_setup.end(), "version\tSpecialBuild\t"),
                   from_setup.end());
  EXPECT_EQ(version_lines(installer, installer_names), from_setup);
  EXPECT_NE(std::find(from_setup.begin(), from_setup.end(), "fixed\t3.1.4.1\t3.1.0.0"),
            from_setup.end());
  EXPECT_EQ(installer_names,
            (std::vector<std::string>{"version\tInternalName\tinstaller",
                                      "version\tOriginalFilename\tinstaller.exe"}));
}

TEST_F(PackerWine, SignedInstallerRunsAsTheUnsignedOneDoes) {
  const fs::path cert = scratch_.Path() / "cert.pem", key = scratch_.Path() / "key.pem";
  ASSERT_EQ(RunProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key.string(), "-out", cert.string(), "-days", "2", "-subj", "/CN=Wine"})
                .exit_status,
            0);
  std::vector<uint32_t> codes;
  for (const bool sign : {false, true}) {
    const fs::path directory = scratch_.Path() / (sign ? "signed" : "unsigned");
    fs::create_directories(directory);
    const fs::path installer = directory / "installer.exe";
    std::vector<std::string> args = {"--archive",        in_.archive.string(), "--setup",
                                     in_.setup.string(), "--output",           installer.string()};
    if (sign) args.insert(args.end(), {"--sign-cert", cert.string(), "--sign-key", key.string()});
    const ProcessResult packed = Pack(args);
    ASSERT_EQ(packed.exit_status, 0) << packed.output;
    const wine_tests::LaunchResult run = Run(installer);
    ASSERT_TRUE(run.exit_code.has_value()) << run.diagnostics;
    codes.push_back(*run.exit_code);
    EXPECT_EQ(wine_tests::ListDirectory(directory), std::vector<std::string>{"installer.exe"});
  }
  EXPECT_EQ(codes[1], codes[0]) << "signed and unsigned installers end differently";
}

}  // namespace
}  // namespace packer_tests
