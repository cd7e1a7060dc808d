#include "tools/stubpack/signing.h"

#include <algorithm>
#include <sstream>

#include "tools/stubpack/certificate_file_kind.h"
#include "tools/stubpack/mapped_file.h"
#include "tools/stubpack/pe_image.h"
#include "tools/stubpack/report.h"
#include "tools/stubpack/system.h"
#include "tools/stubpack/tool_run.h"

namespace stubpack {

namespace {

// Room a signature takes beyond the unsigned file: the certificate table with a chain and a
// timestamp is a few KiB; a margin well above that tells "no space" from other failures.
constexpr uint64_t kSignatureRoom = 64 * 1024;

bool IsUri(const std::string& s) { return s.rfind("pkcs11:", 0) == 0; }

std::string ReadFileText(const std::string& path, bool& ok, std::string& problem) {
  sys::Bytes bytes;
  ok = sys::ReadWhole(path, bytes, problem);
  return ok ? std::string(bytes.begin(), bytes.end()) : std::string();
}

std::string Trimmed(std::string text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  text.erase(0, first);
  text.erase(text.find_last_not_of(" \t\r\n") + 1);
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(Trimmed(line));
  return lines;
}

// The text after "KEY" on the first line that starts with it, trimmed; empty when none.
std::string After(const std::vector<std::string>& lines, const std::string& key, size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].rfind(key, 0) == 0) return Trimmed(lines[i].substr(key.size()));
  }
  return {};
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& key) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(key, 0) == 0) return i;
  }
  return lines.size();
}

// OpenSSL's own error stack lines ("40A0...:error:...:reason:file.c:NN:detail") say the most
// in their reason; the first such reason, for a failure no pattern below explains.
std::string FirstMeaningfulLine(const std::string& log) {
  for (const std::string& line : Lines(log)) {
    if (line.empty() || line == "Failed" || line.rfind("Connecting to ", 0) == 0 ||
        line.find(":error:") != std::string::npos || line.rfind("Engine \"", 0) == 0 ||
        line.rfind("Warning:", 0) == 0)
      continue;
    return line;
  }
  return {};
}

// The text of "code=500, reason=..." or of "calling connect(...)"'s cause, from OpenSSL's stack.
std::string OpenSslDetail(const std::string& log, const std::string& marker) {
  const size_t at = log.find(marker);
  if (at == std::string::npos) return {};
  const size_t end = log.find('\n', at);
  return Trimmed(log.substr(at, end == std::string::npos ? std::string::npos : end - at));
}

std::string PassSource(const SigningSettings& s) {
  return !s.pass_file.empty() ? "--sign-pass-file " + s.pass_file : "--sign-pass-env " + s.pass_env;
}

bool PassGiven(const SigningSettings& s) { return !s.pass_file.empty() || !s.pass_env.empty(); }

// The passphrase: the first line of the file (without its line end) or the variable's value.
bool ReadPassphrase(const SigningSettings& s, std::string& pass, int& status) {
  if (!s.pass_file.empty()) {
    bool ok = false;
    std::string problem;
    pass = ReadFileText(s.pass_file, ok, problem);
    if (!ok) {
      status = Fail(kExitIo, s.pass_file, "cannot be read: " + problem);
      return false;
    }
    pass = pass.substr(0, pass.find('\n'));
    if (!pass.empty() && pass.back() == '\r') pass.pop_back();
    return true;
  }
  if (!sys::Environment(s.pass_env.c_str(), pass)) {
    status = Fail(kExitSigning, "--sign-pass-env " + s.pass_env, "the variable is not set");
    return false;
  }
  // Read once; no child (osslsigncode, its own children, the verification) needs it, and a
  // child's environment is readable by every process of the same user.
  ForgetVariable(s.pass_env);
  return true;
}

uint64_t FileSize(const std::string& path) {
  sys::FileStatus status;
  std::string problem;
  return sys::Status(path, status, problem) ? status.size : 0;
}

