// TEMPORARY stand-ins of stubpack.exe for what has not come to Windows yet: the cabinet writer
// (libgcab, which the Windows build does not link) and signing (osslsigncode runs as a process).
// Each refuses with a message instead of doing less than it says; plain storage packs fully.
#include <string>

#include "tools/stubpack/cabinet.h"
#include "tools/stubpack/pe_image.h"
#include "tools/stubpack/report.h"
#include "tools/stubpack/signing.h"

namespace stubpack {

DosDateTime DosDateTimeFromUnix(int64_t) { return DosDateTime(); }

bool WriteSetupCabinet(const std::string&, const std::string&, int64_t, std::string& problem) {
  problem = "cabinet storage not yet available in this build (--setup-storage plain packs setup)";
  return false;
}

bool SigningRequested(const SigningSettings& s) {
  return !s.certificate.empty() || !s.key.empty() || !s.pkcs12.empty() || !s.command.empty() ||
         !s.pkcs11_module.empty() || !s.pass_file.empty() || !s.pass_env.empty() ||
         !s.timestamp_urls.empty();
}

int CheckSigningSettings(const SigningSettings&) {
  return Fail(kExitSigning, "", "signing is not yet available in this build");
}

int SignInstaller(const SigningSettings&, const std::string&, const std::string&,
                  const std::string&) {
  return Fail(kExitSigning, "", "signing is not yet available in this build");
}

void StopSigningTool() {}

// A file whose certificate table is empty carries no signature, which needs no tool to tell;
// a signed one cannot be read here yet.
SignatureInfo ReadSignature(const std::string& path, const std::string&) {
  SignatureInfo info;
  Bytes head;
  uint64_t size = 0;
  PeHeaders pe;
  std::string problem;
  if (!ReadHead(path, head, size, problem) || !ParsePe(head, pe, problem)) {
    info.reason = problem;
    return info;
  }
  if (pe.directory_count <= kSecurityDirectory || pe.DirectorySize(kSecurityDirectory, head) == 0) {
    info.read = true;
    info.reason = "the file carries no signature";  // as the Linux build reports it
    return info;
  }
  info.reason = "signatures cannot be read yet in this build";
  return info;
}

}  // namespace stubpack
