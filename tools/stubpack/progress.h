// Progress of a long step on one line of stderr: only on a terminal, never under --quiet, and
// only once the step has run for about a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace stubpack {

struct Progress {
  std::string label;  // "writing installer.exe"
  uint64_t total = 0, done = 0;
  bool enabled = false, shown = false;
  std::chrono::steady_clock::time_point started, last;
};

void ProgressStart(Progress& p, const std::string& label, uint64_t total);
// `bytes` more are done; redraws at most four times a second.
void ProgressAdvance(Progress& p, uint64_t bytes);
// Draws the last state and ends the line, when anything was drawn.
void ProgressEnd(Progress& p);

// 1234567 as "1,234,567".
std::string Grouped(uint64_t n);

}  // namespace stubpack
