// stubpack: makes an installer from the stub, an archive and setup.exe, and inspects one.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>

#include <unistd.h>

#include <vector>

#include "tools/stubpack/installer_listing.h"
#include "tools/stubpack/packer.h"
#include "tools/stubpack/report.h"

namespace {

int Usage(const std::string& message) {
  std::cerr << "stubpack: " << message << "\nTry 'stubpack --help'.\n";
  return stubpack::kExitUsage;
}

void Help() {
  std::cout
      << "Usage: stubpack --archive FILE --setup FILE --output FILE [OPTION]...\n"
         "       stubpack inspect FILE\n"
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
         "  --stub FILE             the stub (default: build/windows/bin/stub.exe of this build)\n"
         "  --setup-storage KIND    cabinet (default: MSZIP, BL/SETUP.EX_) or plain "
         "(BN/SETUP.EXE)\n"
         "  --icon FILE.ico         the installer's icon (default: the project's own)\n"
         "  --sign-cert FILE        PEM certificate chain; with --sign-key, signs with "
         "osslsigncode\n"
         "  --sign-key FILE         PEM private key\n"
         "  --allow-elevating-setup packs a setup that Windows with User Account Control starts\n"
         "                          only elevated (requireAdministrator, highestAvailable, or a\n"
         "                          32-bit image that names no level): the stub, unelevated, then\n"
         "                          ends with 124. Refused by default: setup should start\n"
         "                          unelevated (asInvoker) and elevate a helper it waits for\n"
         "\n"
         "Version block (string table 040904b0): each text comes from its option, else from\n"
         "setup's own version resource, else from the default shown; a key left without a\n"
         "value is left out. Versions are free text (\"2.3\", \"1.2.3-beta\").\n";
  for (const stubpack::VersionKey& k : stubpack::DefaultVersionKeys()) {
    std::string option = "  --" + stubpack::OptionForKey(k.key) + " TEXT";
    option.resize(std::max<size_t>(option.size() + 1, 26), ' ');
    std::cout << option << k.key;
    if (k.key == "InternalName" || k.key == "OriginalFilename")
      std::cout << " (default: from --output's file name)";
    else if (!k.value.empty())
      std::cout << " (default: \"" << k.value << "\")";
    std::cout << "\n";
  }
  std::cout
      << "  --file-version-number A.B.C.D, --product-version-number A.B.C.D\n"
         "                          the fixed part's numbers (default: setup's own while its\n"
         "                          texts stand, else the numbers the text begins with)\n"
         "  FileVersion follows ProductVersion when neither setup nor --file-version gives it.\n"
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
         "SOURCE_DATE_EPOCH, when set, dates setup inside the cabinet and the signature; else\n"
         "setup's modification time does. Identical inputs give identical bytes.\n"
         "\n"
         "Exit status (nothing is written unless it is 0):\n"
         "  0  the installer was written\n"
         "  1  an input was refused: the installer cannot be made from it\n"
         "  2  the command line is wrong\n"
         "  3  an input cannot be read or the output cannot be written\n"
         "  4  signing failed\n";
}

// The stub of the build tree this packer belongs to: build/host/bin/stubpack beside
// build/windows/bin/stub.exe.
std::string DefaultStub() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "build/windows/bin/stub.exe";
  std::string path(self, static_cast<size_t>(n));
  for (int up = 0; up < 3 && path.rfind('/') != std::string::npos; ++up)
    path.erase(path.rfind('/'));
  return path + "/windows/bin/stub.exe";
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
  const std::vector<stubpack::VersionKey> version_keys = stubpack::DefaultVersionKeys();
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
      Help();
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
    if (arg == "--sign-cert") target = &o.sign_cert;
    if (arg == "--sign-key") target = &o.sign_key;
    for (const stubpack::VersionKey& k : version_keys) {
      if (arg != "--" + stubpack::OptionForKey(k.key)) continue;
      std::vector<stubpack::VersionKey>& given = o.version.given;
      const auto same = [&](const stubpack::VersionKey& g) { return g.key == k.key; };
      given.erase(std::remove_if(given.begin(), given.end(), same), given.end());
      given.push_back({k.key, ""});
      target = &given.back().value;
    }
    std::string storage, number;
    if (arg == "--setup-storage" || arg == "--file-version-number" ||
        arg == "--product-version-number")
      target = arg == "--setup-storage" ? &storage : &number;
    if (target == nullptr) return Usage("unknown option '" + arg + "'");
    if (!take(*target)) return Usage("option '" + arg + "' needs a value");
    if (target->empty() && target != &storage) return Usage("option '" + arg + "' needs a value");
    if (target == &number) {
      const bool file = arg == "--file-version-number";
      if (!stubpack::ParseVersion(number, file ? o.version.file_number : o.version.product_number))
        return Usage(arg + " takes four numbers from 0 to 65535, such as 1.2.3.4, not '" + number +
                     "'");
      (file ? o.version.file_number_given : o.version.product_number_given) = true;
    }
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
  if (o.stub.empty()) o.stub = DefaultStub();
  return stubpack::Pack(o);
}
