// stubpack: makes an installer from the stub, an archive and setup.exe, and inspects one.
#include "tools/stubpack/main.h"

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "tools/stubpack/command_line.h"
#include "tools/stubpack/installer_listing.h"
#include "tools/stubpack/packer.h"
#include "tools/stubpack/report.h"
#include "tools/stubpack/stub_location.h"
#include "tools/stubpack/system.h"

namespace {

using stubpack::OptionRow;
using Values = std::vector<std::string>;

int Usage(const std::string& message) {
  std::cerr << "stubpack: " << message << "\nTry 'stubpack --help'.\n";
  return stubpack::kExitUsage;
}

// What the command line asked for beyond the packing itself.
struct Request {
  bool help = false, version = false, json = false;
  bool setup_storage_seen = false;
};

// A row that stores its one value in `target`.
OptionRow Text(const char* name, const char* values, const char* help, std::string& target) {
  return {name, 0, values, help, [&target](const Values& v) {
            target = v[0];
            return std::string();
          }};
}

OptionRow Flag(const char* name, char short_name, const char* help, bool& target) {
  return {name, short_name, "", help, [&target](const Values&) {
            target = true;
            return std::string();
          }};
}

OptionRow Heading(const char* text) { return {"", 0, "", text, nullptr}; }

// The options both commands share: what is said, and the answers that end the run at once.
std::vector<OptionRow> MessageRows(Request& r) {
  using stubpack::SetVerbosity;
  using stubpack::Verbosity;
  return {
      Heading("Messages:"),
      {"quiet", 'q', "", "errors only",
       [](const Values&) {
         SetVerbosity(Verbosity::kQuiet);
         return std::string();
       }},
      {"verbose", 'v', "", "also the details: what goes where, the tools run and their output",
       [](const Values&) {
         SetVerbosity(Verbosity::kVerbose);
         return std::string();
       }},
      Flag("help", 'h', "this text", r.help),
      Flag("version", 0, "the packer's version", r.version),
  };
}

std::vector<OptionRow> PackRows(stubpack::PackOptions& o, Request& r) {
  std::vector<OptionRow> rows = {
      Heading("Inputs and output:"),
      Text("archive", "FILE", "the application archive (a 7z archive; the stub never reads it)",
           o.archive),
      Text("setup", "FILE", "setup.exe, a PE executable", o.setup),
      Text("output", "FILE", "the installer to write; replaced only when it is whole", o.output),
      Text("stub", "FILE",
           "the stub (default: $STUBPACK_STUB, else the installed\n"
           "../share/stubpack/stub.exe beside stubpack's bin/, else\n"
           "the build tree's windows/bin/stub.exe)",
           o.stub),
      {"setup-storage", 0, "KIND", "cabinet (default: MSZIP, BL/SETUP.EX_) or plain (BN/SETUP.EXE)",
       [&](const Values& v) {
         if (v[0] != "cabinet" && v[0] != "plain")
           return "--setup-storage is 'cabinet' or 'plain', not '" + v[0] + "'";
         o.plain_setup = v[0] == "plain";
         r.setup_storage_seen = true;
         return std::string();
       }},
      Text("icon", "FILE.ico", "the installer's icon (default: the project's own)", o.icon),
      Flag("allow-elevating-setup", 0,
           "packs a setup that Windows with User Account Control starts\n"
           "only elevated (requireAdministrator, highestAvailable, or a\n"
           "32-bit image that names no level): the stub, unelevated, then\n"
           "ends with 124. Refused by default: setup should start\n"
           "unelevated (asInvoker) and elevate a helper it waits for",
           o.allow_elevating_setup),
      Heading(
          "\nSigning (Authenticode, SHA-256, through osslsigncode; the signature is verified and\n"
          "its signer printed):"),
      Text("sign-cert", "FILE",
           "the certificate chain, PEM or DER (with a token: the file,\n"
           "or a pkcs11: URI of the certificate on it)",
           o.signing.certificate),
      Text("sign-key", "FILE|URI", "the private key, PEM or DER, or a pkcs11: URI on a token",
           o.signing.key),
      Text("sign-pkcs12", "FILE", "a .pfx/.p12 holding the key and the chain", o.signing.pkcs12),
      Text("sign-pkcs11-module", "LIB.so", "the token's PKCS#11 library, for a pkcs11: URI",
           o.signing.pkcs11_module),
      Text("sign-pass-file", "FILE",
           "the key's or the PKCS#12 file's passphrase, or the token's\n"
           "PIN: the file's first line",
           o.signing.pass_file),
      Text("sign-pass-env", "NAME",
           "the same from the environment variable NAME. A passphrase\n"
           "is never taken from the command line, and nothing prompts",
           o.signing.pass_env),
      {"timestamp-url", 0, "URL",
       "an RFC 3161 time-stamp authority, so that the signature\n"
       "outlives the certificate; repeatable, tried in order",
       [&](const Values& v) {
         o.signing.timestamp_urls.push_back(v[0]);
         return std::string();
       }},
      Text("sign-command", "CMD",
           "runs the shell command CMD, {} in it standing for the\n"
           "unsigned file's path (passed as \"$1\", never as shell text),\n"
           "to sign it in place with a signer of your own; excludes the\n"
           "options above",
           o.signing.command),
      Heading("Version block (string table 040904b0): each text comes from its option, else from\n"
              "setup's own version resource, else from the default shown; a key left without a\n"
              "value is left out. Versions are free text (\"2.3\", \"1.2.3-beta\")."),
  };
  for (const stubpack::VersionKey& k : stubpack::DefaultVersionKeys()) {
    const std::string key = k.key;
    std::string help = key;
    if (key == "InternalName" || key == "OriginalFilename")
      help += " (default: from --output's file name)";
    else if (!k.value.empty())
      help += " (default: \"" + k.value + "\")";
    rows.push_back({stubpack::OptionForKey(key), 0, "TEXT", help, [&o, key](const Values& v) {
                      std::vector<stubpack::VersionKey>& given = o.version.given;
                      const auto same = [&](const stubpack::VersionKey& g) { return g.key == key; };
                      given.erase(std::remove_if(given.begin(), given.end(), same), given.end());
                      given.push_back({key, v[0]});
                      return std::string();
                    }});
  }
  for (const bool file : {true, false}) {
    const std::string name = file ? "file-version-number" : "product-version-number";
    rows.push_back({name, 0, "A.B.C.D",
                    file ? "the fixed part's file version (default: setup's own while\n"
                           "its texts stand, else the numbers the text begins with)"
                         : "the same for the product version",
                    [&o, file, name](const Values& v) {
                      if (!stubpack::ParseVersion(
                              v[0], file ? o.version.file_number : o.version.product_number))
                        return "--" + name +
                               " takes four numbers from 0 to 65535, such as 1.2.3.4, not '" +
                               v[0] + "'";
                      (file ? o.version.file_number_given : o.version.product_number_given) = true;
                      return std::string();
                    }});
  }
  const std::vector<OptionRow> rest = {
      Heading(
          "  FileVersion follows ProductVersion when neither setup nor --file-version gives it.\n\n"
          "Raw entries, for tests of layouts the stub rejects or treats specially:"),
      {"resource", 0, "TYPE NAME FILE",
       "adds FILE as resource TYPE/NAME, language 1033; a TYPE or\n"
       "NAME of 1 to 65535 is a number; names are stored in capitals.\n"
       "--archive and --setup become optional. Repeatable.",
       [&](const Values& v) {
         o.resources.push_back({v[0], v[1], v[2]});
         return std::string();
       }},
      Flag("unchecked", 0, "writes a layout that breaks the stub's rules", o.unchecked),
  };
  rows.insert(rows.end(), rest.begin(), rest.end());
  const std::vector<OptionRow> messages = MessageRows(r);
  rows.insert(rows.end(), messages.begin(), messages.end());
  return rows;
}

std::vector<OptionRow> InspectRows(Request& r) {
  std::vector<OptionRow> rows = {
      Heading("Options:"),
      Flag("json", 0, "one JSON object instead of the listing (docs/json-report.md)", r.json),
  };
  const std::vector<OptionRow> messages = MessageRows(r);
  rows.insert(rows.end(), messages.begin() + 1, messages.end());
  return rows;
}

const char kPackIntro[] =
    "Usage: stubpack --archive FILE --setup FILE --output FILE [OPTION]...\n"
    "  or:  stubpack inspect [--json] FILE\n"
    "\n"
    "Makes an installer: the stub with the archive as resource B7/NIMBET.PACKED.7Z and\n"
    "setup.exe as a cabinet, resource BL/SETUP.EX_, beside the installer's manifest, icon\n"
    "and version block. `inspect` lists an installer's resources and says what the stub\n"
    "will do with them (`stubpack inspect --help`).\n"
    "\n";

// The environment comes last: the man page's generator files everything after "Environment:"
// into that section.
const char kPackTrailer[] =
    "\n"
    "On success one line on stdout (none under --quiet), in this form:\n"
    "  stubpack: wrote FILE (1,234,567 bytes, sha256 HEX) in 1.4 s\n"
    "with the installer's size and the SHA-256 of its final bytes (64 hex digits).\n"
    "\n"
    "Exit status (nothing is written unless it is 0):\n"
    "  0  the installer was written\n"
    "  1  an input was refused: the installer cannot be made from it\n"
    "  2  the command line is wrong\n"
    "  3  an input cannot be read or the output cannot be written\n"
    "  4  signing failed\n"
    "\n"
    "Exit status of inspect (stubpack inspect --help):\n"
    "  0  the verdict is \"setup runs\"\n"
    "  1  an installer that the stub would stop with its own exit code, or with 124\n"
    "     under User Account Control\n"
    "  3  FILE cannot be read\n"
    "  5  FILE is not an installer\n"
    "\n"
    "Environment:\n"
    "  SOURCE_DATE_EPOCH       when set, dates setup inside the cabinet and the signature;\n"
    "                          else setup's modification time does. Identical inputs give\n"
    "                          identical bytes.\n"
    "  STUBPACK_STUB           the stub, when --stub names none\n";

const char kInspectIntro[] =
    "Usage: stubpack inspect [OPTION]... FILE\n"
    "\n"
    "Lists the resources of the installer FILE and says what the stub will do with them.\n"
    "\n";

const char kInspectTrailer[] =
    "\n"
    "Exit status, so that a release script can stop on anything but a working installer:\n"
    "  0  the verdict is \"setup runs\" (and Windows with User Account Control starts setup)\n"
    "  1  FILE is an installer, but the stub would end with its own exit code, or with 124\n"
    "     under User Account Control\n"
    "  2  the command line is wrong\n"
    "  3  FILE cannot be read\n"
    "  5  FILE is not an installer: not a PE file, or one without the stub's payload types\n";

int RunInspect(const std::vector<std::string>& args) {
  Request r;
  std::vector<std::string> files;
  const std::vector<OptionRow> rows = InspectRows(r);
  if (const std::string problem = stubpack::ParseCommandLine(args, rows, files); !problem.empty())
    return Usage(problem);
  if (r.help) {
    std::cout << kInspectIntro << stubpack::OptionHelp(rows) << kInspectTrailer;
    return stubpack::kExitOk;
  }
  if (r.version) {
    std::cout << "stubpack " STUBPACK_VERSION "\n";
    return stubpack::kExitOk;
  }
  if (files.size() != 1) return Usage("inspect takes one FILE");
  return stubpack::Inspect(files[0], r.json, std::cout);
}

}  // namespace

