// `stubpack inspect` as a release gate: its exit statuses, and --json read by python3's json
// module with its values checked against independent readers (sha256sum of what wrestool
// extracts, objdump's sizes).
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/packer/packer_fixture.h"

namespace packer_tests {
namespace {

// Prints, from the JSON on stdin, one line per fact: "file SIZE SHA", "res TYPE NAME SIZE SHA"
// (numbers as "#N"), "verdict CODE|null", "installer BOOL", "status N", "longest UNITS",
// "string:KEY VALUE" (spaces in KEY as "_"), "fixed FILE PRODUCT", "signature PRESENT MATCHES",
// "signer SUBJECT", "serial HEX".
constexpr const char kReader[] = R"(
import json, sys
o = json.load(sys.stdin)
assert o["schema"] == 1, o["schema"]
i = lambda x: "#%d" % x["number"] if x["number"] is not None else x["name"]
print("file", o["file"]["size"], o["file"]["sha256"])
for r in o["resources"]:
    print("res", i(r["type"]), i(r["name"]), r["size"], r["sha256"])
print("installer", str(o["installer"]).lower())
print("status", o["exit_status"])
if o["installer"]:
    print("verdict", o["verdict"]["exit_code"] if o["verdict"]["exit_code"] is not None else "null")
    print("longest", o["longest_directory"]["units"] if o["longest_directory"] else "null")
    v = o["version"]
    if v:
        for s in v["strings"]:
            print("string:" + s["key"].replace(" ", "_"), s["value"])
        if v["fixed"]:
            print("fixed", v["fixed"]["file_version"], v["fixed"]["product_version"])
    g = o["signature"]
    print("signature", str(g["present"]).lower(), str(g.get("digest_matches")).lower())
    if g["present"]:
        print("signer", g["subject"])
        print("serial", g["serial"])
)";

struct Facts {
  int status = -1;  // inspect's exit status
  std::string stdout_text;
  std::map<std::string, std::string> lines;  // first word -> the rest, "res TYPE/NAME" for each
};

class InspectGate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(wine_tests::WindowsBinDir() / "enum-resources.exe"))
        << "build the windows preset first";
    in_ = MakeInputs(scratch_.Path() / "in");
  }

  Facts Json(const fs::path& file) {
    const fs::path json = scratch_.Path() / "inspect.json", reader = scratch_.Path() / "read.py";
    WriteText(reader, kReader);
    const ProcessResult run =
        RunProcess({"sh", "-c",
                    "'" + Stubpack().string() + "' inspect --json '" + file.string() + "' >'" +
                        json.string() + "' 2>/dev/null"});
    Facts f;
    f.status = run.exit_status;
    f.stdout_text = ReadText(json);
    if (f.stdout_text.empty()) return f;
    const ProcessResult read =
        RunProcess({"sh", "-c", "python3 '" + reader.string() + "' <'" + json.string() + "'"});
    EXPECT_EQ(read.exit_status, 0) << read.output << f.stdout_text;
    std::istringstream lines(read.output);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string key, a, b;
      words >> key;
      if (key == "res") {
        words >> a >> b;
        key += " " + a + "/" + b;
      }
      std::string rest;
      std::getline(words, rest);
      f.lines[key] = rest.empty() ? rest : rest.substr(1);
    }
    return f;
  }

  std::string Sha256sum(const fs::path& file) {
    const ProcessResult sum = RunProcess({"sha256sum", file.string()});
    EXPECT_EQ(sum.exit_status, 0) << sum.output;
    return sum.output.substr(0, 64);
  }

  ScratchDirectory scratch_;
  Inputs in_;
};

TEST_F(InspectGate, GoodInstallerAgreesWithWrestoolAndObjdump) {
  const fs::path installer = scratch_.Path() / "installer.exe";
  const ProcessResult packed = Pack({"--archive", in_.archive.string(), "--setup",
                                     in_.setup.string(), "--output", installer.string()});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  const Facts f = Json(installer);
  EXPECT_EQ(f.status, 0) << f.stdout_text;
  EXPECT_EQ(f.lines.at("file"),
            std::to_string(fs::file_size(installer)) + " " + Sha256sum(installer));
  EXPECT_EQ(f.lines.at("installer"), "true");
  EXPECT_EQ(f.lines.at("status"), "0");
  EXPECT_EQ(f.lines.at("verdict"), "null");
  EXPECT_NE(f.lines.at("longest"), "null");

  std::string dump;
  const std::vector<DumpedResource> dumped = ObjdumpResources(installer, dump);
  ASSERT_FALSE(dumped.empty()) << dump;
  size_t listed = 0;
  for (const auto& [key, value] : f.lines) listed += key.rfind("res ", 0) == 0;
  EXPECT_EQ(listed, dumped.size()) << dump;
  for (const DumpedResource& r : dumped) {
    const std::string key = "res " + r.type + "/" + r.name;
    ASSERT_EQ(f.lines.count(key), 1u) << key << "\n" << f.stdout_text;
    EXPECT_EQ(f.lines.at(key).substr(0, f.lines.at(key).find(' ')), std::to_string(r.size)) << key;
  }
  // The payload, extracted by wrestool and hashed by sha256sum.
  for (const auto& [type, name] :
       {std::pair<std::string, std::string>{"B7", "NIMBET.PACKED.7Z"}, {"BL", "SETUP.EX_"}}) {
    const fs::path out = scratch_.Path() / ("x-" + type);
    fs::create_directories(out);
    const ProcessResult x =
        RunProcess({"wrestool", "-x", "--raw", "--type=" + type, "--name=" + name, "-o",
                    out.string() + "/", installer.string()});
    ASSERT_EQ(x.exit_status, 0) << x.output;
    std::string extracted;
    for (const fs::directory_entry& e : fs::directory_iterator(out)) extracted = e.path();
    ASSERT_FALSE(extracted.empty());
    const std::string value = f.lines.at("res " + type + "/" + name);
    EXPECT_EQ(value.substr(value.find(' ') + 1), Sha256sum(extracted)) << type << "/" << name;
    EXPECT_EQ(value.substr(0, value.find(' ')), std::to_string(fs::file_size(extracted)));
  }
}

