#include "tools/stubpack/certificate_file_kind.h"

#include <cstring>
#include <string>

namespace stubpack {

namespace {

constexpr uint8_t kInteger = 0x02, kBitString = 0x03, kOctetString = 0x04, kOid = 0x06,
                  kSequence = 0x30, kContext0 = 0xA0;

// One DER element inside [pos, end): its tag and content. Only the definite, minimal-enough
// forms that keys and certificates use; anything else is "not DER".
struct Element {
  uint8_t tag = 0;
  size_t content = 0, length = 0;
  size_t End() const { return content + length; }
};

bool ReadElement(const uint8_t* data, size_t pos, size_t end, Element& e) {
  if (pos >= end || end - pos < 2) return false;
  e.tag = data[pos];
  if ((e.tag & 0x1F) == 0x1F) return false;  // multi-byte tags appear in none of these kinds
  size_t at = pos + 1;
  const uint8_t first = data[at++];
  size_t length = first;
  if (first & 0x80) {
    const size_t count = first & 0x7F;
    if (count == 0 || count > 4 || end - at < count) return false;  // indefinite or huge
    length = 0;
    for (size_t i = 0; i < count; ++i) length = length << 8 | data[at++];
  }
  if (length > end - at) return false;
  e.content = at;
  e.length = length;
  return true;
}

// The first element of a SEQUENCE that fills [0, size) exactly (trailing bytes are tolerated,
// as some tools pad), and the one after it.
CertificateFileKind ClassifyDer(const uint8_t* data, size_t size) {
  Element outer, first, second;
  if (!ReadElement(data, 0, size, outer) || outer.tag != kSequence)
    return CertificateFileKind::kUnknown;
  if (!ReadElement(data, outer.content, outer.End(), first)) return CertificateFileKind::kUnknown;
  if (!ReadElement(data, first.End(), outer.End(), second)) return CertificateFileKind::kUnknown;
  const auto small_integer = [&](const Element& e, uint8_t value) {
    return e.tag == kInteger && e.length == 1 && data[e.content] == value;
  };
  if (first.tag == kSequence && second.tag == kSequence) {
    Element third;
    if (ReadElement(data, second.End(), outer.End(), third) && third.tag == kBitString)
      return CertificateFileKind::kDerCertificate;
    return CertificateFileKind::kUnknown;
  }
  if (first.tag == kSequence && second.tag == kOctetString)
    return CertificateFileKind::kDerEncryptedPrivateKey;
  if (first.tag == kOid && second.tag == kContext0) return CertificateFileKind::kDerPkcs7;
  if (small_integer(first, 3) && second.tag == kSequence) return CertificateFileKind::kPkcs12;
  // PrivateKeyInfo { 0, algorithm, key }, RSAPrivateKey { 0, n, e, ... }, ECPrivateKey { 1, d }.
  if (small_integer(first, 0) && (second.tag == kSequence || second.tag == kInteger))
    return CertificateFileKind::kDerPrivateKey;
  if (small_integer(first, 1) && second.tag == kOctetString)
    return CertificateFileKind::kDerPrivateKey;
  return CertificateFileKind::kUnknown;
}

CertificateFileKind ClassifyPem(const std::string& text) {
  static const char kBegin[] = "-----BEGIN ";
  const size_t begin = text.find(kBegin);
  if (begin == std::string::npos) return CertificateFileKind::kUnknown;
  const size_t label_at = begin + std::strlen(kBegin);
  const size_t label_end = text.find("-----", label_at);
  if (label_end == std::string::npos || text.find('\n', label_at) < label_end)
    return CertificateFileKind::kUnknown;
  const std::string label = text.substr(label_at, label_end - label_at);
  const size_t block_end = text.find("-----END " + label + "-----", label_end);
  if (block_end == std::string::npos) return CertificateFileKind::kUnknown;
  if (label == "CERTIFICATE" || label == "X509 CERTIFICATE" || label == "TRUSTED CERTIFICATE")
    return CertificateFileKind::kPemCertificate;
  if (label == "PKCS7") return CertificateFileKind::kPemPkcs7;
  if (label == "ENCRYPTED PRIVATE KEY") return CertificateFileKind::kPemEncryptedPrivateKey;
  if (label == "PRIVATE KEY" || label == "RSA PRIVATE KEY" || label == "EC PRIVATE KEY" ||
      label == "DSA PRIVATE KEY") {
    // A traditional key encrypted by OpenSSL says so in a header inside its block.
    const std::string block = text.substr(label_end, block_end - label_end);
    return block.find("Proc-Type: 4,ENCRYPTED") != std::string::npos
               ? CertificateFileKind::kPemEncryptedPrivateKey
               : CertificateFileKind::kPemPrivateKey;
  }
  if (label == "PUBLIC KEY" || label == "RSA PUBLIC KEY") return CertificateFileKind::kPemPublicKey;
  return CertificateFileKind::kPemOther;
}

}  // namespace

CertificateFileKind ClassifyCertificateFile(const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0) return CertificateFileKind::kUnknown;
  // '0' is also DER's SEQUENCE tag: text that starts with it may still hold a PEM block.
  if (data[0] == kSequence) {
    const CertificateFileKind der = ClassifyDer(data, size);
    if (der != CertificateFileKind::kUnknown) return der;
  }
  return ClassifyPem(std::string(reinterpret_cast<const char*>(data), size));
}

const char* DescribeCertificateFileKind(CertificateFileKind kind) {
  switch (kind) {
    case CertificateFileKind::kPemCertificate:
      return "a PEM certificate";
    case CertificateFileKind::kPemPkcs7:
      return "a PEM PKCS#7 certificate chain";
    case CertificateFileKind::kPemPrivateKey:
      return "a PEM private key";
    case CertificateFileKind::kPemEncryptedPrivateKey:
      return "an encrypted PEM private key";
    case CertificateFileKind::kPemPublicKey:
      return "a PEM public key";
    case CertificateFileKind::kPemOther:
      return "PEM of another kind";
    case CertificateFileKind::kDerCertificate:
      return "a DER certificate";
    case CertificateFileKind::kDerPkcs7:
      return "a DER PKCS#7 certificate chain";
    case CertificateFileKind::kDerPrivateKey:
      return "a DER private key";
    case CertificateFileKind::kDerEncryptedPrivateKey:
      return "an encrypted DER private key";
    case CertificateFileKind::kPkcs12:
      return "a PKCS#12 file";
    case CertificateFileKind::kUnknown:
      break;
  }
  return "neither PEM nor DER of a certificate or key";
}

}  // namespace stubpack
