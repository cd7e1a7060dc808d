// The emulation's constants and record sizes against the toolchain's, as print-constants.exe
// prints them under Wine. This file includes the emulated platform header, so it holds nothing
// else: the two sets of declarations never meet in one translation unit.
#include "platform/pinned_values.h"

#include <cstddef>
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "platform/win32.h"
#include "tests/wine/wine_harness.h"

namespace wine_tests {
namespace {

using PinnedTable = std::map<std::string, unsigned long long>;

// Named exactly as print_constants.cpp names them.
PinnedTable EmulatedValues() {
  PinnedTable table;
#define PIN_VALUE(name) table.emplace(#name, PinnedNumber(name));
#define PIN_SIZE(type) table.emplace("sizeof(" #type ")", sizeof(type));
#define PIN_OFFSET(type, field) \
  table.emplace("offsetof(" #type "." #field ")", offsetof(type, field));
#include "platform/pinned_values.inc"
#undef PIN_VALUE
#undef PIN_SIZE
#undef PIN_OFFSET
  return table;
}

// "NAME VALUE" lines with CRLF ends; a line of any other form is reported in `malformed`.
PinnedTable ParsePrinted(const std::string& text, std::string& malformed) {
  PinnedTable table;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const size_t space = line.rfind(' ');
    char* end = nullptr;
    const unsigned long long value =
        space == std::string::npos ? 0 : std::strtoull(line.c_str() + space + 1, &end, 10);
    if (space == std::string::npos || space == 0 || end == line.c_str() + space + 1 ||
        *end != '\0' || !table.emplace(line.substr(0, space), value).second) {
      malformed += "  " + line + "\n";
    }
  }
  return table;
}

TEST(PinnedValues, EmulationMatchesTheToolchainHeaders) {
  const fs::path printer = WindowsBinDir() / "print-constants.exe";
  ASSERT_TRUE(fs::is_regular_file(printer))
      << printer << " is missing; build the windows preset first";
  const std::string problem = PrepareWine();
  ASSERT_EQ(problem, "");

  const ProcessResult printed = RunWine({printer.string()});
  ASSERT_EQ(printed.exit_status, 0) << printed.output;
  std::string malformed;
  const PinnedTable windows = ParsePrinted(printed.output, malformed);
  EXPECT_TRUE(malformed.empty())
      << "lines that are not one \"NAME VALUE\" pair, or repeat a name:\n"
      << malformed;

  const PinnedTable emulated = EmulatedValues();
  std::string differences;
  for (const auto& [name, value] : emulated) {
    const auto found = windows.find(name);
    if (found == windows.end()) {
      differences += "  " + name + ": not printed by print-constants.exe\n";
    } else if (found->second != value) {
      differences += "  " + name + ": toolchain " + std::to_string(found->second) + ", emulation " +
                     std::to_string(value) + "\n";
    }
  }
  for (const auto& [name, value] : windows) {
    if (emulated.count(name) == 0)
      differences += "  " + name + ": printed, but not pinned on the host\n";
  }
  EXPECT_TRUE(differences.empty()) << "pinned values that differ:\n" << differences;
}

}  // namespace
}  // namespace wine_tests