// osslsigncode says nothing useful when its output cannot be written ("Unable to modify file
// header"), so a failure no message explains is checked against the room the output has.
bool ExplainNoRoom(const std::string& unsigned_path, const std::string& signed_path,
                   const std::string& output, int& status) {
  const uint64_t needed = FileSize(unsigned_path) + kSignatureRoom;
  uint64_t limit = 0;
  if (FileSizeLimit(limit) && limit < needed) {
    status = Fail(kExitSigning, output,
                  "signing failed: the file size limit (ulimit -f) of " + std::to_string(limit) +
                      " bytes is below the signed installer's size of about " +
                      std::to_string(needed) + " bytes");
    return true;
  }
  uint64_t free_bytes = 0;
  if (FreeSpace(sys::DirectoryOf(signed_path), free_bytes) && free_bytes < needed) {
    status =
        Fail(kExitSigning, sys::DirectoryOf(output),
             "signing failed: no space left on device (" + std::to_string(free_bytes) +
                 " bytes free, the signed installer needs about " + std::to_string(needed) + ")");
    return true;
  }
  return false;
}

// The PKCS#7 signature of a signed PE file: the first entry of its certificate table.
bool SignatureBlob(const std::string& path, std::string& blob) {
  MappedFile file;
  std::string problem;
  Bytes head;
  uint64_t size = 0;
  PeHeaders pe;
  if (!ReadHead(path, head, size, problem) || !ParsePe(head, pe, problem) ||
      !file.Open(path, problem))
    return false;
  const uint64_t at = pe.DirectoryRva(kSecurityDirectory, head);
  const uint64_t length = pe.DirectorySize(kSecurityDirectory, head);
  if (length < 8 || at + length > file.Size()) return false;
  const uint32_t entry = GetU32(file.Data() + at);
  if (entry < 8 || entry > length) return false;
  blob.assign(reinterpret_cast<const char*>(file.Data() + at + 8), entry - 8);
  return true;
}

// The trust for checking what was just signed: the system's certificates and those the
// signature carries, so that a chain of a private or test authority is checked for what it
// proves (the file is whole and signed by that certificate's key) without being trusted here.
bool CarriedTrust(const std::string& path, ToolFile& trust) {
  std::string blob, problem;
  ToolFile der;
  if (!SignatureBlob(path, blob) || !der.Create("stubpack-signature", false, problem) ||
      !der.Write(blob, problem))
    return false;
  const ToolRun printed = RunTool({"openssl", "pkcs7", "-inform", "DER", "-in", der.Path(),
                                   "-print_certs", "-out", trust.Path()});
  Detail(printed.output);
  if (!printed.Ok()) return false;
  bool ok = false;
  const std::string bundle = SystemCertificates();
  const std::string system = bundle.empty() ? "" : ReadFileText(bundle, ok, problem);
  return trust.Write(system, problem);
}

int CheckFileKind(const std::string& path, const char* option, bool want_certificate,
                  const SigningSettings& s, CertificateFileKind& kind) {
  bool ok = false;
  std::string problem;
  const std::string bytes = ReadFileText(path, ok, problem);
  if (!ok) return Fail(kExitIo, path, "cannot be read: " + problem);
  kind = ClassifyCertificateFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  const bool fits = want_certificate ? IsCertificateKind(kind) : IsPrivateKeyKind(kind);
  if (fits) return kExitOk;
  std::string cause =
      std::string("is ") + DescribeCertificateFileKind(kind) + ", not " +
      (want_certificate ? "a certificate (PEM or DER)" : "a private key (PEM or DER)") + " as " +
      option + " takes";
  if (kind == CertificateFileKind::kPkcs12) cause += "; give it with --sign-pkcs12";
  // The other file being of this file's wanted kind means the two were given the wrong way.
  const std::string& other = want_certificate ? s.key : s.certificate;
  if (!other.empty() && !IsUri(other)) {
    const std::string other_bytes = ReadFileText(other, ok, problem);
    const CertificateFileKind other_kind = ClassifyCertificateFile(
        reinterpret_cast<const uint8_t*>(other_bytes.data()), other_bytes.size());
    if (ok && (want_certificate ? IsCertificateKind(other_kind) : IsPrivateKeyKind(other_kind)) &&
        (want_certificate ? IsPrivateKeyKind(kind) : IsCertificateKind(kind)))
      cause += "; " + other + " is " + DescribeCertificateFileKind(other_kind) +
               ": --sign-cert and --sign-key are swapped";
  }
  return Fail(kExitSigning, path, cause);
}

