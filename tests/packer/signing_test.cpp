// Signing the installer: every way of giving a key (PEM or DER pair, a passphrase from a file or
// the environment, PKCS#12, a SoftHSM2 token made at test time, a signer of the user's own), a
// time-stamp authority on 127.0.0.1, and the failures, each of which must be one line naming
// the file or setting at fault, exit with 4 and leave nothing at the output path. A wrapper
// osslsigncode on PATH records every command line and environment the packer hands it, so that
// a passphrase showing there fails the test. Also the reader of credential files' kinds and the
// signature's reader, on files made by openssl and osslsigncode.
#include "tools/stubpack/signing.h"

#include <cstdio>
#include <ctime>

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <regex>

#include <signal.h>

#include <sstream>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/packer/packer_fixture.h"
#include "tools/stubpack/certificate_file_kind.h"
#include "tools/stubpack/tool_run.h"

namespace packer_tests {
namespace {

using stubpack::CertificateFileKind;

constexpr const char* kPassphrase = "correct horse 7";
constexpr const char* kPin = "4711";

fs::path SourceDir() { return wine_tests::Setting("STUB_SOURCE_DIR"); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void RunOk(const std::vector<std::string>& argv) {
  const ProcessResult r = RunProcess(argv);
  ASSERT_EQ(r.exit_status, 0) << argv[0] << " " << argv[1] << ": " << r.output;
}

// A certificate and its key, the key encrypted, a PKCS#12 file of both, the same in DER, a key
// of another certificate, and the passphrase files.
struct Credentials {
  fs::path cert, key, encrypted_key, pfx, cert_der, key_der, encrypted_key_der, other_key,
      pass_file, wrong_pass_file, public_key, request, traditional_encrypted_key;
};

Credentials MakeCredentials(const fs::path& d) {
  fs::create_directories(d);
  Credentials c{d / "cert.pem",       d / "key.pem",   d / "encrypted.pem", d / "both.pfx",
                d / "cert.der",       d / "key.der",   d / "encrypted.der", d / "other-key.pem",
                d / "pass.txt",       d / "wrong.txt", d / "public.pem",    d / "request.csr",
                d / "traditional.pem"};
  const std::string pass = std::string("pass:") + kPassphrase;
  RunOk({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", c.key.string(),
         "-out", c.cert.string(), "-days", "2", "-subj", "/CN=Signing Test/O=Stubpack Tests"});
  RunOk({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
         c.other_key.string(), "-out", (d / "other-cert.pem").string(), "-days", "2", "-subj",
         "/CN=Someone Else"});
  RunOk({"openssl", "pkey", "-in", c.key.string(), "-aes256", "-passout", pass, "-out",
         c.encrypted_key.string()});
  RunOk({"openssl", "rsa", "-in", c.key.string(), "-traditional", "-aes128", "-passout", pass,
         "-out", c.traditional_encrypted_key.string()});
  RunOk({"openssl", "pkcs12", "-export", "-in", c.cert.string(), "-inkey", c.key.string(),
         "-passout", pass, "-out", c.pfx.string()});
  RunOk(
      {"openssl", "x509", "-in", c.cert.string(), "-outform", "DER", "-out", c.cert_der.string()});
  RunOk({"openssl", "pkey", "-in", c.key.string(), "-outform", "DER", "-out", c.key_der.string()});
  RunOk({"openssl", "pkcs8", "-topk8", "-in", c.key.string(), "-outform", "DER", "-passout", pass,
         "-out", c.encrypted_key_der.string()});
  RunOk({"openssl", "pkey", "-in", c.key.string(), "-pubout", "-out", c.public_key.string()});
  RunOk({"openssl", "req", "-new", "-key", c.key.string(), "-subj", "/CN=Request", "-out",
         c.request.string()});
  WriteText(c.pass_file, std::string(kPassphrase) + "\n");
  WriteText(c.wrong_pass_file, "not the passphrase\n");
  return c;
}

// An RFC 3161 authority: timestamp_authority.py with a TSA certificate made here, its port read
// from its first line. The process is this test's own and ends with it.
class TimestampAuthority {
 public:
  bool Start(const fs::path& directory, bool refuse) {
    fs::create_directories(directory);
    const fs::path ext = directory / "ext.cnf", config = directory / "tsa.cnf";
    certificate_ = directory / "tsa.crt";
    WriteText(ext,
              "[req]\ndistinguished_name = dn\n[dn]\n[ext]\nbasicConstraints = CA:FALSE\n"
              "keyUsage = critical, digitalSignature\n"
              "extendedKeyUsage = critical, timeStamping\n");
    const ProcessResult made = RunProcess(
        {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
         (directory / "tsa.key").string(), "-out", certificate_.string(), "-days", "2", "-subj",
         "/CN=Signing Test TSA", "-config", ext.string(), "-extensions", "ext"});
    if (made.exit_status != 0) return false;
    WriteText(directory / "serial", "01\n");
    WriteText(config, "[tsa]\ndefault_tsa = tsa_config\n[tsa_config]\ndir = " + directory.string() +
                          "\nserial = $dir/serial\ncrypto_device = builtin\n"
                          "signer_cert = $dir/tsa.crt\nsigner_key = $dir/tsa.key\n"
                          "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\n"
                          "digests = sha1, sha256, sha384, sha512\naccuracy = secs:1\n"
                          "ordering = yes\ntsa_name = yes\ness_cert_id_chain = no\n"
                          "ess_cert_id_alg = sha256\n");
    int out[2];
    if (pipe(out) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      const std::string script = (SourceDir() / "tests/packer/timestamp_authority.py").string();
      if (refuse) {
        execlp("python3", "python3", script.c_str(), "--config", config.c_str(), "--refuse",
               nullptr);
      } else {
        execlp("python3", "python3", script.c_str(), "--config", config.c_str(), nullptr);
      }
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    if (line.empty()) return false;
    url_ = "http://127.0.0.1:" + line + "/";
    return true;
  }
  ~TimestampAuthority() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& Url() const { return url_; }
  const fs::path& Certificate() const { return certificate_; }

 private:
  pid_t pid_ = -1;
  std::string url_;
  fs::path certificate_;
};

// A port of 127.0.0.1 with nothing listening: bound by the system, then released.
std::string DeadUrl() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(a);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
  close(s);
  return "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";
}

class Signing : public ::testing::Test {
 protected:
  void SetUp() override {
    in_ = MakeInputs(scratch_.Path() / "inputs");
    c_ = MakeCredentials(scratch_.Path() / "credentials");
    // The wrapper logs what osslsigncode is given, then runs the real one.
    const fs::path bin = scratch_.Path() / "bin";
    fs::create_directories(bin);
    args_log_ = scratch_.Path() / "osslsigncode-arguments.log";
    env_log_ = scratch_.Path() / "osslsigncode-environment.log";
    const ProcessResult real = RunProcess({"sh", "-c", "command -v osslsigncode"});
    ASSERT_EQ(real.exit_status, 0) << real.output;
    WriteText(bin / "osslsigncode", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + args_log_.string() +
                                        "'\nenv >> '" + env_log_.string() + "'\nexec " +
                                        Lines(real.output)[0] + " \"$@\"\n");
    fs::permissions(bin / "osslsigncode", fs::perms::owner_all);
    setenv("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str(), 1);
    out_dir_ = scratch_.Path() / "out";
    fs::create_directories(out_dir_);
    output_ = out_dir_ / "installer.exe";
  }

  // The variables a case sets hold the passphrase; no later test in this process may see them.
  void TearDown() override {
    for (const char* name : {"RELEASE_KEY_PASS", "PFX_PASS"}) unsetenv(name);
  }

  ProcessResult PackSigned(const std::vector<std::string>& signing) {
    std::vector<std::string> args = {
        "--archive", in_.archive.string(), "--setup",  in_.setup.string(),
        "--stub",    in_.stub.string(),    "--output", output_.string()};
    args.insert(args.end(), NamedProduct().begin(), NamedProduct().end());
    args.insert(args.end(), signing.begin(), signing.end());
    return Pack(args);
  }

  // What osslsigncode verify says of the output, trusting the test's own certificates.
  std::string Verify(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {"osslsigncode", "verify", "-CAfile", c_.cert.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {"-in", output_.string()});
    const ProcessResult v = RunProcess(argv);
    EXPECT_EQ(v.exit_status, 0) << v.output;
    EXPECT_NE(v.output.find("Signature verification: ok"), std::string::npos) << v.output;
    return v.output;
  }

  void ExpectNoSecretHandedOn(const std::string& secret, const std::string& output) {
    EXPECT_EQ(ReadText(args_log_).find(secret), std::string::npos) << "on a command line";
    EXPECT_EQ(ReadText(env_log_).find(secret), std::string::npos)
        << "in osslsigncode's environment";
    EXPECT_EQ(output.find(secret), std::string::npos) << output;
  }

  ScratchDirectory scratch_;
  Inputs in_;
  Credentials c_;
  fs::path args_log_, env_log_, out_dir_, output_;
};

struct SigningWay {
  const char* name;
  std::vector<std::string> arguments;  // "{cert}", "{key}", ... stand for the credentials
  const char* pass_variable;           // set to the passphrase for the run, or null
};
void PrintTo(const SigningWay& w, std::ostream* out) { *out << w.name; }

void Substitute(std::string& text, const std::string& name, const std::string& value) {
  for (size_t at = text.find(name); at != std::string::npos;
       at = text.find(name, at + value.size()))
    text.replace(at, name.size(), value);
}

std::vector<std::string> ExpandCredentials(std::vector<std::string> args, const Credentials& c,
                                           const fs::path& scratch) {
  const std::pair<const char*, fs::path> names[] = {{"{cert}", c.cert},
                                                    {"{key}", c.key},
                                                    {"{encrypted}", c.encrypted_key},
                                                    {"{pfx}", c.pfx},
                                                    {"{cert.der}", c.cert_der},
                                                    {"{key.der}", c.key_der},
                                                    {"{other-key}", c.other_key},
                                                    {"{pass}", c.pass_file},
                                                    {"{wrong-pass}", c.wrong_pass_file},
                                                    {"{traditional}", c.traditional_encrypted_key},
                                                    {"{encrypted.der}", c.encrypted_key_der},
                                                    {"{public}", c.public_key}};
  for (std::string& a : args) {
    for (const auto& [name, path] : names) Substitute(a, name, path.string());
    Substitute(a, "{scratch}", scratch.string());
  }
  return args;
}

class SignsWith : public Signing, public ::testing::WithParamInterface<SigningWay> {};

TEST_P(SignsWith, AVerifiedSignatureOfTheCertificateGiven) {
  const SigningWay& w = GetParam();
  if (w.pass_variable != nullptr) setenv(w.pass_variable, kPassphrase, 1);
  const ProcessResult packed = PackSigned(ExpandCredentials(w.arguments, c_, scratch_.Path()));
  // From here on the test's own runs of osslsigncode go through the wrapper too.
  if (w.pass_variable != nullptr) unsetenv(w.pass_variable);
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  EXPECT_NE(packed.output.find("signed by /CN=Signing Test/O=Stubpack Tests"), std::string::npos)
      << packed.output;
  const std::string verified = Verify();
  EXPECT_NE(verified.find("Subject: /CN=Signing Test/O=Stubpack Tests"), std::string::npos);
  EXPECT_FALSE(ReadText(args_log_).empty()) << "osslsigncode did not run through the wrapper";
  ExpectNoSecretHandedOn(kPassphrase, packed.output);

  const stubpack::SignatureInfo info = stubpack::ReadSignature(output_.string(), c_.cert.string());
  EXPECT_TRUE(info.present && info.digest_matches && info.valid) << info.reason;
  EXPECT_EQ(info.subject, "/CN=Signing Test/O=Stubpack Tests");
  EXPECT_EQ(info.digest_algorithm, "SHA256");
  EXPECT_TRUE(info.timestamp_time.empty()) << info.timestamp_time;
  // Signed at SOURCE_DATE_EPOCH, 2026-05-28 20:26:40 UTC.
  EXPECT_EQ(info.signing_time, "May 28 20:26:40 2026 GMT");
  const ProcessResult inspected = RunProcess({Stubpack().string(), "inspect", output_.string()});
  EXPECT_NE(inspected.output.find("signature: SHA256, signed by /CN=Signing Test/O=Stubpack Tests"),
            std::string::npos)
      << inspected.output;
  EXPECT_NE(inspected.output.find("  timestamp: none"), std::string::npos) << inspected.output;
}

INSTANTIATE_TEST_SUITE_P(
    Credentials, SignsWith,
    ::testing::Values(
        SigningWay{"PemPair", {"--sign-cert", "{cert}", "--sign-key", "{key}"}, nullptr},
        SigningWay{"DerPair", {"--sign-cert", "{cert.der}", "--sign-key", "{key.der}"}, nullptr},
        SigningWay{
            "EncryptedPemPassFromFile",
            {"--sign-cert", "{cert}", "--sign-key", "{encrypted}", "--sign-pass-file", "{pass}"},
            nullptr},
        SigningWay{"EncryptedPemPassFromEnvironment",
                   {"--sign-cert", "{cert}", "--sign-key", "{encrypted}", "--sign-pass-env",
                    "RELEASE_KEY_PASS"},
                   "RELEASE_KEY_PASS"},
        SigningWay{
            "TraditionalEncryptedPem",
            {"--sign-cert", "{cert}", "--sign-key", "{traditional}", "--sign-pass-file", "{pass}"},
            nullptr},
        SigningWay{"Pkcs12PassFromFile",
                   {"--sign-pkcs12", "{pfx}", "--sign-pass-file", "{pass}"},
                   nullptr},
        SigningWay{"Pkcs12PassFromEnvironment",
                   {"--sign-pkcs12", "{pfx}", "--sign-pass-env", "PFX_PASS"},
                   "PFX_PASS"}),
    [](const ::testing::TestParamInfo<SigningWay>& info) { return std::string(info.param.name); });

// --- Failures: exit status, one line naming the file or setting, nothing at the output. ---

struct SigningRefusal {
  const char* name;
  int status;
  std::vector<std::string> arguments;  // as in SigningWay, plus "{tsa-down}" and "{tsa-refusing}"
  std::vector<std::string> message;    // all in the one line, with the same placeholders
  const char* shell_prefix;            // run through sh with this first, or null
};
void PrintTo(const SigningRefusal& r, std::ostream* out) { *out << r.name; }

class SigningRefused : public Signing, public ::testing::WithParamInterface<SigningRefusal> {};

TEST_P(SigningRefused, OneLineNamingTheCauseAndNothingWritten) {
  const SigningRefusal& c = GetParam();
  WriteText(output_, "an older installer");
  TimestampAuthority refusing;
  std::string dead = DeadUrl();
  std::vector<std::string> args = ExpandCredentials(c.arguments, c_, scratch_.Path());
  std::vector<std::string> message = ExpandCredentials(c.message, c_, scratch_.Path());
  for (std::vector<std::string>* list : {&args, &message}) {
    for (std::string& a : *list) {
      Substitute(a, "{tsa-down}", dead);
      if (a.find("{tsa-refusing}") != std::string::npos) {
        if (refusing.Url().empty()) {
          ASSERT_TRUE(refusing.Start(scratch_.Path() / "tsa", true));
        }
        Substitute(a, "{tsa-refusing}", refusing.Url());
      }
    }
  }
  std::vector<std::string> full = {
      "--archive", in_.archive.string(), "--setup",  in_.setup.string(),
      "--stub",    in_.stub.string(),    "--output", output_.string()};
  full.insert(full.end(), args.begin(), args.end());
  ProcessResult r;
  if (c.shell_prefix != nullptr) {
    std::string prefix = c.shell_prefix;
    if (prefix.find("{blocks}") != std::string::npos) {
      // A file size limit that the unsigned installer fits and the signed one does not: the
      // limit counts 1024-byte blocks and the signature adds more than the 512-byte alignment
      // leaves.
      const fs::path probe = scratch_.Path() / "probe.exe";
      std::vector<std::string> unsigned_run = {
          "--archive", in_.archive.string(), "--setup",  in_.setup.string(),
          "--stub",    in_.stub.string(),    "--output", probe.string()};
      ASSERT_EQ(Pack(unsigned_run).exit_status, 0);
      prefix.replace(prefix.find("{blocks}"), 8,
                     std::to_string((fs::file_size(probe) + 1023) / 1024));
    }
    // bash: its ulimit -f counts 1024-byte blocks (dash's 512).
    std::vector<std::string> argv = {"bash", "-c", prefix + " exec \"$0\" \"$@\"",
                                     Stubpack().string()};
    argv.insert(argv.end(), full.begin(), full.end());
    setenv("SOURCE_DATE_EPOCH", kEpoch, 1);
    r = RunProcess(argv);
  } else {
    r = Pack(full);
  }
  EXPECT_EQ(r.exit_status, c.status) << r.output;
  std::vector<std::string> said;
  for (const std::string& line : Lines(r.output)) {
    // A usage error's hint to --help follows its one line.
    if (line.rfind("stubpack: warning:", 0) != 0 && line != "Try 'stubpack --help'.")
      said.push_back(line);
  }
  ASSERT_EQ(said.size(), 1u) << "not one line: " << r.output;
  EXPECT_EQ(said[0].rfind("stubpack: ", 0), 0u) << said[0];
  for (const std::string& expected : message)
    EXPECT_NE(said[0].find(expected), std::string::npos)
        << "missing \"" << expected << "\" in: " << said[0];
  EXPECT_EQ(ReadText(output_), "an older installer");
  EXPECT_EQ(wine_tests::ListDirectory(out_dir_), std::vector<std::string>{"installer.exe"})
      << "something was left beside the output";
  ExpectNoSecretHandedOn(kPassphrase, r.output);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, SigningRefused,
    ::testing::Values(
        SigningRefusal{"WrongPassphrase",
                       4,
                       {"--sign-cert", "{cert}", "--sign-key", "{encrypted}", "--sign-pass-file",
                        "{wrong-pass}"},
                       {"{encrypted}: ", "wrong passphrase", "--sign-pass-file {wrong-pass}"},
                       nullptr},
        SigningRefusal{"WrongPkcs12Passphrase",
                       4,
                       {"--sign-pkcs12", "{pfx}", "--sign-pass-file", "{wrong-pass}"},
                       {"{pfx}: ", "wrong passphrase"},
                       nullptr},
        SigningRefusal{"EncryptedKeyWithoutPassphrase",
                       4,
                       {"--sign-cert", "{cert}", "--sign-key", "{encrypted}"},
                       {"{encrypted}: ", "is encrypted", "--sign-pass-file"},
                       nullptr},
        SigningRefusal{"SwappedCertificateAndKey",
                       4,
                       {"--sign-cert", "{key}", "--sign-key", "{cert}"},
                       {"{key}: ", "a PEM private key", "{cert} is a PEM certificate", "swapped"},
                       nullptr},
        SigningRefusal{"KeyOfAnotherCertificate",
                       4,
                       {"--sign-cert", "{cert}", "--sign-key", "{other-key}"},
                       {"{other-key}: ", "does not match the certificate in {cert}"},
                       nullptr},
        SigningRefusal{"KeyFileIsACertificate",
                       4,
                       {"--sign-cert", "{cert}", "--sign-key", "{cert.der}"},
                       {"{cert.der}: ", "is a DER certificate, not a private key"},
                       nullptr},
        SigningRefusal{"KeyFileIsAPublicKey",
                       4,
                       {"--sign-cert", "{cert}", "--sign-key", "{public}"},
                       {"{public}: ", "is a PEM public key, not a private key"},
                       nullptr},
        SigningRefusal{"Pkcs12GivenAsKey",
                       4,
                       {"--sign-cert", "{cert}", "--sign-key", "{pfx}"},
                       {"{pfx}: ", "a PKCS#12 file", "--sign-pkcs12"},
                       nullptr},
        SigningRefusal{"EncryptedDerKey",
                       4,
                       {"--sign-cert", "{cert}", "--sign-key", "{encrypted.der}",
                        "--sign-pass-file", "{pass}"},
                       {"{encrypted.der}: ", "encrypted DER private key", "convert it to PEM"},
                       nullptr},
        SigningRefusal{"PassVariableUnset",
                       4,
                       {"--sign-cert", "{cert}", "--sign-key", "{encrypted}", "--sign-pass-env",
                        "STUBPACK_TEST_UNSET_PASS"},
                       {"--sign-pass-env STUBPACK_TEST_UNSET_PASS: ", "not set"},
                       nullptr},
        SigningRefusal{"NoOsslsigncode",
                       4,
                       {"--sign-cert", "{cert}", "--sign-key", "{key}"},
                       {"osslsigncode: ", "not installed or not on PATH"},
                       "PATH=/nonexistent;"},
        SigningRefusal{"FileSizeLimitWhileSigning",
                       4,
                       {"--sign-cert", "{cert}", "--sign-key", "{key}"},
                       {"installer.exe: ", "file size limit"},
                       "ulimit -f {blocks};"},
        SigningRefusal{
            "TimestampAuthorityDown",
            4,
            {"--sign-cert", "{cert}", "--sign-key", "{key}", "--timestamp-url", "{tsa-down}"},
            {"{tsa-down}: ", "cannot be reached", "Connection refused"},
            nullptr},
        SigningRefusal{
            "TimestampAuthorityAnswersAnError",
            4,
            {"--sign-cert", "{cert}", "--sign-key", "{key}", "--timestamp-url", "{tsa-refusing}"},
            {"{tsa-refusing}: ", "answered with an error", "code=500"},
            nullptr},
        SigningRefusal{"SignCommandFails",
                       4,
                       {"--sign-command", "sh -c 'echo token unplugged >&2; exit 3' x {}"},
                       {"--sign-command: ", "'sh -c 'echo token unplugged >&2; exit 3' x {}'",
                        "exited with 3", "token unplugged"},
                       nullptr},
        SigningRefusal{"SignCommandSignsNothing",
                       4,
                       {"--sign-command", "test -f {}"},
                       {"--sign-command: ", "carries no signature"},
                       nullptr},
        SigningRefusal{"SignCommandWithAKey",
                       2,
                       {"--sign-command", "true {}", "--sign-key", "{key}"},
                       {"--sign-command: ", "excludes"},
                       nullptr},
        SigningRefusal{"SignCommandWithoutPlaceholder",
                       2,
                       {"--sign-command", "true"},
                       {"--sign-command: ", "needs {}"},
                       nullptr},
        SigningRefusal{"PassphraseWithoutAKey",
                       2,
                       {"--sign-pass-file", "{pass}"},
                       {"need a way to sign"},
                       nullptr},
        // There is no option that takes a passphrase itself: the value is not echoed either.
        SigningRefusal{"PassphraseOnTheCommandLine",
                       2,
                       {"--sign-cert", "{cert}", "--sign-key", "{encrypted}",
                        std::string("--sign-pass=") + kPassphrase},
                       {"unknown option '--sign-pass'"},
                       nullptr}),
    [](const ::testing::TestParamInfo<SigningRefusal>& info) {
      return std::string(info.param.name);
    });

// OpenSSL asks for a passphrase on /dev/tty whatever stdin is, and osslsigncode asks again after
// a wrong one: with a terminal it would wait for a person. Under script(1), which gives the run
// a terminal of its own, the wrong passphrase must still end the run with its one line.
TEST_F(Signing, WrongPassphraseWithATerminalEndsWithoutPrompting) {
  std::string command = "'" + Stubpack().string() + "'";
  for (const std::string& a :
       {std::string("--archive"), in_.archive.string(), std::string("--setup"), in_.setup.string(),
        std::string("--stub"), in_.stub.string(), std::string("--output"), output_.string(),
        std::string("--sign-cert"), c_.cert.string(), std::string("--sign-key"),
        c_.encrypted_key.string(), std::string("--sign-pass-file"), c_.wrong_pass_file.string()})
    command += " '" + a + "'";
  setenv("SOURCE_DATE_EPOCH", kEpoch, 1);
  const ProcessResult r =
      RunProcess({"script", "-qec", command, "/dev/null"}, std::chrono::seconds(60));
  EXPECT_FALSE(r.timed_out) << "stubpack waited for a passphrase on the terminal";
  EXPECT_EQ(r.exit_status, 4) << r.output;
  EXPECT_NE(r.output.find("wrong passphrase"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Enter PEM pass phrase"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(output_));
}

// A full disk while osslsigncode writes: a tmpfs that holds the unsigned installer but not a
// second, signed copy beside it. Mounting takes root.
TEST_F(Signing, NoSpaceWhileSigningNamesTheOutputsDirectory) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const fs::path probe = scratch_.Path() / "probe.exe";
  // Setup stored plain, so the scratch directory holds only the unsigned installer: the tmpfs
  // has room for it and not for a signed copy beside it.
  ASSERT_EQ(Pack({"--archive", in_.archive.string(), "--setup", in_.setup.string(), "--stub",
                  in_.stub.string(), "--setup-storage", "plain", "--output", probe.string()})
                .exit_status,
            0);
  const uint64_t size = (fs::file_size(probe) + 4095) / 4096 * 4096 + 16384;
  const fs::path small = scratch_.Path() / "small";
  fs::create_directories(small);
  const ProcessResult mounted = RunProcess(
      {"mount", "-t", "tmpfs", "-o", "size=" + std::to_string(size), "tmpfs", small.string()});
  if (mounted.exit_status != 0) GTEST_SKIP() << "cannot mount a tmpfs here: " << mounted.output;
  output_ = small / "installer.exe";
  const ProcessResult r = PackSigned(
      {"--setup-storage", "plain", "--sign-cert", c_.cert.string(), "--sign-key", c_.key.string()});
  EXPECT_EQ(r.exit_status, 4) << r.output;
  EXPECT_NE(
      r.output.find("stubpack: " + small.string() + ": signing failed: no space left on device"),
      std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find(":error:"), std::string::npos) << "OpenSSL's stack shown: " << r.output;
  EXPECT_EQ(wine_tests::ListDirectory(small), std::vector<std::string>{}) << "left behind";
  RunProcess({"umount", small.string()});
}

// --- A PKCS#11 token: SoftHSM2 with a token made for this test. ---

TEST_F(Signing, SignsWithAKeyOnAPkcs11Token) {
  const fs::path module = "/usr/lib/softhsm/libsofthsm2.so";
  ASSERT_TRUE(fs::exists(module)) << "softhsm2 is not installed (scripts/install-deps.sh)";
  const fs::path tokens = scratch_.Path() / "tokens";
  fs::create_directories(tokens);
  WriteText(scratch_.Path() / "softhsm2.conf", "directories.tokendir = " + tokens.string() +
                                                   "\nobjectstore.backend = file\n"
                                                   "log.level = ERROR\n");
  setenv("SOFTHSM2_CONF", (scratch_.Path() / "softhsm2.conf").c_str(), 1);
  RunOk({"softhsm2-util", "--init-token", "--free", "--label", "stubpack-test", "--pin", kPin,
         "--so-pin", "123456"});
  const fs::path pkcs8 = scratch_.Path() / "key.pk8";
  RunOk({"openssl", "pkcs8", "-topk8", "-nocrypt", "-in", c_.key.string(), "-outform", "DER",
         "-out", pkcs8.string()});
  RunOk({"pkcs11-tool", "--module", module.string(), "--token-label", "stubpack-test", "--login",
         "--pin", kPin, "--write-object", pkcs8.string(), "--type", "privkey", "--id", "01",
         "--label", "signing-key"});
  const fs::path pin = scratch_.Path() / "pin.txt", wrong_pin = scratch_.Path() / "wrong-pin.txt";
  WriteText(pin, kPin);
  WriteText(wrong_pin, "0000");
  const std::string uri = "pkcs11:token=stubpack-test;object=signing-key;type=private";

  RunOk({"pkcs11-tool", "--module", module.string(), "--token-label", "stubpack-test", "--login",
         "--pin", kPin, "--write-object", c_.cert_der.string(), "--type", "cert", "--id", "01",
         "--label", "signing-cert"});
  // The certificate as a file beside the token, and as an object on it.
  for (const std::string& cert :
       {c_.cert.string(),
        std::string("pkcs11:token=stubpack-test;object=signing-cert;type=cert")}) {
    fs::remove(output_);
    const ProcessResult packed =
        PackSigned({"--sign-pkcs11-module", module.string(), "--sign-key", uri, "--sign-cert", cert,
                    "--sign-pass-file", pin.string()});
    ASSERT_EQ(packed.exit_status, 0) << cert << ": " << packed.output;
    EXPECT_NE(packed.output.find("signed by /CN=Signing Test/O=Stubpack Tests"), std::string::npos)
        << packed.output;
    Verify();
    ExpectNoSecretHandedOn(kPin, packed.output);
  }

  struct Failure {
    std::vector<std::string> arguments;
    std::string message;
  };
  const Failure failures[] = {
      {{"--sign-pkcs11-module", module.string(), "--sign-key", uri, "--sign-cert", c_.cert.string(),
        "--sign-pass-file", wrong_pin.string()},
       uri + ": signing failed: the token refused the PIN"},
      {{"--sign-pkcs11-module", module.string(), "--sign-key",
        "pkcs11:token=stubpack-test;object=no-such-key;type=private", "--sign-cert",
        c_.cert.string(), "--sign-pass-file", pin.string()},
       "no-such-key;type=private: signing failed: the token holds no private key at this URI"},
      {{"--sign-key", uri, "--sign-cert", c_.cert.string()}, "needs --sign-pkcs11-module"}};
  for (const Failure& f : failures) {
    fs::remove(output_);
    const ProcessResult r = PackSigned(f.arguments);
    EXPECT_EQ(r.exit_status, f.message == "needs --sign-pkcs11-module" ? 2 : 4) << r.output;
    EXPECT_NE(r.output.find(f.message), std::string::npos) << r.output;
    EXPECT_EQ(Lines(r.output).size(), 1u) << r.output;
    EXPECT_FALSE(fs::exists(output_));
  }
}

// --- A time-stamp authority on 127.0.0.1. ---

TEST_F(Signing, TimestampFromTheAuthorityIsCarriedAndReported) {
  TimestampAuthority tsa;
  ASSERT_TRUE(tsa.Start(scratch_.Path() / "tsa", false));
  const ProcessResult packed = PackSigned({"--sign-cert", c_.cert.string(), "--sign-key",
                                           c_.key.string(), "--timestamp-url", tsa.Url()});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  std::smatch m;
  const std::string said = packed.output;
  ASSERT_TRUE(std::regex_search(said, m, std::regex("timestamp: (.+ GMT) by /CN=Signing Test TSA")))
      << said;
  // The authority's clock is this machine's: its time is now, not SOURCE_DATE_EPOCH.
  std::tm fields{};
  ASSERT_NE(strptime(m[1].str().c_str(), "%b %d %H:%M:%S %Y GMT", &fields), nullptr) << m[1];
  EXPECT_LT(std::llabs(static_cast<long long>(timegm(&fields)) - std::time(nullptr)), 600) << m[1];

  const std::string verified = Verify({"-TSA-CAfile", tsa.Certificate().string()});
  EXPECT_NE(verified.find("Timestamp Server Signature verification: ok"), std::string::npos)
      << verified;
  EXPECT_NE(verified.find("Timestamp time: " + m[1].str()), std::string::npos) << verified;
  const ProcessResult inspected = RunProcess({Stubpack().string(), "inspect", output_.string()});
  EXPECT_NE(inspected.output.find("  timestamp: " + m[1].str() + " by /CN=Signing Test TSA"),
            std::string::npos)
      << inspected.output;
}

// --- A signer of the user's own. ---

TEST_F(Signing, SignCommandGetsThePathUnharmedAndItsSignatureVerifies) {
  out_dir_ = scratch_.Path() / "release builds" / "it's \"final\" $HOME `x`";
  fs::create_directories(out_dir_);
  output_ = out_dir_ / "installer.exe";
  const fs::path received = scratch_.Path() / "received.txt";
  const fs::path script = scratch_.Path() / "my signer.sh";
  WriteText(script, "#!/bin/sh\nset -e\nprintf '%s\\n' \"$1\" > '" + received.string() +
                        "'\nosslsigncode sign -certs '" + c_.cert.string() + "' -key '" +
                        c_.key.string() +
                        "' -h sha256 -in \"$1\" -out \"$1.signed\"\nmv \"$1.signed\" \"$1\"\n");
  fs::permissions(script, fs::perms::owner_all);
  const ProcessResult packed = PackSigned({"--sign-command", "'" + script.string() + "' {}"});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  EXPECT_NE(packed.output.find("signed by /CN=Signing Test/O=Stubpack Tests"), std::string::npos)
      << packed.output;
  Verify();
  const std::string path = Lines(ReadText(received)).at(0);
  EXPECT_EQ(path.rfind(out_dir_.string() + "/", 0), 0u) << path;
  EXPECT_EQ(wine_tests::ListDirectory(out_dir_), std::vector<std::string>{"installer.exe"});
}

// The signer runs in a session of its own (no terminal to prompt on), so the terminal's Ctrl+C
// does not reach it: a packer that is stopped must end it, with what it started, before removing
// its scratch files, or the signer goes on writing beside the output.
TEST_F(Signing, StoppedPackerEndsItsSignerAndLeavesNothing) {
  WriteText(output_, "an older installer");
  const fs::path marker = scratch_.Path() / "signer.pid";
  const std::string command =
      "sh -c 'echo $$ > \"$0\".tmp && mv \"$0\".tmp \"$0\" && exec sleep 60' '" + marker.string() +
      "'; true {}";
  setenv("SOURCE_DATE_EPOCH", kEpoch, 1);
  const pid_t packer = fork();
  if (packer == 0) {
    const std::string stubpack = Stubpack().string();
    execl(stubpack.c_str(), stubpack.c_str(), "--archive", in_.archive.c_str(), "--setup",
          in_.setup.c_str(), "--stub", in_.stub.c_str(), "--output", output_.c_str(),
          "--sign-command", command.c_str(), nullptr);
    _exit(127);
  }
  // Bounded waits only guard against a hang; nothing here depends on how long a step takes.
  for (int i = 0; i < 600 && !fs::exists(marker); ++i) usleep(100000);
  ASSERT_TRUE(fs::exists(marker)) << "the signer never started";
  const pid_t signer = std::stoi(ReadText(marker));
  kill(packer, SIGTERM);
  int status = 0;
  waitpid(packer, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  const auto alive = [&]() {
    const std::string stat = ReadText("/proc/" + std::to_string(signer) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
  };
  for (int i = 0; i < 100 && alive(); ++i) usleep(100000);
  EXPECT_FALSE(alive()) << "the signer " << signer << " outlived the packer";
  if (alive()) kill(signer, SIGKILL);
  EXPECT_EQ(ReadText(output_), "an older installer");
  EXPECT_EQ(wine_tests::ListDirectory(out_dir_), std::vector<std::string>{"installer.exe"});
}

// --- The readers, on files made by openssl and osslsigncode. ---

TEST_F(Signing, CertificateFileKindOfEachFile) {
  const fs::path garbage = scratch_.Path() / "garbage.bin";
  WriteText(garbage, "not a key at all\n");
  // openssl x509 -text: a text that starts with '0' (DER's SEQUENCE tag) and then the PEM.
  const fs::path annotated = scratch_.Path() / "annotated.pem";
  WriteText(annotated, "0 Bag Attributes: none\n" + ReadText(c_.cert));
  const fs::path unterminated = scratch_.Path() / "unterminated.pem";
  WriteText(unterminated, "-----BEGIN CERTIFICATE-----\nMIIB\n");
  const fs::path p7b = scratch_.Path() / "chain.p7b";
  RunOk({"openssl", "crl2pkcs7", "-nocrl", "-certfile", c_.cert.string(), "-out", p7b.string()});
  const fs::path p7b_der = scratch_.Path() / "chain-der.p7b";
  RunOk({"openssl", "crl2pkcs7", "-nocrl", "-certfile", c_.cert.string(), "-outform", "DER", "-out",
         p7b_der.string()});
  const fs::path ec = scratch_.Path() / "ec.der";
  RunOk({"openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-outform", "DER",
         "-out", ec.string()});
  const struct {
    fs::path file;
    CertificateFileKind kind;
  } cases[] = {
      {c_.cert, CertificateFileKind::kPemCertificate},
      {annotated, CertificateFileKind::kPemCertificate},
      {c_.key, CertificateFileKind::kPemPrivateKey},
      {c_.encrypted_key, CertificateFileKind::kPemEncryptedPrivateKey},
      {c_.traditional_encrypted_key, CertificateFileKind::kPemEncryptedPrivateKey},
      {c_.public_key, CertificateFileKind::kPemPublicKey},
      {c_.request, CertificateFileKind::kPemOther},
      {p7b, CertificateFileKind::kPemPkcs7},
      {c_.cert_der, CertificateFileKind::kDerCertificate},
      {c_.key_der, CertificateFileKind::kDerPrivateKey},
      {ec, CertificateFileKind::kDerPrivateKey},
      {c_.encrypted_key_der, CertificateFileKind::kDerEncryptedPrivateKey},
      {p7b_der, CertificateFileKind::kDerPkcs7},
      {c_.pfx, CertificateFileKind::kPkcs12},
      {garbage, CertificateFileKind::kUnknown},
      {unterminated, CertificateFileKind::kUnknown},
      {in_.empty, CertificateFileKind::kUnknown},
  };
  for (const auto& c : cases) {
    const std::string bytes = ReadText(c.file);
    EXPECT_EQ(stubpack::ClassifyCertificateFile(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                bytes.size()),
              c.kind)
        << c.file.filename();
  }
  // Every cut of a DER file is nothing: each prefix is copied to a buffer of exactly its size,
  // which the sanitizer build watches for reads beyond it.
  for (const fs::path& file : {c_.cert_der, c_.key_der, c_.pfx}) {
    const std::string bytes = ReadText(file);
    for (size_t n = 0; n < bytes.size(); ++n) {
      std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
      ASSERT_EQ(stubpack::ClassifyCertificateFile(cut.data(), cut.size()),
                CertificateFileKind::kUnknown)
          << file.filename() << " cut at " << n;
    }
  }
}

TEST_F(Signing, ReadSignatureTellsAbsentWholeAndTamperedApart) {
  const ProcessResult packed =
      PackSigned({"--sign-cert", c_.cert.string(), "--sign-key", c_.key.string()});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  const stubpack::SignatureInfo whole = stubpack::ReadSignature(output_.string());
  EXPECT_TRUE(whole.present && whole.digest_matches);
  EXPECT_FALSE(whole.valid) << "a self-signed certificate is not trusted by the system";
  EXPECT_NE(whole.reason.find("self-signed"), std::string::npos) << whole.reason;
  EXPECT_EQ(whole.issuer, "/CN=Signing Test/O=Stubpack Tests");
  EXPECT_FALSE(whole.serial.empty());

  // One byte of the archive changed after signing.
  std::string bytes = ReadText(output_);
  const size_t at = bytes.size() / 2;
  bytes[at] = static_cast<char>(bytes[at] ^ 0x55);
  const fs::path tampered = scratch_.Path() / "tampered.exe";
  WriteText(tampered, bytes);
  const stubpack::SignatureInfo changed =
      stubpack::ReadSignature(tampered.string(), c_.cert.string());
  EXPECT_TRUE(changed.present);
  EXPECT_FALSE(changed.digest_matches);
  EXPECT_FALSE(changed.valid);

  const stubpack::SignatureInfo none = stubpack::ReadSignature(in_.stub.string());
  EXPECT_TRUE(none.read);
  EXPECT_FALSE(none.present);
}

TEST(SigningHelp, NamesEveryWayToSignAndNoOptionTakesAPassphrase) {
  const ProcessResult help = RunProcess({Stubpack().string(), "--help"});
  ASSERT_EQ(help.exit_status, 0) << help.output;
  for (const char* option :
       {"--sign-cert FILE", "--sign-key FILE|URI", "--sign-pkcs12 FILE", "--sign-pkcs11-module",
        "--sign-pass-file FILE", "--sign-pass-env NAME", "--timestamp-url URL", "--sign-command"})
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
  // Every option that could carry a secret names where it comes from, never the secret itself.
  const std::regex takes_secret(R"(--sign-(pass|pin|password)( |=)(PASS|PIN|TEXT|SECRET))");
  EXPECT_FALSE(std::regex_search(help.output, takes_secret)) << help.output;
  for (const char* given : {"--sign-pass", "--sign-pin", "--sign-password"}) {
    const ProcessResult r = RunProcess({Stubpack().string(), given, kPassphrase});
    EXPECT_EQ(r.exit_status, 2) << given;
    EXPECT_EQ(r.output.find(kPassphrase), std::string::npos) << r.output;
  }
}

TEST(SignCommand, EachPlaceholderBecomesTheFirstPositionalParameter) {
  const struct {
    const char* command;
    const char* script;
  } cases[] = {{"sign {}", "sign \"$1\""},
               {"cp {} {}.bak && sign --in {}", "cp \"$1\" \"$1\".bak && sign --in \"$1\""},
               {"sign{}", "sign\"$1\""},
               {"echo { } }{", "echo { } }{"}};
  for (const auto& c : cases)
    EXPECT_EQ(stubpack::SignCommandScript(c.command), c.script) << c.command;
}

}  // namespace
}  // namespace packer_tests
