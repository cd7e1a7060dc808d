// stubpack: makes an installer from the stub, an archive and setup.exe, and inspects one.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include <unistd.h>

#include <vector>

#include "tools/stubpack/installer_listing.h"
#include "tools/stubpack/packer.h"
#include "tools/stubpack/report.h"
#include "tools/stubpack/stub_location.h"

namespace {

int Usage(const std::string& message) {
  std::cerr << "stubpack: " << message << "\nTry 'stubpack --help'.\n";
  return stubpack::kExitUsage;
}

void Help(const stubpack::PackOptions& defaults) {
  std::cout
      << "Usage: stubpack --archive FILE --setup FILE --output FILE [OPTION]...\n"
         "  or:  stubpack inspect FILE\n"
         "\n"
         "Makes an installer: the stub with the archive as resource B7/NIMBET.PACKED.7Z and\n"
         "setup.exe as a cabinet, resource BL/SETUP.EX_, beside the installer's manifest, icon\n"
         "and version block. `inspect` lists an installer's resources and says what the stub\n"
         "will do with them.\n"
         "\n"
         "Inputs and output:\n"
         "  --archive FILE          the application archive (a 7z archive; the stub never reads "
         "it)\n"
         "  --setup FILE            setup.exe, a PE executable\n"
         "  --output FILE           the installer to write; replaced only when it is whole\n"
         "  --stub FILE             the stub (default: $STUBPACK_STUB, else the installed\n"
         "                          ../share/stubpack/stub.exe beside stubpack's bin/, else\n"
         "                          the build tree's windows/bin/stub.exe)\n"
         "  --setup-storage KIND    cabinet (default: MSZIP, BL/SETUP.EX_) or plain "
         "(BN/SETUP.EXE)\n"
         "  --icon FILE.ico         the installer's icon (default: the project's own)\n"
         "  --allow-elevating-setup\n"
         "                          packs a setup that Windows with User Account Control starts\n"
         "                          only elevated (requireAdministrator, highestAvailable, or a\n"
         "                          32-bit image that names no level): the stub, unelevated, then\n"
         "                          ends with 124. Refused by default: setup should start\n"
         "                          unelevated (asInvoker) and elevate a helper it waits for\n"
         "\n"
         "Signing (Authenticode, SHA-256, through osslsigncode; the signature is verified and\n"
         "its signer printed):\n"
         "  --sign-cert FILE        the certificate chain, PEM or DER (with a token: the file,\n"
         "                          or a pkcs11: URI of the certificate on it)\n"
         "  --sign-key FILE|URI     the private key, PEM or DER, or a pkcs11: URI on a token\n"
         "  --sign-pkcs12 FILE      a .pfx/.p12 holding the key and the chain\n"
         "  --sign-pkcs11-module LIB.so  the token's PKCS#11 library, for a pkcs11: URI\n"
         "  --sign-pass-file FILE   the key's or the PKCS#12 file's passphrase, or the token's\n"
         "                          PIN: the file's first line\n"
         "  --sign-pass-env NAME    the same from the environment variable NAME. A passphrase\n"
         "                          is never taken from the command line, and nothing prompts\n"
         "  --timestamp-url URL     an RFC 3161 time-stamp authority, so that the signature\n"
         "                          outlives the certificate; repeatable, tried in order\n"
         "  --sign-command 'CMD {}' runs CMD through /bin/sh with {} as the unsigned file's\n"
         "                          path (passed as \"$1\", never as shell text), to sign it in\n"
         "                          place with a signer of your own; excludes the options above\n"
         "\n"
         "Version block (string table 040904b0; defaults are the demo product's):\n";
  for (const stubpack::VersionKey& k : defaults.version) {
    std::string option = "  --" + stubpack::OptionForKey(k.key) + " TEXT";
    option.resize(std::max<size_t>(option.size() + 2, 26), ' ');
    std::cout << option << k.key << " (default: \"" << k.value << "\")\n";
  }
  std::cout
      << "  --product-version also sets the fixed part; --file-version must name the same "
         "numbers.\n"
         "\n"
         "Raw entries, for tests of layouts the stub rejects or treats specially:\n"
         "  --resource TYPE NAME FILE   adds FILE as resource TYPE/NAME, language 1033; a TYPE or\n"
         "                              NAME of 1 to 65535 is a number; names are stored in "
         "capitals.\n"
         "                              --archive and --setup become optional. Repeatable.\n"
         "  --unchecked             writes a layout that breaks the stub's rules\n"
         "\n"
         "  --help                  this text\n"
         "  --version               the packer's version\n"
         "\n"
         "Exit status (nothing is written unless it is 0):\n"
         "  0  the installer was written\n"
         "  1  an input was refused: the installer cannot be made from it\n"
         "  2  the command line is wrong\n"
         "  3  an input cannot be read or the output cannot be written\n"
         "  4  signing failed\n"
         "\n"
         "Environment:\n"
         "  SOURCE_DATE_EPOCH       when set, dates setup inside the cabinet and the signature;\n"
         "                          else setup's modification time does. Identical inputs give\n"
         "                          identical bytes.\n"
         "  STUBPACK_STUB           the stub, when --stub names none\n";
}

// stubpack's own path, symbolic links resolved, so that a link in PATH finds the real layout.
std::string SelfPath() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  stubpack::PackOptions o;
  if (!args.empty() && args[0] == "inspect") {
    if (args.size() == 2 && args[1] == "--help") {
      std::cout << "Usage: stubpack inspect FILE\n";
      return 0;
    }
    if (args.size() != 2) return Usage("inspect takes one FILE");
    return stubpack::Inspect(args[1], std::cout, std::cerr) ? stubpack::kExitOk : stubpack::kExitIo;
  }