// `unsigned_path`, when not empty, is what osslsigncode read: a file it wrote without a
// signature is then checked for the room it had.
int VerifySigned(const SigningSettings& s, const std::string& path, const std::string& output,
                 const std::string& unsigned_path) {
  SignatureInfo info = ReadSignature(path);
  if (!info.read)
    return Fail(kExitSigning, output, "the signature cannot be checked: " + info.reason);
  int status = kExitSigning;
  if (!info.present && !unsigned_path.empty() && ExplainNoRoom(unsigned_path, path, output, status))
    return status;
  if (!info.present || !info.digest_matches)
    return Fail(kExitSigning, s.command.empty() ? output : "--sign-command",
                !info.present ? "the signed installer carries no signature" +
                                    std::string(s.command.empty() ? "" : " after the command ran")
                              : "the signature's digest is not the installer's own: "
                                "the file was changed after it was signed");
  std::string trust = "trusted by this system's certificates";
  if (!info.valid) {
    // Not trusted here: still the signature must hold with the chain it carries.
    ToolFile carried;
    std::string problem;
    const std::string untrusted = info.reason;
    if (carried.Create("stubpack-trust", false, problem) && CarriedTrust(path, carried)) {
      const SignatureInfo own = ReadSignature(path, carried.Path());
      if (own.valid) {
        info.timestamp_time = own.timestamp_time;
        trust =
            "not trusted by this system (" + untrusted + "); verified with the chain it carries";
      } else if (s.command.empty()) {
        return Fail(kExitSigning, output, "the signature does not verify: " + own.reason);
      } else {
        trust = "does not verify: " + own.reason;
      }
    } else {
      trust = "not trusted by this system (" + untrusted + ")";
    }
  }
  Say("signed by " + info.subject + " (issued by " + info.issuer + "), " + info.digest_algorithm +
      "; " + trust);
  if (!info.timestamp_time.empty())
    Say("timestamp: " + info.timestamp_time + " by " + info.timestamp_authority);
  return kExitOk;
}

}  // namespace

void StopSigningTool() { StopTool(); }

bool SigningRequested(const SigningSettings& s) {
  return !s.certificate.empty() || !s.key.empty() || !s.pkcs12.empty() || !s.command.empty() ||
         !s.pkcs11_module.empty() || PassGiven(s) || !s.timestamp_urls.empty();
}

