// A second, independent build of stub.exe from the same sources must give the same bytes as the
// one the other tests run: nothing of the build's place or time may reach the image.
#include <fstream>

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "tests/wine/wine_harness.h"

namespace wine_tests {
namespace {

std::vector<char> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(WindowsBuild, StubIsByteIdenticalAcrossBuilds) {
  const fs::path reference = WindowsBinDir() / "stub.exe";
  ASSERT_TRUE(fs::is_regular_file(reference))
      << reference << " is missing; build the windows preset first";
  const fs::path sources = Setting("STUB_SOURCE_DIR");
  const std::string cmake = Setting("STUB_CMAKE_COMMAND");
  ASSERT_TRUE(fs::is_regular_file(sources / "CMakeLists.txt")) << sources;

  const ScratchDirectory scratch;
  ASSERT_FALSE(scratch.Path().empty());
  // A longer, different binary directory, so that a path leaking into the image shows.
  const fs::path binary = scratch.Path() / "second-windows-build";
  const std::vector<std::string> configure = {
      cmake,
      "-S",
      sources.string(),
      "-B",
      binary.string(),
      "-G",
      "Ninja",
      "--toolchain",
      (sources / "cmake" / "mingw-w64-x86_64.cmake").string(),
      "-DCMAKE_BUILD_TYPE=MinSizeRel"};
  const ProcessResult configured = RunProcess(configure);
  ASSERT_EQ(configured.exit_status, 0) << configured.output;
  const ProcessResult built = RunProcess({cmake, "--build", binary.string(), "--target", "stub"});
  ASSERT_EQ(built.exit_status, 0) << built.output;

  const std::vector<char> first = ReadBytes(reference);
  const std::vector<char> second = ReadBytes(binary / "bin" / "stub.exe");
  ASSERT_FALSE(second.empty());
  if (first == second) return;
  size_t at = 0;
  while (at < first.size() && at < second.size() && first[at] == second[at]) ++at;
  size_t differing = 0;
  for (size_t i = 0; i < std::min(first.size(), second.size()); ++i)
    differing += first[i] != second[i];
  FAIL() << "the images differ: sizes " << first.size() << " and " << second.size()
         << ", first difference at offset 0x" << std::hex << at << std::dec << ", " << differing
         << " differing bytes (is " << reference << " built from the current sources?)";
}

}  // namespace
}  // namespace wine_tests
