#include "tools/stubpack/progress.h"

#include <cstdio>

#include "tools/stubpack/report.h"
#include "tools/stubpack/system.h"

namespace stubpack {

namespace {

constexpr auto kQuietStart = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(250);

void Draw(const Progress& p) {
  const unsigned percent = p.total == 0 ? 100 : static_cast<unsigned>(p.done * 100 / p.total);
  // Spaces after the text clear what a longer earlier line left.
  std::fprintf(stderr, "\rstubpack: %s: %s of %s bytes (%u%%)   ", p.label.c_str(),
               Grouped(p.done).c_str(), Grouped(p.total).c_str(), percent);
  std::fflush(stderr);
}

}  // namespace

std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n), text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

void ProgressStart(Progress& p, const std::string& label, uint64_t total) {
  p.label = label;
  p.total = total;
  p.done = 0;
  p.shown = false;
  p.enabled = CurrentVerbosity() != Verbosity::kQuiet && sys::StderrIsTerminal();
  p.started = p.last = std::chrono::steady_clock::now();
}

void ProgressAdvance(Progress& p, uint64_t bytes) {
  p.done += bytes;
  if (!p.enabled) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - p.started < kQuietStart || (p.shown && now - p.last < kRedraw)) return;
  p.last = now;
  p.shown = true;
  Draw(p);
}

void ProgressEnd(Progress& p) {
  if (!p.shown) return;
  Draw(p);
  std::fputc('\n', stderr);
  p.shown = false;
}

}  // namespace stubpack