int CheckSigningSettings(const SigningSettings& s) {
  const bool key_options =
      !s.certificate.empty() || !s.key.empty() || !s.pkcs12.empty() || !s.pkcs11_module.empty();
  if (!s.command.empty()) {
    if (key_options || PassGiven(s) || !s.timestamp_urls.empty())
      return Fail(kExitUsage, "--sign-command",
                  "signs on its own: it excludes --sign-cert, --sign-key, --sign-pkcs12, "
                  "--sign-pkcs11-module, --sign-pass-* and --timestamp-url");
    if (s.command.find("{}") == std::string::npos)
      return Fail(kExitUsage, "--sign-command", "needs {} where the file's path goes");
    if (const std::string problem = SignCommandProblem(s.command); !problem.empty())
      return Fail(kExitUsage, "--sign-command", problem);
    return kExitOk;
  }
  if (!s.pass_file.empty() && !s.pass_env.empty())
    return Fail(kExitUsage, "", "--sign-pass-file and --sign-pass-env exclude each other");
  if (!s.pkcs12.empty() && (!s.certificate.empty() || !s.key.empty() || !s.pkcs11_module.empty()))
    return Fail(kExitUsage, "--sign-pkcs12",
                "holds the key and the chain: it excludes --sign-cert, --sign-key and "
                "--sign-pkcs11-module");
  if (s.pkcs12.empty() && (s.certificate.empty() || s.key.empty())) {
    if (!key_options && (PassGiven(s) || !s.timestamp_urls.empty()))
      return Fail(kExitUsage, "",
                  "--sign-pass-* and --timestamp-url need a way to sign: --sign-cert with "
                  "--sign-key, --sign-pkcs12 or --sign-command");
    return Fail(kExitUsage, "", "signing needs both --sign-cert and --sign-key (or --sign-pkcs12)");
  }
  for (const std::string& url : s.timestamp_urls) {
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0)
      return Fail(kExitUsage, "--timestamp-url " + url, "is not an http:// or https:// address");
  }
  std::string value, problem;
  if (!s.pass_env.empty() && !sys::Environment(s.pass_env.c_str(), value))
    return Fail(kExitSigning, "--sign-pass-env " + s.pass_env, "the variable is not set");
  std::fill(value.begin(), value.end(), '\0');
  if (!s.pass_file.empty()) {
    bool ok = false;
    std::string pass = ReadFileText(s.pass_file, ok, problem);
    std::fill(pass.begin(), pass.end(), '\0');
    if (!ok) return Fail(kExitIo, s.pass_file, "cannot be read: " + problem);
  }
  CertificateFileKind kind = CertificateFileKind::kUnknown;
  if (!s.pkcs12.empty()) {
    bool ok = false;
    const std::string bytes = ReadFileText(s.pkcs12, ok, problem);
    if (!ok) return Fail(kExitIo, s.pkcs12, "cannot be read: " + problem);
    kind = ClassifyCertificateFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    if (kind != CertificateFileKind::kPkcs12)
      return Fail(kExitSigning, s.pkcs12,
                  std::string("is ") + DescribeCertificateFileKind(kind) +
                      ", not a PKCS#12 file (.pfx/.p12) as --sign-pkcs12 takes" +
                      (IsCertificateKind(kind) || IsPrivateKeyKind(kind)
                           ? "; give a certificate and a key with --sign-cert and --sign-key"
                           : ""));
    return kExitOk;
  }
  if (IsUri(s.key) || IsUri(s.certificate)) {
    if (s.pkcs11_module.empty())
      return Fail(kExitUsage, IsUri(s.key) ? s.key : s.certificate,
                  "a pkcs11: URI needs --sign-pkcs11-module, the token's PKCS#11 library");
    sys::FileStatus module;
    if (!sys::Status(s.pkcs11_module, module, problem))
      return Fail(
          kExitIo, s.pkcs11_module,
          "cannot be read: " + problem + " (--sign-pkcs11-module, the token's PKCS#11 library)");
  } else if (!s.pkcs11_module.empty()) {
    return Fail(kExitUsage, "--sign-pkcs11-module",
                "needs --sign-key as a pkcs11: URI naming the key on the token");
  }
  if (!IsUri(s.certificate)) {
    if (const int status = CheckFileKind(s.certificate, "--sign-cert", true, s, kind);
        status != kExitOk)
      return status;
  }
  if (!IsUri(s.key)) {
    if (const int status = CheckFileKind(s.key, "--sign-key", false, s, kind); status != kExitOk)
      return status;
    const bool encrypted = kind == CertificateFileKind::kPemEncryptedPrivateKey ||
                           kind == CertificateFileKind::kDerEncryptedPrivateKey;
    // osslsigncode 2.9 reads an encrypted PKCS#8 key only as PEM: as DER it fails whatever the
    // passphrase.
    if (kind == CertificateFileKind::kDerEncryptedPrivateKey)
      return Fail(kExitSigning, s.key,
                  "is an encrypted DER private key, which osslsigncode cannot read; convert it "
                  "to PEM (openssl pkcs8 -inform DER -in KEY -out KEY.pem)");
    if (encrypted && !PassGiven(s))
      return Fail(kExitSigning, s.key,
                  "is encrypted: give its passphrase with --sign-pass-file or --sign-pass-env");
  }
  return kExitOk;
}

