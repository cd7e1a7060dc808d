// Signing the finished installer: with a key and certificate, a PKCS#12 file or a PKCS#11 token
// through osslsigncode, or with the user's own signer (--sign-command), then verifying what was
// signed. Nothing here knows how the packer names its scratch files: the paths come in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stubpack {

struct SigningSettings {
  std::string certificate;    // --sign-cert: PEM or DER chain, or a pkcs11: URI with a module
  std::string key;            // --sign-key: PEM or DER key, or a pkcs11: URI with a module
  std::string pkcs12;         // --sign-pkcs12: a .pfx/.p12 holding key and chain
  std::string pkcs11_module;  // --sign-pkcs11-module: the token's PKCS#11 library
  std::string pass_file;      // --sign-pass-file: the key's passphrase or the token's PIN
  std::string pass_env;       // --sign-pass-env: the name of a variable holding it
  std::vector<std::string> timestamp_urls;  // --timestamp-url, RFC 3161, tried in order
  std::string command;      // --sign-command: shell text with {} for the file's path
  std::string description;  // the signature's program name (the product's name)
  int64_t time = 0;         // the signing time: SOURCE_DATE_EPOCH or setup's time
};

bool SigningRequested(const SigningSettings& s);

// Checks the settings and the files they name before anything is written: kExitOk, or the
// status of the failure after its one-line message (usage for combinations, signing for a file
// of the wrong kind or an encrypted key without a passphrase, I/O for an unreadable file).
int CheckSigningSettings(const SigningSettings& s);

// Signs `unsigned_path` into `signed_path` (with --sign-command, in place: `signed_path` is then
// `unsigned_path`), verifies the result and says who signed it. kExitOk or the status of the
// failure after its message; `output` is the installer's final path, for messages.
int SignInstaller(const SigningSettings& s, const std::string& unsigned_path,
                  const std::string& signed_path, const std::string& output);

// Ends the signing tool that is running, if any, with everything it started (it runs out of
// reach of the terminal's Ctrl+C: a session of its own, a job on Windows), and waits for it, so
// that nothing writes beside the output once the packer has removed its scratch files. Safe
// from a signal handler and from the console control handler.
void StopSigningTool();

// What a file's Authenticode signature says, as `osslsigncode verify` reads it. Texts are as
// osslsigncode prints them: names as "/CN=...", times as "Dec 11 12:02:57 2026 GMT".
struct SignatureInfo {
  bool read = false;     // osslsigncode ran; else `reason` says why not
  bool present = false;  // the file carries a signature
  std::string subject;   // the signer's certificate
  std::string issuer;
  std::string serial;               // hexadecimal
  std::string digest_algorithm;     // "SHA256"
  bool digest_matches = false;      // the digest signed is the file's own
  std::string signing_time;         // the signer's claimed time; empty when none
  std::string timestamp_time;       // the time-stamp authority's time; empty when not timestamped
  std::string timestamp_authority;  // the authority's certificate's subject (else its issuer)
  bool valid = false;               // "Signature verification: ok" against the trust used
  std::string reason;               // why not read, not present or not valid
};

// Runs `osslsigncode verify` on `path`; `ca_file`, when not empty, is trusted besides the
// system's certificates (osslsigncode's default -CAfile).
SignatureInfo ReadSignature(const std::string& path, const std::string& ca_file = "");

// The parse of `osslsigncode verify`'s output; `exited_ok` is its exit status being 0.
SignatureInfo ParseVerifyOutput(const std::string& text, bool exited_ok);

// Why osslsigncode failed, read from its output: the setting or file at fault and the cause in
// one line. An empty file means the cause names no single input.
struct SigningFailure {
  std::string file;
  std::string cause;
};
SigningFailure ExplainSigningFailure(const SigningSettings& s, const std::string& log);

}  // namespace stubpack
