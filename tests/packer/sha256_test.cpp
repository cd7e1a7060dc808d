// The packer's SHA-256: the FIPS 180-2 examples, every split of the input across calls, and
// sha256sum over a file of a few MiB; in the portable rounds and, where the processor has them,
// its SHA instructions.
#include "tools/stubpack/sha256.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/packer/packer_fixture.h"

namespace packer_tests {
namespace {

using stubpack::Sha256;

std::string Hex(const std::string& text) {
  return stubpack::Sha256Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

class Sha256Test : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam() && !stubpack::Sha256HasExtensions()) GTEST_SKIP() << "no SHA instructions";
    stubpack::Sha256ForcePortable(GetParam());
  }
  void TearDown() override { stubpack::Sha256ForcePortable(false); }
};

TEST_P(Sha256Test, FipsExamples) {
  struct Vector {
    std::string message, digest;
  };
  const Vector vectors[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
  };
  for (const Vector& v : vectors) EXPECT_EQ(Hex(v.message), v.digest) << v.message.size();
}

// Lengths around the block and the padding's boundaries (55, 56, 63, 64 bytes), added whole and
// in two pieces split at every point.
TEST_P(Sha256Test, AnySplitGivesTheSameDigest) {
  std::string text;
  for (int i = 0; i < 130; ++i) text += static_cast<char>('A' + i % 53);
  for (size_t size : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 130}) {
    const std::string message = text.substr(0, size);
    const std::string whole = Hex(message);
    for (size_t split = 0; split <= size; ++split) {
      Sha256 hash;
      stubpack::Sha256Add(hash, reinterpret_cast<const uint8_t*>(message.data()), split);
      stubpack::Sha256Add(hash, reinterpret_cast<const uint8_t*>(message.data()) + split,
                          size - split);
      ASSERT_EQ(stubpack::HexDigest(stubpack::Sha256Finish(hash)), whole)
          << size << " bytes split at " << split;
    }
  }
}

TEST_P(Sha256Test, AgreesWithSha256sumOnAFileOfAFewMiB) {
  ScratchDirectory scratch;
  std::mt19937 random(7);
  std::string bytes(3 * 1024 * 1024 + 17, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  const fs::path file = scratch.Path() / "random.bin";
  WriteText(file, bytes);
  const ProcessResult sum = RunProcess({"sha256sum", file.string()});
  ASSERT_EQ(sum.exit_status, 0) << sum.output;
  // In uneven pieces, as a reader's chunks would come.
  Sha256 hash;
  for (size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece * 3 % 100003 + 1)
    stubpack::Sha256Add(hash, reinterpret_cast<const uint8_t*>(bytes.data()) + at,
                        std::min(piece, bytes.size() - at));
  EXPECT_EQ(stubpack::HexDigest(stubpack::Sha256Finish(hash)), sum.output.substr(0, 64));
}

INSTANTIATE_TEST_SUITE_P(Rounds, Sha256Test, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Portable" : "Instructions");
                         });

}  // namespace
}  // namespace packer_tests