SigningFailure ExplainSigningFailure(const SigningSettings& s, const std::string& log) {
  const auto has = [&](const char* text) { return log.find(text) != std::string::npos; };
  const std::string& key_source = !s.pkcs12.empty() ? s.pkcs12 : s.key;
  if (has("Failed to checking the consistency of a private key") ||
      has("X509_check_private_key:key values mismatch"))
    return {s.key,
            "signing failed: the private key does not match the certificate in " + s.certificate};
  if (has("PIN incorrect"))
    return {s.key, "signing failed: the token refused the PIN (from " + PassSource(s) + ")"};
  if (has("PIN locked")) return {s.key, "signing failed: the token's PIN is locked"};
  if (has("Unable to load module"))
    return {s.pkcs11_module,
            "signing failed: cannot be loaded as a PKCS#11 module: " + FirstMeaningfulLine(log)};
  if (has("The private key was not found at:"))
    return {s.key, "signing failed: the token holds no private key at this URI"};
  if (has("Failed to parse PKCS#12 file") || has("PKCS12_parse:mac verify failure")) {
    if (has("mac verify failure"))
      return {s.pkcs12, PassGiven(s)
                            ? "signing failed: wrong passphrase (from " + PassSource(s) + ")"
                            : "signing failed: the file is protected by a passphrase: "
                              "give it with --sign-pass-file or --sign-pass-env"};
    return {s.pkcs12, "signing failed: osslsigncode cannot read the PKCS#12 file"};
  }
  if (has("Failed to decode private key file") || has("Failed to load private key")) {
    if (PassGiven(s) && has("bad decrypt"))
      return {key_source, "signing failed: wrong passphrase (from " + PassSource(s) + ")"};
    return {key_source,
            "signing failed: osslsigncode cannot read the private key (damaged, or "
            "encrypted with another passphrase)"};
  }
  if (has("No certificate found") || has("Failed to read certificate"))
    return {s.certificate, "signing failed: osslsigncode finds no certificate in it"};
  if (has("RFC 3161 timestamping failed") || has("HTTP failure")) {
    std::string url = s.timestamp_urls.empty() ? "--timestamp-url" : s.timestamp_urls.back();
    const std::string answer = OpenSslDetail(log, "code=");
    if (!answer.empty())
      return {url, "timestamping failed: the time-stamp authority answered with an error: " +
                       answer.substr(0, answer.find(":../"))};
    for (const char* cause : {"Connection refused", "Name or service not known",
                              "Connection timed out", "No route to host"}) {
      if (has(cause))
        return {url, std::string("timestamping failed: the time-stamp authority cannot be "
                                 "reached: ") +
                         cause};
    }
    return {url, "timestamping failed: " + FirstMeaningfulLine(log)};
  }
  const std::string first = FirstMeaningfulLine(log);
  return {"", "signing failed: osslsigncode: " + (first.empty() ? "no message" : first)};
}

int SignInstaller(const SigningSettings& s, const std::string& unsigned_path,
                  const std::string& signed_path, const std::string& output) {
  if (!s.command.empty()) {
    const ToolRun run = RunSignCommand(s.command, unsigned_path);
    Detail(run.output);
    if (!run.started)
      return Fail(kExitSigning, "--sign-command", "cannot start the shell: " + run.start_problem);
    if (!run.Ok()) {
      std::string last;
      for (const std::string& line : Lines(run.output)) {
        if (!line.empty()) last = line;
      }
      return Fail(kExitSigning, "--sign-command",
                  "signing failed: '" + s.command + "' " + run.Ending() +
                      (last.empty() ? "" : ": " + last));
    }
    return VerifySigned(s, unsigned_path, output, "");
  }

  std::vector<std::string> args = {"osslsigncode", "sign"};
  if (!s.pkcs12.empty()) {
    args.insert(args.end(), {"-pkcs12", s.pkcs12});
  } else {
    if (!s.pkcs11_module.empty()) args.insert(args.end(), {"-pkcs11module", s.pkcs11_module});
    if (IsUri(s.certificate)) {
      args.insert(args.end(), {"-pkcs11cert", s.certificate});
    } else {
      args.insert(args.end(), {"-certs", s.certificate});
    }
    args.insert(args.end(), {"-key", s.key});
  }
  // The passphrase reaches osslsigncode through a descriptor, never its command line.
  ToolFile pass_file;
  if (PassGiven(s)) {
    std::string pass, problem;
    int status = kExitOk;
    if (!ReadPassphrase(s, pass, status)) return status;
    const bool handed =
        pass_file.Create("stubpack-passphrase", true, problem) && pass_file.Write(pass, problem);
    std::fill(pass.begin(), pass.end(), '\0');
    if (!handed)
      return Fail(kExitSigning, PassSource(s), "cannot hand the passphrase on: " + problem);
    args.insert(args.end(), {"-readpass", pass_file.Path()});
  }
  args.insert(args.end(), {"-h", "sha256"});
  if (!s.description.empty()) args.insert(args.end(), {"-n", s.description});
  args.insert(args.end(), {"-time", std::to_string(s.time)});
  for (const std::string& url : s.timestamp_urls) args.insert(args.end(), {"-ts", url});
  args.insert(args.end(), {"-in", unsigned_path, "-out", signed_path});
  const ToolRun run = RunTool(args);
  pass_file.Close();  // before any other child could inherit it
  Detail(run.output);
  if (run.not_found)
    return Fail(
        kExitSigning, "osslsigncode",
        "signing failed: not installed or not on PATH (" + InstallHint("osslsigncode") + ")");
  if (!run.started)
    return Fail(kExitSigning, "osslsigncode",
                "signing failed: cannot be run: " + run.start_problem);
  if (!run.Ok()) {
    const SigningFailure failure = ExplainSigningFailure(s, run.output);
    int status = kExitSigning;
    if (failure.file.empty() && ExplainNoRoom(unsigned_path, signed_path, output, status))
      return status;
    if (failure.file.empty())
      return Fail(kExitSigning, output, failure.cause + " (osslsigncode " + run.Ending() + ")");
    return Fail(kExitSigning, failure.file, failure.cause);
  }
  // osslsigncode 2.9 ends with 0 when a write fails under a file size limit; the verification
  // then finds no signature and asks why.
  return VerifySigned(s, signed_path, output, unsigned_path);
}