int stubpack::RunStubpack(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "inspect") return RunInspect({args.begin() + 1, args.end()});

  stubpack::PackOptions o;
  Request r;
  std::vector<std::string> operands;
  const std::vector<OptionRow> rows = PackRows(o, r);
  if (const std::string problem = stubpack::ParseCommandLine(args, rows, operands);
      !problem.empty())
    return Usage(problem);
  if (r.help) {
    // The rows were made before parsing: their help names the defaults.
    std::cout << kPackIntro << stubpack::OptionHelp(rows) << kPackTrailer;
    return stubpack::kExitOk;
  }
  if (r.version) {
    std::cout << "stubpack " STUBPACK_VERSION "\n";
    return stubpack::kExitOk;
  }
  if (!operands.empty()) return Usage("unexpected argument '" + operands[0] + "'");
  if (args.empty()) return Usage("no installer to make");
  if (o.output.empty()) return Usage("--output is required");
  if (o.resources.empty() && (o.archive.empty() || o.setup.empty()))
    return Usage("--archive and --setup are required (unless raw --resource entries are given)");
  if (r.setup_storage_seen && o.setup.empty()) return Usage("--setup-storage needs --setup");
  if (o.stub.empty()) {
    std::string environment;
    stubpack::sys::Environment("STUBPACK_STUB", environment);
    // stubpack's own path, symbolic links resolved, so that a link in PATH finds the real layout.
    const stubpack::StubLocation found =
        stubpack::FindStub(environment, stubpack::sys::SelfPath(), STUBPACK_INSTALLED_STUB);
    if (found.path.empty())
      return stubpack::Fail(stubpack::kExitIo, "", stubpack::NoStubMessage(found));
    o.stub = found.path;
  }
  return stubpack::Pack(o);
}
