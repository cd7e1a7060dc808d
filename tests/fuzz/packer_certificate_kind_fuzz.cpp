// The reader that tells what a file given for signing holds: any bytes give one kind, the same
// a second time, never both a certificate and a key, and a name for messages.
#include <cstring>

#include "tests/fuzz/fuzz_check.h"
#include "tools/stubpack/certificate_file_kind.h"

using stubpack::CertificateFileKind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const CertificateFileKind kind = stubpack::ClassifyCertificateFile(data, size);
  FUZZ_CHECK(kind == stubpack::ClassifyCertificateFile(data, size), "a second read differs");
  FUZZ_CHECK(!(stubpack::IsCertificateKind(kind) && stubpack::IsPrivateKeyKind(kind)),
             "kind %d is both a certificate and a key", static_cast<int>(kind));
  const char* name = stubpack::DescribeCertificateFileKind(kind);
  FUZZ_CHECK(name != nullptr && std::strlen(name) > 0 && std::strchr(name, '\n') == nullptr,
             "kind %d has no one-line name", static_cast<int>(kind));
  // DER is one ASN.1 SEQUENCE; PKCS#12 is DER too.
  const bool der =
      kind == CertificateFileKind::kDerCertificate || kind == CertificateFileKind::kDerPkcs7 ||
      kind == CertificateFileKind::kDerPrivateKey ||
      kind == CertificateFileKind::kDerEncryptedPrivateKey || kind == CertificateFileKind::kPkcs12;
  if (der) FUZZ_CHECK(size > 0 && data[0] == 0x30, "DER kind %d without a SEQUENCE", (int)kind);
  return 0;
}