SignatureInfo ParseVerifyOutput(const std::string& text, bool exited_ok) {
  SignatureInfo info;
  info.read = true;
  const std::vector<std::string> lines = Lines(text);
  if (IndexOf(lines, "No signature found") < lines.size()) {
    info.reason = "the file carries no signature";
    return info;
  }
  info.present = IndexOf(lines, "Signature Index:") < lines.size() ||
                 IndexOf(lines, "Signer's certificate:") < lines.size();
  if (!info.present) {
    info.reason = FirstMeaningfulLine(text);
    return info;
  }
  const std::string current = After(lines, "Current message digest    :");
  const std::string calculated = After(lines, "Calculated message digest :");
  info.digest_matches = !current.empty() && current == calculated;
  info.digest_algorithm = After(lines, "Message digest algorithm  :");
  const size_t signer = IndexOf(lines, "Signer's certificate:");
  info.subject = After(lines, "Subject:", signer);
  info.issuer = After(lines, "Issuer :", signer);
  info.serial = After(lines, "Serial :", signer);
  const size_t attributes = IndexOf(lines, "Authenticated attributes:");
  const size_t counter = IndexOf(lines, "Countersignatures:");
  if (attributes < counter) {
    for (size_t i = attributes + 1; i < counter && i < lines.size(); ++i) {
      if (lines[i].rfind("Signing time:", 0) == 0) {
        info.signing_time = After(lines, "Signing time:", i);
        break;
      }
    }
  }
  if (counter < lines.size()) {
    info.timestamp_time = After(lines, "Timestamp time:", counter);
    info.timestamp_authority = After(lines, "Issuer:", counter);
    const size_t by = IndexOf(lines, "Timestamp verified using:");
    if (by < lines.size()) {
      const std::string subject = After(lines, "Subject:", by);
      if (!subject.empty()) info.timestamp_authority = subject;
    }
  }
  info.valid = exited_ok && IndexOf(lines, "Signature verification: ok") < lines.size();
  if (!info.valid) {
    if (!info.digest_matches) {
      info.reason = "the digest signed is not the file's own";
    } else {
      std::string error = After(lines, "Error:");
      if (error.empty()) error = FirstMeaningfulLine(text);
      info.reason = error.empty() ? "verification failed" : error;
    }
  }
  return info;
}

SignatureInfo ReadSignature(const std::string& path, const std::string& ca_file) {
  // An empty certificate table needs no tool: inspect of an unsigned installer then says the
  // same on a machine without osslsigncode (stubpack.exe's usual case).
  Bytes head;
  uint64_t size = 0;
  PeHeaders pe;
  std::string problem;
  if (ReadHead(path, head, size, problem) && ParsePe(head, pe, problem) &&
      pe.DirectorySize(kSecurityDirectory, head) == 0) {
    SignatureInfo info;
    info.read = true;
    info.reason = "the file carries no signature";
    return info;
  }
  std::vector<std::string> args = {"osslsigncode", "verify"};
  if (!ca_file.empty()) args.insert(args.end(), {"-CAfile", ca_file});
  args.insert(args.end(), {"-in", path});
  const ToolRun run = RunTool(args);
  Detail(run.output);
  if (!run.started) {
    SignatureInfo info;
    info.reason = run.not_found ? "osslsigncode is not installed or not on PATH"
                                : "osslsigncode cannot be run: " + run.start_problem;
    return info;
  }
  return ParseVerifyOutput(run.output, run.Ok());
}

}  // namespace stubpack
