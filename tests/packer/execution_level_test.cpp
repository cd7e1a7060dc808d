// The packer's reader of what setup asks of User Account Control, on hand-made manifest texts and
// on the windows preset's elevation setups: the level it reads, the texts it refuses (in one
// line), and that no cut or damaged byte of its input makes it read beyond the input's end (each
// input is copied into a buffer of exactly its size, which the sanitizer build watches). Also
// the cabinet expansion that inspect reads setup's image through.
#include "tools/stubpack/execution_level.h"

#include <algorithm>
#include <cctype>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zlib.h>

#include "tests/packer/packer_fixture.h"
#include "tools/stubpack/cabinet.h"
#include "tools/stubpack/installer_listing.h"
#include "tools/stubpack/layout.h"
#include "tools/stubpack/resource_directory.h"

namespace packer_tests {
namespace {

using stubpack::ExecutionLevel;

// A manifest whose requestedPrivileges holds `inner`.
std::string Manifest(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
         "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
         "    <security>\n"
         "      <requestedPrivileges>\n"
         "        " +
         inner +
         "\n"
         "      </requestedPrivileges>\n"
         "    </security>\n"
         "  </trustInfo>\n"
         "</assembly>\n";
}

struct TextCase {
  const char* name;
  std::string text;
  ExecutionLevel level;  // when `refusal` is empty
  const char* refusal;   // else a part of the problem
};

void PrintTo(const TextCase& c, std::ostream* out) { *out << c.name; }

bool Read(const std::string& text, ExecutionLevel& level, std::string& problem) {
  const std::vector<uint8_t> exact(text.begin(), text.end());
  return stubpack::ReadExecutionLevel(exact.data(), exact.size(), level, problem);
}

bool IsOneLine(const std::string& problem) {
  return !problem.empty() && problem.find_first_of("\r\n") == std::string::npos;
}

class ManifestText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ManifestText, ReadsTheLevelOrRefusesInOneLine) {
  const TextCase& c = GetParam();
  ExecutionLevel level = ExecutionLevel::kNone;
  std::string problem;
  const bool read = Read(c.text, level, problem);
  if (c.refusal == nullptr) {
    ASSERT_TRUE(read) << problem;
    EXPECT_EQ(level, c.level);
  } else {
    ASSERT_FALSE(read) << "read as level " << static_cast<int>(level);
    EXPECT_NE(problem.find(c.refusal), std::string::npos) << problem;
    EXPECT_EQ(problem.rfind("at byte ", 0), 0u) << problem;
    EXPECT_TRUE(IsOneLine(problem)) << problem;
  }
}

// Every cut of the text: read, or refused in one line, and never beyond the cut.
TEST_P(ManifestText, EveryCutIsReadOrRefusedWithinIt) {
  const std::string& text = GetParam().text;
  for (size_t size = 0; size <= text.size(); ++size) {
    ExecutionLevel level = ExecutionLevel::kNone;
    std::string problem;
    const bool read = Read(text.substr(0, size), level, problem);
    EXPECT_TRUE(read || IsOneLine(problem)) << size << " bytes: " << problem;
  }
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

const std::string kRequire = "<requestedExecutionLevel level=\"requireAdministrator\"/>";

INSTANTIATE_TEST_SUITE_P(
    Texts, ManifestText,
    ::testing::Values(
        TextCase{"AsInvoker",
                 Manifest("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
                 ExecutionLevel::kAsInvoker, nullptr},
        TextCase{"HighestAvailable",
                 Manifest("<requestedExecutionLevel level=\"highestAvailable\"/>"),
                 ExecutionLevel::kHighestAvailable, nullptr},
        TextCase{"RequireAdministrator", Manifest(kRequire), ExecutionLevel::kRequireAdministrator,
                 nullptr},
        TextCase{"PrefixesSingleQuotesSpacesAndAByteOrderMark",
                 "\xEF\xBB\xBF<?xml version='1.0'?>\r\n"
                 "<v1:assembly xmlns:v1='urn:schemas-microsoft-com:asm.v1'>"
                 "<v3:trustInfo xmlns:v3='urn:schemas-microsoft-com:asm.v3'><v3:security>"
                 "<v3:requestedPrivileges>\t<v3:requestedExecutionLevel\r\n uiAccess = 'false'"
                 "\n level\t=\t'requireAdministrator' ></v3:requestedExecutionLevel>"
                 "</v3:requestedPrivileges></v3:security></v3:trustInfo></v1:assembly>",
                 ExecutionLevel::kRequireAdministrator, nullptr},
        TextCase{"NoTrustInfo",
                 "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
                 "<dependency/></assembly>",
                 ExecutionLevel::kNone, nullptr},
        TextCase{"LevelOnlyInACommentAndCdata",
                 Manifest("<!-- " + kRequire + " --><![CDATA[" + kRequire + "]]>"),
                 ExecutionLevel::kNone, nullptr},
        TextCase{"QuotedGreaterThanAndOtherQuote",
                 Manifest("<requestedExecutionLevel note='a > b \"c\"' level=\"asInvoker\"/>"),
                 ExecutionLevel::kAsInvoker, nullptr},
        TextCase{"PaddedWithZeros", Manifest(kRequire) + std::string(4, '\0'),
                 ExecutionLevel::kRequireAdministrator, nullptr},
        TextCase{"Utf16", std::string("\xFF\xFE<\0a\0/\0>\0", 10), ExecutionLevel::kNone, "UTF-16"},
        // Found by the packer_manifest fuzzer: the UTF-8 mark hid the UTF-16 one behind it.
        TextCase{
            "Utf16MarkBehindUtf8Mark",
            "\xEF\xBB\xBF\xFE\xFF" + Manifest("<requestedExecutionLevel level=\"asInvoker\"/>"),
            ExecutionLevel::kNone, "UTF-16"},
        TextCase{"NulInside", std::string("<assembly>\0</assembly>", 22), ExecutionLevel::kNone,
                 "NUL"},
        TextCase{"Empty", "", ExecutionLevel::kNone, "no XML element"},
        TextCase{"NotXml", "requireAdministrator", ExecutionLevel::kNone, "no XML element"},
        TextCase{"EndsInsideAnElement",
                 Manifest(kRequire).substr(0, Manifest(kRequire).find("</security>")),
                 ExecutionLevel::kNone, "ends inside <security>"},
        TextCase{"CutInsideATag", "<assembly><trustInfo", ExecutionLevel::kNone,
                 "start tag is not closed"},
        TextCase{"UnclosedComment", "<assembly><!-- <x/>", ExecutionLevel::kNone,
                 "comment is not closed"},
        TextCase{"EndTagClosesAnother", "<assembly><security></trustInfo></assembly>",
                 ExecutionLevel::kNone, "</trustInfo> closes <security>"},
        TextCase{"TwoLevels", Manifest(kRequire + kRequire), ExecutionLevel::kNone,
                 "a second requestedExecutionLevel"},
        TextCase{
            "LevelOutsideRequestedPrivileges",
            "<assembly><trustInfo><security>" + kRequire + "</security></trustInfo></assembly>",
            ExecutionLevel::kNone, "outside trustInfo/security/requestedPrivileges"},
        TextCase{"LevelSpelledOtherwise",
                 Manifest("<requestedExecutionLevel level=\"RequireAdministrator\"/>"),
                 ExecutionLevel::kNone, "level=\"RequireAdministrator\" is none of"},
        TextCase{"LevelWithSpaces", Manifest("<requestedExecutionLevel level=\" asInvoker\"/>"),
                 ExecutionLevel::kNone, "is none of"},
        TextCase{"NoLevelAttribute", Manifest("<requestedExecutionLevel uiAccess=\"false\"/>"),
                 ExecutionLevel::kNone, "no level attribute"},
        TextCase{"PrefixedLevelAttribute",
                 Manifest("<requestedExecutionLevel x:level=\"asInvoker\"/>"),
                 ExecutionLevel::kNone, "carries a prefix"},
        TextCase{"LevelTwice",
                 Manifest("<requestedExecutionLevel level=\"asInvoker\" "
                          "level=\"requireAdministrator\"/>"),
                 ExecutionLevel::kNone, "appears twice"},
        TextCase{"UnquotedValue", Manifest("<requestedExecutionLevel level=asInvoker/>"),
                 ExecutionLevel::kNone, "not quoted"},
        TextCase{"UnclosedValue", Manifest("<requestedExecutionLevel level=\"asInvoker/>"),
                 ExecutionLevel::kNone, "value is not closed"},
        TextCase{"LessThanInAValue", Manifest("<requestedExecutionLevel level=\"as<Invoker\"/>"),
                 ExecutionLevel::kNone, "holds '<'"},
        TextCase{"DocumentType",
                 "<!DOCTYPE assembly [<!ENTITY l \"asInvoker\">]>" +
                     Manifest("<requestedExecutionLevel level=\"&l;\"/>"),
                 ExecutionLevel::kNone, "document type"},
        TextCase{"NestedTooDeeply", Repeat("<a>", 65), ExecutionLevel::kNone, "nest too deeply"}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

// --- Images: the windows preset's elevation setups, read whole, cut and damaged. ---

std::string ImageBytes(const char* name) { return ReadText(wine_tests::WindowsBinDir() / name); }

bool ReadImage(const std::string& bytes, stubpack::ImageElevation& elevation,
               std::string& problem) {
  const std::vector<uint8_t> exact(bytes.begin(), bytes.end());
  return stubpack::ReadImageElevation(exact.data(), exact.size(), elevation, problem);
}

struct ImageCase {
  const char* file;
  bool is_32_bit, has_manifest;
  ExecutionLevel level;
  bool refused;  // ElevationRefusal names a reason
};

void PrintTo(const ImageCase& c, std::ostream* out) { *out << c.file; }

class SetupImage : public ::testing::TestWithParam<ImageCase> {
 protected:
  void SetUp() override {
    bytes_ = ImageBytes(GetParam().file);
    ASSERT_FALSE(bytes_.empty()) << GetParam().file << ": build the windows preset first";
  }
  std::string bytes_;
};

TEST_P(SetupImage, ReadsBitsManifestAndLevel) {
  const ImageCase& c = GetParam();
  stubpack::ImageElevation elevation;
  std::string problem;
  ASSERT_TRUE(ReadImage(bytes_, elevation, problem)) << problem;
  EXPECT_EQ(elevation.is_32_bit, c.is_32_bit);
  EXPECT_EQ(elevation.has_manifest, c.has_manifest);
  EXPECT_EQ(elevation.level, c.level);
  EXPECT_EQ(!stubpack::ElevationRefusal(elevation).empty(), c.refused)
      << stubpack::ElevationRefusal(elevation);
}

// Every cut, and every byte of the headers and the resource section set to 0xFF in turn: read or
// refused in one line, never beyond the input.
TEST_P(SetupImage, CutOrDamagedIsReadOrRefusedWithinIt) {
  stubpack::ImageElevation elevation;
  std::string problem;
  for (size_t size = 0; size < bytes_.size(); ++size) {
    const bool read = ReadImage(bytes_.substr(0, size), elevation, problem);
    EXPECT_TRUE(read || IsOneLine(problem)) << size << " bytes: " << problem;
  }
  for (size_t at = 0; at < bytes_.size(); ++at) {
    std::string damaged = bytes_;
    damaged[at] = '\xFF';
    const bool read = ReadImage(damaged, elevation, problem);
    EXPECT_TRUE(read || IsOneLine(problem)) << "byte " << at << ": " << problem;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Builds, SetupImage,
    ::testing::Values(
        ImageCase{"elevation-setup-none.exe", false, false, ExecutionLevel::kNone, false},
        ImageCase{"elevation-setup-no-level.exe", false, true, ExecutionLevel::kNone, false},
        ImageCase{"elevation-setup-as-invoker.exe", false, true, ExecutionLevel::kAsInvoker, false},
        ImageCase{"elevation-setup-highest-available.exe", false, true,
                  ExecutionLevel::kHighestAvailable, true},
        ImageCase{"elevation-setup-require-administrator.exe", false, true,
                  ExecutionLevel::kRequireAdministrator, true},
        ImageCase{"elevation-setup-prefixed-require-administrator.exe", false, true,
                  ExecutionLevel::kRequireAdministrator, true},
        ImageCase{"elevation-setup32-none.exe", true, false, ExecutionLevel::kNone, true},
        ImageCase{"elevation-setup32-no-level.exe", true, true, ExecutionLevel::kNone, true},
        ImageCase{"elevation-setup32-as-invoker.exe", true, true, ExecutionLevel::kAsInvoker,
                  false}),
    [](const ::testing::TestParamInfo<ImageCase>& info) {
      std::string name;
      for (const char* c = info.param.file; *c != '.'; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return name;
    });

// --- The cabinet expansion through which inspect reads setup's image. ---

class Expansion : public ::testing::Test {
 protected:
  void SetUp() override { in_ = MakeInputs(scratch_.Path() / "in"); }
  ScratchDirectory scratch_;
  Inputs in_;
};

bool Expand(const std::string& cabinet, std::string& file, bool& unsupported,
            std::string& problem) {
  const std::vector<uint8_t> exact(cabinet.begin(), cabinet.end());
  stubpack::Bytes expanded;
  const bool ok =
      stubpack::ExpandFirstFile(exact.data(), exact.size(), expanded, unsupported, problem);
  file.assign(expanded.begin(), expanded.end());
  return ok;
}

TEST_F(Expansion, GivesBackWhatGcabCompressed) {
  // The test setup is large enough for many MSZIP blocks.
  const std::string setup = ReadText(in_.setup), cabinet = ReadText(in_.cabinet);
  ASSERT_GT(setup.size(), 4u * 32768);
  std::string file, problem;
  bool unsupported = true;
  ASSERT_TRUE(Expand(cabinet, file, unsupported, problem)) << problem;
  EXPECT_FALSE(unsupported);
  EXPECT_TRUE(file == setup) << "the expansion differs from setup";
}

void PutU16(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8 & 0xFF));
}
void PutU32(std::string& out, uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}

// A one-file MSZIP cabinet whose blocks refer back into the blocks before them, as MSZIP allows
// and gcab's blocks never do: each block a deflate stream of its own over the 32 KiB before it.
std::string CabinetWithHistory(const std::string& data) {
  std::string blocks;
  uint16_t count = 0;
  for (size_t at = 0; at < data.size(); at += 32768, ++count) {
    const size_t length = std::min<size_t>(32768, data.size() - at);
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    const size_t window = std::min<size_t>(at, 32768);
    deflateSetDictionary(&zs, reinterpret_cast<const Bytef*>(data.data() + at - window),
                         static_cast<uInt>(window));
    std::string packed(deflateBound(&zs, length) + 2, '\0');
    packed[0] = 'C';
    packed[1] = 'K';
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
    zs.avail_in = static_cast<uInt>(length);
    zs.next_out = reinterpret_cast<Bytef*>(&packed[2]);
    zs.avail_out = static_cast<uInt>(packed.size() - 2);
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    packed.resize(2 + zs.total_out);
    deflateEnd(&zs);
    PutU32(blocks, 0);  // no checksum
    PutU16(blocks, static_cast<uint32_t>(packed.size()));
    PutU16(blocks, static_cast<uint32_t>(length));
    blocks += packed;
  }
  const std::string name = "setup.exe";
  const uint32_t files_at = 36 + 8,
                 blocks_at = files_at + 16 + static_cast<uint32_t>(name.size()) + 1;
  std::string cabinet = "MSCF";
  PutU32(cabinet, 0);
  PutU32(cabinet, blocks_at + static_cast<uint32_t>(blocks.size()));
  PutU32(cabinet, 0);
  PutU32(cabinet, files_at);
  PutU32(cabinet, 0);
  cabinet += '\x03';  // version 1.3
  cabinet += '\x01';
  PutU16(cabinet, 1);  // folders
  PutU16(cabinet, 1);  // files
  PutU32(cabinet, 0);  // flags, set
  PutU16(cabinet, 0);  // index in the set
  PutU32(cabinet, blocks_at);
  PutU16(cabinet, count);
  PutU16(cabinet, 1);  // MSZIP
  PutU32(cabinet, static_cast<uint32_t>(data.size()));
  PutU32(cabinet, 0);       // offset in the folder
  PutU16(cabinet, 0);       // folder
  PutU32(cabinet, 0x5821);  // date and time
  PutU16(cabinet, 0);       // attributes
  cabinet += name;
  cabinet += '\0';
  return cabinet + blocks;
}

TEST_F(Expansion, InflatesBlocksThatReferToTheOnesBefore) {
  const std::string setup = ReadText(in_.setup);
  const std::string cabinet = CabinetWithHistory(setup);
  // The fixture's cabinet, as an independent reader sees it.
  const fs::path file = scratch_.Path() / "history.cab", out = scratch_.Path() / "out";
  WriteText(file, cabinet);
  const ProcessResult extracted =
      RunProcess({"cabextract", "-q", "-d", out.string(), file.string()});
  ASSERT_EQ(extracted.exit_status, 0) << extracted.output;
  ASSERT_TRUE(ReadText(out / "setup.exe") == setup) << "cabextract expands something else";
  std::string expanded, problem;
  bool unsupported = true;
  ASSERT_TRUE(Expand(cabinet, expanded, unsupported, problem)) << problem;
  EXPECT_TRUE(expanded == setup) << "the expansion differs from setup";
}

TEST_F(Expansion, RefusesABlockThatDoesNotInflate) {
  std::string cabinet = ReadText(in_.cabinet);
  ASSERT_GT(cabinet.size(), 200u);
  const auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(
        static_cast<uint8_t>(cabinet[at]) | static_cast<uint8_t>(cabinet[at + 1]) << 8 |
        static_cast<uint8_t>(cabinet[at + 2]) << 16 |
        static_cast<uint32_t>(static_cast<uint8_t>(cabinet[at + 3])) << 24);
  };
  // The first data block: its checksum cleared (0 means none), its deflate data replaced by a
  // block type that does not exist.
  const size_t block = u32(36);
  cabinet.replace(block, 4, std::string(4, '\0'));
  cabinet[block + 10] = '\xFF';
  std::string file, problem;
  bool unsupported = true;
  EXPECT_FALSE(Expand(cabinet, file, unsupported, problem));
  EXPECT_FALSE(unsupported);
  EXPECT_NE(problem.find("does not expand"), std::string::npos) << problem;
}

TEST_F(Expansion, NamesACompressionItDoesNotExpand) {
  std::string cabinet = ReadText(in_.cabinet);
  cabinet[36 + 6] = 3;  // the folder's compression: LZX
  std::string file, problem;
  bool unsupported = false;
  EXPECT_FALSE(Expand(cabinet, file, unsupported, problem));
  EXPECT_TRUE(unsupported);
  EXPECT_NE(problem.find("LZX"), std::string::npos) << problem;
}

TEST_F(Expansion, KeepsTheFileStartAndStillChecksEveryBlock) {
  const std::string setup = ReadText(in_.setup);
  const std::string cabinet = CabinetWithHistory(setup);
  ASSERT_GT(setup.size(), 3u * 32768);
  const std::vector<uint8_t> exact(cabinet.begin(), cabinet.end());
  // Cuts inside the first block, at a block's end and inside a later block, whose history
  // then lies in the part that is not kept.
  for (const uint64_t keep : {uint64_t{0}, uint64_t{100}, uint64_t{32768}, uint64_t{70000},
                              uint64_t{setup.size()}, uint64_t{setup.size() + 1}}) {
    stubpack::Bytes file;
    uint64_t file_size = 0;
    bool unsupported = true;
    std::string problem;
    ASSERT_TRUE(stubpack::ExpandFirstFile(exact.data(), exact.size(), keep, file, file_size,
                                          unsupported, problem))
        << keep << ": " << problem;
    EXPECT_EQ(file_size, setup.size());
    const size_t kept = std::min<size_t>(keep, setup.size());
    EXPECT_TRUE(std::string(file.begin(), file.end()) == setup.substr(0, kept))
        << "keeping " << keep << " bytes gave " << file.size() << " other bytes";
  }
  // A last block that does not inflate is met though nothing of it is kept.
  std::string damaged = cabinet;
  damaged[damaged.size() - 1] = static_cast<char>(damaged[damaged.size() - 1] ^ 0x55);
  damaged[damaged.size() - 2] = static_cast<char>(damaged[damaged.size() - 2] ^ 0x55);
  const std::vector<uint8_t> bad(damaged.begin(), damaged.end());
  stubpack::Bytes file;
  uint64_t file_size = 0;
  bool unsupported = true;
  std::string problem;
  EXPECT_FALSE(stubpack::ExpandFirstFile(bad.data(), bad.size(), 100, file, file_size, unsupported,
                                         problem));
  EXPECT_NE(problem.find("does not expand"), std::string::npos) << problem;
  EXPECT_TRUE(file.empty());
}

// --- Resource names from the files users hand in, in the packer's one-line messages. ---

struct NameCase {
  const char* name;
  std::string units;  // in the setup's name after "SETUP"
  const char* shown;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.name; }

class ShownName : public ::testing::TestWithParam<NameCase> {};

// A control character in a name reaches every message as \uXXXX: the verdict's rules and
// roles, and the reader's refusal of a resource whose data the file's end cuts.
TEST_P(ShownName, KeepsMessagesOneLine) {
  const NameCase& c = GetParam();
  const std::u16string name = u"SETUP" + std::u16string(c.units.begin(), c.units.end());
  const std::string shown = std::string("SETUP") + c.shown;
  EXPECT_EQ(stubpack::ResourceId::Name(name).Display(), shown);

  std::vector<stubpack::ListedResource> listed = {
      {stubpack::ResourceId::Name(u"B7"), stubpack::ResourceId::Name(u"NIMBET.7Z"), 3},
      {stubpack::ResourceId::Name(u"BN"), stubpack::ResourceId::Name(name), 0}};
  const stubpack::Verdict v = stubpack::Predict(
      listed, [](size_t, payload_layout::SetupStorage) { return stubpack::SetupFindings(); });
  bool named = false;
  for (const stubpack::Verdict::Broken& b : v.broken) {
    EXPECT_TRUE(IsOneLine(b.rule)) << b.rule;
    named = named || b.rule.find(shown) != std::string::npos;
  }
  EXPECT_TRUE(named) << "no rule names the empty setup";
  for (const std::string& role : v.roles) EXPECT_EQ(role.find_first_of("\r\n"), std::string::npos);

  ScratchDirectory scratch;
  const fs::path data = scratch.Path() / "data.bin", installer = scratch.Path() / "installer.exe";
  WriteText(data, std::string(64, 'x'));
  const ProcessResult packed = Pack({"--stub", (wine_tests::WindowsBinDir() / "stub.exe").string(),
                                     "--resource", "BN", shown.substr(0, 5) + c.units,
                                     data.string(), "--unchecked", "--output", installer.string()});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  const std::string bytes = ReadText(installer);
  std::vector<uint8_t> exact(bytes.begin(), bytes.end());
  std::vector<stubpack::InspectedResource> resources;
  std::string problem;
  ASSERT_TRUE(stubpack::ReadResources(exact.data(), exact.size(), resources, problem)) << problem;
  const auto setup = std::find_if(resources.begin(), resources.end(),
                                  [&](const auto& r) { return r.listed.name.name == name; });
  ASSERT_NE(setup, resources.end());
  exact.resize(setup->offset + 1);  // the directory whole, the data cut
  EXPECT_FALSE(stubpack::ReadResources(exact.data(), exact.size(), resources, problem));
  EXPECT_TRUE(IsOneLine(problem)) << problem;
  EXPECT_NE(problem.find(shown), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(Names, ShownName,
                         ::testing::Values(NameCase{"LineFeed", "\nX", "\\u000AX"},
                                           NameCase{"CarriageReturn", "\r", "\\u000D"},
                                           NameCase{"TabAndDelete", "\t\x7F", "\\u0009\\u007F"},
                                           NameCase{"Printable", ".EXE", ".EXE"}),
                         [](const ::testing::TestParamInfo<NameCase>& info) {
                           return std::string(info.param.name);
                         });

// --- Resource directories whose entries share what they point at. ---

struct SharedCase {
  const char* name;
  // The directory written at the resource directory's offset; `rva` is that offset's RVA.
  stubpack::Bytes (*directory)(uint32_t rva);
  const char* refusal;
};

void PrintTo(const SharedCase& c, std::ostream* out) { *out << c.name; }

void PutTable(stubpack::Bytes& out, uint16_t named, uint16_t numbered) {
  for (int i = 0; i < 12; ++i) out.push_back(0);
  stubpack::PutU16(out, named);
  stubpack::PutU16(out, numbered);
}

// 40 types that all lead to one table of 40 names, which all lead to one table of one language:
// 1600 resources listed from 1.3 KB.
stubpack::Bytes SharedTables(uint32_t rva) {
  constexpr uint16_t kCount = 40;
  const uint32_t names_at = 16 + 8 * kCount, languages_at = names_at + 16 + 8 * kCount,
                 leaf_at = languages_at + 24;
  stubpack::Bytes d;
  PutTable(d, 0, kCount);
  for (uint16_t i = 1; i <= kCount; ++i) {
    stubpack::PutU32(d, i);
    stubpack::PutU32(d, 0x80000000 | names_at);
  }
  PutTable(d, 0, kCount);
  for (uint16_t i = 1; i <= kCount; ++i) {
    stubpack::PutU32(d, i);
    stubpack::PutU32(d, 0x80000000 | languages_at);
  }
  PutTable(d, 0, 1);
  stubpack::PutU32(d, 1033);
  stubpack::PutU32(d, leaf_at);
  stubpack::PutU32(d, rva);  // the data: the directory's first 16 bytes
  stubpack::PutU32(d, 16);
  stubpack::PutU32(d, 0);
  stubpack::PutU32(d, 0);
  return d;
}

// 40 types whose entries all point at one name of 2000 units: 160 KB of names from 4 KB.
stubpack::Bytes SharedName(uint32_t) {
  constexpr uint16_t kCount = 40, kUnits = 2000;
  const uint32_t name_at = 16 + 8 * kCount;
  stubpack::Bytes d;
  PutTable(d, kCount, 0);
  for (uint16_t i = 0; i < kCount; ++i) {
    stubpack::PutU32(d, 0x80000000 | name_at);
    stubpack::PutU32(d, 0x80000000);  // the root again: never reached
  }
  stubpack::PutU16(d, kUnits);
  for (uint16_t i = 0; i < kUnits; ++i) stubpack::PutU16(d, 'A');
  return d;
}

class SharedDirectory : public ::testing::TestWithParam<SharedCase> {};

TEST_P(SharedDirectory, IsRefusedInOneLine) {
  const std::string image = ImageBytes("elevation-setup-as-invoker.exe");
  ASSERT_FALSE(image.empty()) << "build the windows preset first";
  stubpack::Bytes file(image.begin(), image.end());
  stubpack::ResourceDirectoryReader reader;
  std::string problem;
  ASSERT_TRUE(stubpack::OpenResourceDirectory(file.data(), file.size(), reader, problem));
  ASSERT_TRUE(reader.present);
  uint32_t rva = 0;
  for (const stubpack::PeSection& s : reader.pe.sections) {
    if (reader.base >= s.raw_offset && reader.base < uint64_t{s.raw_offset} + s.raw_size)
      rva = static_cast<uint32_t>(s.virtual_address + (reader.base - s.raw_offset));
  }
  ASSERT_NE(rva, 0u);
  // The directory replaces the file's end from its offset on: its reader checks the file's end.
  file.resize(reader.base);
  const stubpack::Bytes directory = GetParam().directory(rva);
  file.insert(file.end(), directory.begin(), directory.end());
  std::vector<stubpack::InspectedResource> resources;
  EXPECT_FALSE(stubpack::ReadResources(file.data(), file.size(), resources, problem))
      << resources.size() << " resources listed";
  EXPECT_TRUE(IsOneLine(problem)) << problem;
  EXPECT_NE(problem.find(GetParam().refusal), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(
    Directories, SharedDirectory,
    ::testing::Values(SharedCase{"Tables", SharedTables, "from two entries"},
                      SharedCase{"Name", SharedName, "names add up to more bytes"}),
    [](const ::testing::TestParamInfo<SharedCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace packer_tests
