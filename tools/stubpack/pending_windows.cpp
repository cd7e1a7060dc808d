// TEMPORARY stand-in of stubpack.exe for what has not come to Windows yet: the cabinet writer
// (libgcab, which the Windows build does not link). It refuses with a message instead of doing
// less than it says; plain storage packs fully.
#include <string>

#include "tools/stubpack/cabinet.h"

namespace stubpack {

DosDateTime DosDateTimeFromUnix(int64_t) { return DosDateTime(); }

bool WriteSetupCabinet(const std::string&, const std::string&, int64_t, std::string& problem) {
  problem = "cabinet storage not yet available in this build (--setup-storage plain packs setup)";
  return false;
}

}  // namespace stubpack