// The other three answers: a layout the stub rejects (1, with the code the text names), setup.exe
// itself, a plain program (5), a file that cannot be read (3, nothing on stdout).
TEST_F(InspectGate, ExitStatusSaysWhatTheFileIs) {
  const fs::path rejected = scratch_.Path() / "rejected.exe";
  const ProcessResult packed = Pack(
      {"--archive", in_.archive.string(), "--setup", in_.setup.string(), "--output",
       rejected.string(), "--resource", "BL", "README.TXT", in_.readme.string(), "--unchecked"});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  const InspectVerdict text = Inspect(rejected);
  ASSERT_TRUE(text.exit_code.has_value()) << text.output;
  const Facts bad = Json(rejected);
  EXPECT_EQ(bad.status, 1) << bad.stdout_text;
  EXPECT_EQ(bad.lines.at("status"), "1");
  EXPECT_EQ(bad.lines.at("verdict"), std::to_string(*text.exit_code));
  EXPECT_EQ(RunProcess({Stubpack().string(), "inspect", rejected.string()}).exit_status, 1);

  const Facts setup = Json(in_.setup);
  EXPECT_EQ(setup.status, 5) << setup.stdout_text;
  EXPECT_EQ(setup.lines.at("installer"), "false");
  EXPECT_EQ(setup.lines.at("file"),
            std::to_string(fs::file_size(in_.setup)) + " " + Sha256sum(in_.setup));
  EXPECT_EQ(RunProcess({Stubpack().string(), "inspect", in_.readme.string()}).exit_status, 5);

  const Facts missing = Json(scratch_.Path() / "missing.exe");
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(missing.stdout_text, "");
}

// The version strings and the signature as the packer was told and as openssl reads the
// certificate; a byte changed after signing shows as a digest that no longer matches.
TEST_F(InspectGate, VersionAndSignatureAsGivenAndAsOpensslSeesThem) {
  if (UnderWine()) GTEST_SKIP() << "no osslsigncode.exe under Wine (tool_run_wine_test signs with a double)";
  const fs::path key = scratch_.Path() / "key.pem", cert = scratch_.Path() / "cert.pem";
  ASSERT_EQ(
      RunProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                  key.string(), "-out", cert.string(), "-days", "2", "-subj", "/CN=Json Gate"})
          .exit_status,
      0);
  const fs::path signed_installer = scratch_.Path() / "signed.exe";
  std::vector<std::string> args = {"--archive",
                                   in_.archive.string(),
                                   "--setup",
                                   in_.setup.string(),
                                   "--output",
                                   signed_installer.string(),
                                   "--product-name",
                                   "Gate Product",
                                   "--product-version",
                                   "2.5-rc1",
                                   "--product-version-number",
                                   "2.5.0.1",
                                   "--file-version",
                                   "2.5.0.77"};
  const ProcessResult unsigned_pack = Pack(args);
  ASSERT_EQ(unsigned_pack.exit_status, 0) << unsigned_pack.output;
  const Facts plain = Json(signed_installer);
  EXPECT_EQ(plain.lines.at("signature"), "false none");

  args.insert(args.end(), {"--sign-cert", cert.string(), "--sign-key", key.string()});
  const ProcessResult packed = Pack(args);
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  const Facts f = Json(signed_installer);
  ASSERT_EQ(f.status, 0) << f.stdout_text;
  EXPECT_EQ(f.lines.at("string:ProductName"), "Gate Product");
  EXPECT_EQ(f.lines.at("string:ProductVersion"), "2.5-rc1");
  EXPECT_EQ(f.lines.at("string:FileVersion"), "2.5.0.77");
  EXPECT_EQ(f.lines.at("fixed"), "2.5.0.77 2.5.0.1");
  EXPECT_EQ(f.lines.at("signature"), "true true");
  EXPECT_NE(f.lines.at("signer").find("CN=Json Gate"), std::string::npos) << f.lines.at("signer");
  const ProcessResult serial =
      RunProcess({"openssl", "x509", "-in", cert.string(), "-noout", "-serial"});
  ASSERT_EQ(serial.exit_status, 0) << serial.output;
  EXPECT_EQ("serial=" + f.lines.at("serial") + "\n", serial.output);

  // The middle of the file is payload, which the signature's digest covers.
  std::string bytes = ReadText(signed_installer);
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x5A);
  const fs::path tampered = scratch_.Path() / "tampered.exe";
  WriteText(tampered, bytes);
  EXPECT_EQ(Json(tampered).lines.at("signature"), "true false");
}

}  // namespace
}  // namespace packer_tests
