// What the packer's tests share: inputs made at test time, stubpack and the independent readers
// run as processes, and the table of layouts that the stub must reject or treat specially.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/exit_codes.h"
#include "tests/wine/wine_harness.h"

namespace packer_tests {

namespace fs = std::filesystem;
using wine_tests::ProcessResult;
using wine_tests::RunProcess;
using wine_tests::ScratchDirectory;

constexpr const char* kEpoch = "1780000000";  // 2026-05-28 20:26:40 UTC

std::string ReadText(const fs::path& path);
void WriteText(const fs::path& path, const std::string& text);

// The inputs of one installer, made in `directory`: a real 7z archive, a setup that is a real
// Windows program (enum-resources.exe, which plays setup), the bare stub, a small text file.
struct Inputs {
  fs::path archive, setup, stub, readme, empty, cabinet;
};
Inputs MakeInputs(const fs::path& directory);

// The two builds of the packer: the Linux program, and the Windows one under Wine through a
// script that runs `wine stubpack.exe ARGS...` with the build's prefix, quiet (the prefix is
// made and its server started on first use).
fs::path LinuxStubpack();
fs::path WindowsStubpack();
// True when STUBPACK_UNDER_TEST=wine: the tests then run the Windows build as their packer.
bool UnderWine();
// The packer under test, one of the two.
fs::path Stubpack();
fs::path BuiltIcon();  // the icon the build drew, which the packer carries by default

// Options that name every version string Windows shows, so that a setup without a version
// resource (enum-resources.exe) packs without the warning about the keys it leaves out.
const std::vector<std::string>& NamedProduct();

// Runs the packer under test, or the one given, with SOURCE_DATE_EPOCH set to kEpoch.
ProcessResult Pack(const std::vector<std::string>& arguments);
ProcessResult PackWith(const fs::path& packer, const std::vector<std::string>& arguments);

// A resource as objdump prints the resource directory: "TYPE/NAME/LANGUAGE size codepage".
struct DumpedResource {
  std::string type, name;
  uint32_t language = 0, size = 0, code_page = 0;
};
std::vector<DumpedResource> ObjdumpResources(const fs::path& file, std::string& output);

// A layout of the table: what to add to the packer's command line for it.
struct LayoutCase {
  const char* name;
  // Arguments after --output, with "{archive}", "{setup}", "{readme}", "{empty}", "{cabinet}"
  // standing for the inputs and "{name259}"/"{name260}" for archive names of 259 and 260 units.
  std::vector<std::string> arguments;
  bool keeps_the_rules;  // packed without --unchecked
};
const std::vector<LayoutCase>& LayoutCases();
inline void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }
std::vector<std::string> Expand(const std::vector<std::string>& arguments, const Inputs& inputs);

// The verdict line of `stubpack inspect`: the predicted exit code, or nothing when setup runs.
struct InspectVerdict {
  bool read = false;
  std::optional<RunResult> exit_code;  // empty: setup runs and its exit code becomes the stub's
  std::string reason;                  // the verdict's text after the exit code
  // The longest stub directory from which setup's path fits, in units with its backslash, and
  // the exit code that inspect names for a longer one.
  int longest_directory = -1;
  std::optional<RunResult> beyond_longest;
  std::string output;
};
InspectVerdict Inspect(const fs::path& installer);

}  // namespace packer_tests