  bool setup_storage_seen = false;
  bool file_version_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::string value;
    bool has_value = false;
    if (arg.rfind("--", 0) == 0) {
      if (const size_t equals = arg.find('='); equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg.resize(equals);
        has_value = true;
      }
    } else {
      return Usage("unexpected argument '" + arg + "'");
    }
    const auto take = [&](std::string& into) {
      if (!has_value) {
        if (i + 1 >= args.size()) return false;
        value = args[++i];
      }
      into = value;
      return true;
    };
    if (arg == "--help") {
      Help(o);
      return 0;
    }
    if (arg == "--version") {
      std::cout << "stubpack " STUBPACK_VERSION "\n";
      return 0;
    }
    if (arg == "--unchecked") {
      o.unchecked = true;
      continue;
    }
    if (arg == "--allow-elevating-setup") {
      o.allow_elevating_setup = true;
      continue;
    }
    if (arg == "--resource") {
      if (has_value || i + 3 >= args.size()) return Usage("--resource takes TYPE NAME FILE");
      o.resources.push_back({args[i + 1], args[i + 2], args[i + 3]});
      i += 3;
      continue;
    }
    std::string* target = nullptr;
    if (arg == "--archive") target = &o.archive;
    if (arg == "--setup") target = &o.setup;
    if (arg == "--output") target = &o.output;
    if (arg == "--stub") target = &o.stub;
    if (arg == "--icon") target = &o.icon;
    if (arg == "--sign-cert") target = &o.signing.certificate;
    if (arg == "--sign-key") target = &o.signing.key;
    if (arg == "--sign-pkcs12") target = &o.signing.pkcs12;
    if (arg == "--sign-pkcs11-module") target = &o.signing.pkcs11_module;
    if (arg == "--sign-pass-file") target = &o.signing.pass_file;
    if (arg == "--sign-pass-env") target = &o.signing.pass_env;
    if (arg == "--sign-command") target = &o.signing.command;
    std::string timestamp_url;
    if (arg == "--timestamp-url") target = &timestamp_url;
    for (stubpack::VersionKey& k : o.version) {
      if (arg == "--" + stubpack::OptionForKey(k.key)) target = &k.value;
    }
    std::string storage;
    if (arg == "--setup-storage") target = &storage;
    if (target == nullptr) return Usage("unknown option '" + arg + "'");
    if (arg == "--file-version") file_version_given = true;
    if (!take(*target)) return Usage("option '" + arg + "' needs a value");
    if (target->empty() && target != &storage) return Usage("option '" + arg + "' needs a value");
    if (target == &timestamp_url) o.signing.timestamp_urls.push_back(timestamp_url);
    if (target == &storage) {
      if (storage != "cabinet" && storage != "plain")
        return Usage("--setup-storage is 'cabinet' or 'plain', not '" + storage + "'");
      o.plain_setup = storage == "plain";
      setup_storage_seen = true;
    }
  }
  if (args.empty()) return Usage("no installer to make");
  if (o.output.empty()) return Usage("--output is required");
  if (o.resources.empty() && (o.archive.empty() || o.setup.empty()))
    return Usage("--archive and --setup are required (unless raw --resource entries are given)");
  if (setup_storage_seen && o.setup.empty()) return Usage("--setup-storage needs --setup");
  if (o.stub.empty()) {
    const char* environment = std::getenv("STUBPACK_STUB");
    const stubpack::StubLocation found =
        stubpack::FindStub(environment ? environment : "", SelfPath(), STUBPACK_INSTALLED_STUB);
    if (found.path.empty()) return stubpack::Fail(stubpack::kExitIo, "", NoStubMessage(found));
    o.stub = found.path;
  }
  // The fixed part holds one version; by default FileVersion follows ProductVersion.
  if (!file_version_given) {
    std::string product;
    for (const stubpack::VersionKey& k : o.version) {
      if (k.key == "ProductVersion") product = k.value;
    }
    for (stubpack::VersionKey& k : o.version) {
      if (k.key == "FileVersion") k.value = product;
    }
  }
  return stubpack::Pack(o);
}
