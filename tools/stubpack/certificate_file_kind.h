// What a file given for signing holds, told from its bytes alone: so that a key given as the
// certificate, a certificate given as the key or a .pfx given as either is named before
// osslsigncode answers with a page of decoder errors. A pure function over untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stubpack {

enum class CertificateFileKind {
  kUnknown,                 // neither PEM nor DER of a kind below
  kPemCertificate,          // "CERTIFICATE" (a chain is several)
  kPemPkcs7,                // "PKCS7": a certificate chain in a PKCS#7 envelope
  kPemPrivateKey,           // "PRIVATE KEY", or "RSA/EC/DSA PRIVATE KEY" without encryption
  kPemEncryptedPrivateKey,  // "ENCRYPTED PRIVATE KEY", or a traditional key with Proc-Type
  kPemPublicKey,            // "PUBLIC KEY" or "RSA PUBLIC KEY"
  kPemOther,                // any other PEM label (a request, parameters, ...)
  kDerCertificate,          // Certificate ::= SEQUENCE { tbs SEQUENCE, algorithm, BIT STRING }
  kDerPkcs7,                // ContentInfo ::= SEQUENCE { OBJECT IDENTIFIER, [0] ... }
  kDerPrivateKey,           // PKCS#8 PrivateKeyInfo, or an RSA or EC private key
  kDerEncryptedPrivateKey,  // PKCS#8 EncryptedPrivateKeyInfo
  kPkcs12,                  // PFX ::= SEQUENCE { INTEGER 3, ContentInfo, ... }
};

CertificateFileKind ClassifyCertificateFile(const uint8_t* data, size_t size);

// "a PEM certificate", "a PKCS#12 file", ...: for messages.
const char* DescribeCertificateFileKind(CertificateFileKind kind);

inline bool IsCertificateKind(CertificateFileKind k) {
  return k == CertificateFileKind::kPemCertificate || k == CertificateFileKind::kPemPkcs7 ||
         k == CertificateFileKind::kDerCertificate || k == CertificateFileKind::kDerPkcs7;
}
inline bool IsPrivateKeyKind(CertificateFileKind k) {
  return k == CertificateFileKind::kPemPrivateKey ||
         k == CertificateFileKind::kPemEncryptedPrivateKey ||
         k == CertificateFileKind::kDerPrivateKey ||
         k == CertificateFileKind::kDerEncryptedPrivateKey;
}

}  // namespace stubpack
