// How stubpack ends and what it says: distinct exit statuses for scripts, and one channel for
// messages so that --quiet and --verbose hold everywhere.
#pragma once

#include <string>

namespace stubpack {

// Documented in --help and the man page; a release script tells the kinds of failure apart.
enum ExitStatus : int {
  kExitOk = 0,
  kExitRefused = 1,  // an input the installer cannot be made from, or a verdict not "setup runs"
  kExitUsage = 2,    // the command line itself
  kExitIo = 3,       // reading an input, writing the output, no space, ...
  kExitSigning = 4,  // signing, timestamping or verifying the signature
  kExitNotAnInstaller = 5,  // inspect: the file is not an installer made from the stub
};

enum class Verbosity { kQuiet, kNormal, kVerbose };

void SetVerbosity(Verbosity verbosity);
Verbosity CurrentVerbosity();

// "stubpack: FILE: MESSAGE" on stderr (FILE left out when empty); returns `status`.
int Fail(ExitStatus status, const std::string& file, const std::string& message);
// "stubpack: warning: FILE: MESSAGE"; silent under --quiet.
void Warn(const std::string& file, const std::string& message);
// Progress and results on stdout; silent under --quiet.
void Say(const std::string& line);
// Details (a tool's own output, OpenSSL's stack) on stderr, only under --verbose.
void Detail(const std::string& text);

}  // namespace stubpack
