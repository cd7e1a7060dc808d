#include "tools/stubpack/report.h"

#include <iostream>

namespace stubpack {

namespace {
Verbosity g_verbosity = Verbosity::kNormal;
}  // namespace

void SetVerbosity(Verbosity verbosity) { g_verbosity = verbosity; }

Verbosity CurrentVerbosity() { return g_verbosity; }

int Fail(ExitStatus status, const std::string& file, const std::string& message) {
  std::cerr << "stubpack: " << (file.empty() ? "" : file + ": ") << message << "\n";
  return status;
}

void Warn(const std::string& file, const std::string& message) {
  if (g_verbosity == Verbosity::kQuiet) return;
  std::cerr << "stubpack: warning: " << (file.empty() ? "" : file + ": ") << message << "\n";
}

void Say(const std::string& line) {
  if (g_verbosity != Verbosity::kQuiet) std::cout << line << "\n";
}

void Detail(const std::string& text) {
  if (g_verbosity != Verbosity::kVerbose || text.empty()) return;
  std::cerr << text << (text.back() == '\n' ? "" : "\n");
}

}  // namespace stubpack
