// The version block: the reader of setup's version resource on hand-made blocks, the numbers that
// free-text versions begin with, and installers packed from setups with and without a version
// resource, read back from the file that wrestool extracts.
#include <algorithm>

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/packer/packer_fixture.h"
#include "tools/stubpack/bytes.h"
#include "tools/stubpack/version_block.h"
#include "tools/stubpack/version_info.h"

namespace packer_tests {
namespace {

using stubpack::Bytes;
using stubpack::VersionInfo;

// --- Hand-made blocks, written here on their own rather than by the packer's writer. ---

struct TestNode {
  std::u16string key;
  uint16_t type = 1;
  uint16_t value_length = 0;
  Bytes value;
  std::vector<TestNode> children;
  bool key_terminated = true;
};

void Align(Bytes& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

void Write(const TestNode& node, Bytes& out) {
  const size_t start = out.size();
  stubpack::PutU16(out, 0);
  stubpack::PutU16(out, node.value_length);
  stubpack::PutU16(out, node.type);
  stubpack::PutUtf16(out, node.key);
  if (node.key_terminated) stubpack::PutU16(out, 0);
  if (!node.value.empty()) Align(out);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const TestNode& child : node.children) {
    Align(out);
    Write(child, out);
  }
  stubpack::SetU16(&out[start], static_cast<uint32_t>(out.size() - start));
}

TestNode Text(const std::u16string& key, const std::u16string& value) {
  TestNode node{key, 1, static_cast<uint16_t>(value.size() + 1), {}, {}, true};
  stubpack::PutUtf16(node.value, value);
  stubpack::PutU16(node.value, 0);
  return node;
}

TestNode Table(const std::u16string& name, std::vector<TestNode> strings) {
  return TestNode{name, 1, 0, {}, std::move(strings), true};
}

Bytes Fixed(uint32_t signature = 0xFEEF04BD) {
  Bytes fixed;
  for (uint32_t field : {signature, 0x10000u, 0x00010002u, 0x00030004u, 0x00050006u, 0x00070008u,
                         0x3Fu, 0u, 4u, 1u, 0u, 0u, 0u})
    stubpack::PutU32(fixed, field);
  return fixed;
}

TestNode Translation(std::vector<uint16_t> pairs) {
  TestNode node{u"Translation", 0, static_cast<uint16_t>(2 * pairs.size()), {}, {}, true};
  for (uint16_t v : pairs) stubpack::PutU16(node.value, v);
  return node;
}

// The block of the table: two string tables, a Translation naming the second, an empty value
// stored as wValueLength 0 with no terminator, and a first String whose length stops two bytes
// short of the next 4-byte boundary (its padding is not counted).
TestNode GoodRoot(std::vector<TestNode> tables = {},
                  std::vector<uint16_t> translation = {0x0407, 0x04B0}) {
  if (tables.empty()) {
    TestNode empty{u"Comments", 1, 0, {}, {}, true};
    tables = {
        Table(u"040904b0", {Text(u"CompanyName", u"Acme"), empty, Text(u"ProductName", u"Widget")}),
        Table(u"040704B0", {Text(u"CompanyName", u"Acme GmbH")})};
  }
  TestNode root{u"VS_VERSION_INFO", 0, 52, Fixed(), {}, true};
  root.children.push_back(TestNode{u"StringFileInfo", 1, 0, {}, std::move(tables), true});
  if (!translation.empty())
    root.children.push_back(
        TestNode{u"VarFileInfo", 1, 0, {}, {Translation(std::move(translation))}, true});
  return root;
}

Bytes Serialised(const TestNode& root) {
  Bytes out;
  Write(root, out);
  return out;
}

// The offset of the node whose key is `key` (its first occurrence).
size_t NodeAt(const Bytes& block, const std::u16string& key) {
  Bytes pattern;
  stubpack::PutUtf16(pattern, key);
  stubpack::PutU16(pattern, 0);
  const auto found = std::search(block.begin(), block.end(), pattern.begin(), pattern.end());
  EXPECT_NE(found, block.end()) << "no node " << stubpack::Utf16ToUtf8(key);
  return static_cast<size_t>(found - block.begin()) - 6;
}

bool Read(const Bytes& block, VersionInfo& info, std::string& problem) {
  return stubpack::ReadVersionInfo(block.data(), block.size(), info, problem);
}

TEST(VersionReader, ReadsTheFixedPartTablesAndTranslation) {
  const Bytes block = Serialised(GoodRoot());
  ASSERT_EQ(stubpack::GetU16(&block[NodeAt(block, u"CompanyName")]) % 4, 2u)
      << "the fixture lost the String whose length leaves out its padding";
  VersionInfo info;
  std::string problem;
  ASSERT_TRUE(Read(block, info, problem)) << problem;
  ASSERT_TRUE(info.has_fixed);
  EXPECT_EQ(std::vector<uint16_t>(info.file_version, info.file_version + 4),
            (std::vector<uint16_t>{1, 2, 3, 4}));
  EXPECT_EQ(std::vector<uint16_t>(info.product_version, info.product_version + 4),
            (std::vector<uint16_t>{5, 6, 7, 8}));
  EXPECT_EQ(info.file_flags_mask, 0x3Fu);
  ASSERT_EQ(info.tables.size(), 2u);
  EXPECT_EQ(info.tables[0].name, "040904b0");
  std::vector<std::string> first;
  for (const stubpack::VersionString& s : info.tables[0].strings)
    first.push_back(s.key + "=" + s.value);
  EXPECT_EQ(first,
            (std::vector<std::string>{"CompanyName=Acme", "Comments=", "ProductName=Widget"}));
  EXPECT_EQ(info.translations, std::vector<uint32_t>{0x040704B0u});
}

struct Choice {
  const char* name;
  std::vector<std::u16string> tables;
  std::vector<uint16_t> translation;  // empty: no VarFileInfo
  const char* chosen;                 // null: none
};

void PrintTo(const Choice& c, std::ostream* out) { *out << c.name; }

class ChosenTable : public ::testing::TestWithParam<Choice> {};

TEST_P(ChosenTable, IsTheOneUsersSee) {
  const Choice& c = GetParam();
  std::vector<TestNode> tables;
  for (const std::u16string& name : c.tables)
    tables.push_back(Table(name, {Text(u"ProductName", name)}));
  TestNode root = GoodRoot({}, c.translation);
  root.children[0].children = tables;
  VersionInfo info;
  std::string problem;
  ASSERT_TRUE(Read(Serialised(root), info, problem)) << problem;
  const stubpack::VersionTable* table = stubpack::ChosenTable(info);
  if (c.chosen == nullptr) {
    EXPECT_EQ(table, nullptr);
  } else {
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->name, c.chosen);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChosenTable,
    ::testing::Values(
        Choice{
            "TranslationNamesTheSecond", {u"040904b0", u"040704b0"}, {0x0407, 0x04B0}, "040704b0"},
        Choice{"TranslationMatchesInAnyCase",
               {u"040904b0", u"040704B0"},
               {0x0407, 0x04B0},
               "040704B0"},
        Choice{"TranslationNamesAnAbsentTable",
               {u"040704b0", u"040904b0"},
               {0x040C, 0x04E4},
               "040904b0"},
        Choice{
            "AbsentTableAndNoUsEnglish", {u"040704b0", u"041104b0"}, {0x040C, 0x04E4}, "040704b0"},
        Choice{"NoTranslation", {u"040704b0", u"040904b0"}, {}, "040904b0"},
        Choice{"NoTable", {}, {0x0409, 0x04B0}, nullptr}),
    [](const ::testing::TestParamInfo<Choice>& info) { return std::string(info.param.name); });

TEST(VersionReader, RefusesEveryTruncationOnOneLine) {
  const Bytes block = Serialised(GoodRoot());
  for (size_t size = 0; size < block.size(); ++size) {
    VersionInfo info;
    std::string problem;
    EXPECT_FALSE(stubpack::ReadVersionInfo(block.data(), size, info, problem)) << size << " bytes";
    EXPECT_NE(problem.find("of the version block: "), std::string::npos) << problem;
    EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;
  }
}

struct Damage {
  const char* name;
  std::function<Bytes()> block;
  const char* message;
};

void PrintTo(const Damage& d, std::ostream* out) { *out << d.name; }

Bytes Patched(const std::u16string& key, size_t field, uint16_t value) {
  Bytes block = Serialised(GoodRoot());
  stubpack::SetU16(&block[NodeAt(block, key) + field], value);
  return block;
}

class DamagedBlock : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedBlock, IsRefusedOnOneLineNamingTheCause) {
  const Damage& d = GetParam();
  VersionInfo info;
  std::string problem;
  EXPECT_FALSE(Read(d.block(), info, problem));
  EXPECT_NE(problem.find(d.message), std::string::npos) << problem;
  EXPECT_EQ(problem.rfind("at byte ", 0), 0u) << problem;
  EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedBlock,
    ::testing::Values(
        Damage{"RootBeyondTheBlock",
               [] {
                 Bytes b = Serialised(GoodRoot());
                 stubpack::SetU16(&b[0], static_cast<uint32_t>(b.size() + 4));
                 return b;
               },
               "reaches beyond the block"},
        Damage{"StringBeyondItsTable", [] { return Patched(u"ProductName", 0, 0x200); },
               "reaches beyond \"040904b0\""},
        Damage{"TableBeyondStringFileInfo", [] { return Patched(u"040704B0", 0, 0x300); },
               "reaches beyond \"StringFileInfo\""},
        Damage{"OddLength", [] { return Patched(u"040904b0", 0, 0x41); }, "an odd length"},
        Damage{"ZeroLength", [] { return Patched(u"ProductName", 0, 0); },
               "shorter than its header"},
        Damage{"KeyWithoutTerminator",
               [] {
                 TestNode root = GoodRoot();
                 TestNode bare{u"Unended", 1, 0, {}, {}, false};
                 root.children[0].children[1].children.push_back(bare);
                 return Serialised(root);
               },
               "key has no terminator"},
        Damage{"ValueWithoutTerminator",
               [] {
                 TestNode root = GoodRoot();
                 TestNode text{u"Trademark", 1, 3, {}, {}, true};
                 stubpack::PutUtf16(text.value, u"TM!");
                 root.children[0].children[1].children.push_back(text);
                 return Serialised(root);
               },
               "the value of \"Trademark\" has no terminator"},
        Damage{"PaddingBeyondAlignment",
               [] {
                 // The last table counts four bytes beyond its aligned last String (and so do
                 // its parents): more than padding, too few for a node.
                 Bytes b = Serialised(GoodRoot());
                 const size_t at = NodeAt(b, u"040704B0");
                 const uint32_t length = stubpack::GetU16(&b[at]);
                 b.insert(b.begin() + at + length, 4, 0);
                 for (const size_t node : {at, NodeAt(b, u"StringFileInfo"), size_t{0}})
                   stubpack::SetU16(&b[node], stubpack::GetU16(&b[node]) + 4);
                 return b;
               },
               "too few for a node's header"},
        Damage{"FixedPartWithoutSignature",
               [] {
                 TestNode root = GoodRoot();
                 root.value = Fixed(0xFEEF04BC);
                 return Serialised(root);
               },
               "lacks its signature"},
        Damage{"FixedPartTooShort",
               [] {
                 TestNode root = GoodRoot();
                 root.value.resize(20);
                 root.value_length = 20;
                 return Serialised(root);
               },
               "the fixed part holds 20 bytes of the 52"},
        Damage{"HalfATranslation", [] { return Patched(u"Translation", 2, 2); }, "whole pairs"},
        Damage{"TranslationBeyondItsNode", [] { return Patched(u"Translation", 2, 8); },
               "whole pairs"},
        Damage{"RootOfAnotherName",
               [] {
                 TestNode root = GoodRoot();
                 root.key = u"VS_VERSION_INFX";
                 return Serialised(root);
               },
               "not VS_VERSION_INFO"},
        // Found by the fuzzer: the file's own key quoted in the message kept its line break.
        Damage{"RootNamedWithALineBreak",
               [] {
                 TestNode root = GoodRoot();
                 root.key = u"VS_VERSION_INFO\n\r";
                 return Serialised(root);
               },
               "the root is \"VS_VERSION_INFO\\u000A\\u000D\""},
        Damage{"UnendedValueOfAKeyWithALineBreak",
               [] {
                 TestNode root = GoodRoot();
                 TestNode text{u"Trade\nmark", 1, 3, {}, {}, true};
                 stubpack::PutUtf16(text.value, u"TM!");
                 root.children[0].children[1].children.push_back(text);
                 return Serialised(root);
               },
               "the value of \"Trade\\u000Amark\" has no terminator"}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

// --- The numbers that free text begins with. ---

struct Leading {
  const char* text;
  stubpack::LeadingNumbers result;
  std::vector<uint16_t> parts;
};

TEST(VersionNumbers, ComeFromTheTextsLeadingNumbers) {
  using stubpack::LeadingNumbers;
  const Leading cases[] = {
      {"2.3", LeadingNumbers::kRead, {2, 3, 0, 0}},
      {"1.2.3-beta", LeadingNumbers::kRead, {1, 2, 3, 0}},
      {"2026.1 (build 7)", LeadingNumbers::kRead, {2026, 1, 0, 0}},
      {"1.2.3.4", LeadingNumbers::kRead, {1, 2, 3, 4}},
      {"1.2.3.4.5", LeadingNumbers::kRead, {1, 2, 3, 4}},
      {"2.3.", LeadingNumbers::kRead, {2, 3, 0, 0}},
      {"1..2", LeadingNumbers::kRead, {1, 0, 0, 0}},
      {"007.65535", LeadingNumbers::kRead, {7, 65535, 0, 0}},
      {"v2", LeadingNumbers::kNone, {0, 0, 0, 0}},
      {"", LeadingNumbers::kNone, {0, 0, 0, 0}},
      {" 1.2", LeadingNumbers::kNone, {0, 0, 0, 0}},
      {"70000.1", LeadingNumbers::kTooLarge, {}},
      {"1.65536", LeadingNumbers::kTooLarge, {}},
      {"1.99999999999999999999", LeadingNumbers::kTooLarge, {}},
  };
  for (const Leading& c : cases) {
    uint16_t parts[4] = {9, 9, 9, 9};
    EXPECT_EQ(stubpack::ReadLeadingNumbers(c.text, parts), c.result) << c.text;
    if (c.result != LeadingNumbers::kTooLarge) {
      EXPECT_EQ(std::vector<uint16_t>(parts, parts + 4), c.parts) << c.text;
    }
  }
}

// --- Installers packed from setups with and without a version resource. ---

class VersionPacking : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(Stubpack())) << Stubpack();
    ASSERT_TRUE(fs::is_regular_file(wine_tests::WindowsBinDir() / "version-setup.exe"))
        << "build the windows preset first";
    in_ = MakeInputs(scratch_.Path() / "in");
  }

  static fs::path Program(const char* name) { return wine_tests::WindowsBinDir() / name; }

  // The block of `file` as wrestool extracts it.
  std::string RawBlock(const fs::path& file) {
    const fs::path out = scratch_.Path() / "extracted";
    fs::remove_all(out);
    fs::create_directories(out);
    const ProcessResult r = RunProcess(
        {"wrestool", "-x", "--raw", "--type=16", "-o", out.string() + "/", file.string()});
    EXPECT_EQ(r.exit_status, 0) << r.output;
    std::string bytes;
    for (const fs::directory_entry& e : fs::directory_iterator(out)) bytes = ReadText(e.path());
    return bytes;
  }

  struct Read {
    VersionInfo info;
    std::vector<std::pair<std::string, std::string>> strings;  // of the chosen table, in order
    std::string fixed;                                         // "FILE PRODUCT"
    std::string raw;
  };
  Read ReadBack(const fs::path& file) {
    Read r;
    r.raw = RawBlock(file);
    std::string problem;
    EXPECT_TRUE(stubpack::ReadVersionInfo(reinterpret_cast<const uint8_t*>(r.raw.data()),
                                          r.raw.size(), r.info, problem))
        << file << ": " << problem;
    if (const stubpack::VersionTable* t = stubpack::ChosenTable(r.info)) {
      for (const stubpack::VersionString& s : t->strings) r.strings.push_back({s.key, s.value});
    }
    r.fixed = stubpack::VersionText(r.info.file_version) + " " +
              stubpack::VersionText(r.info.product_version);
    return r;
  }

  ProcessResult PackWith(const fs::path& setup, const fs::path& output,
                         const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--archive",    in_.archive.string(), "--setup",
                                     setup.string(), "--output",           output.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return Pack(args);
  }

  ScratchDirectory scratch_;
  Inputs in_;
};

std::string Value(const std::vector<std::pair<std::string, std::string>>& strings,
                  const std::string& key) {
  for (const auto& [k, v] : strings) {
    if (k == key) return v;
  }
  return "(absent)";
}

std::string Utf16Bytes(const std::string& utf8) {
  std::u16string units;
  stubpack::Utf8ToUtf16(utf8, units);
  Bytes bytes;
  stubpack::PutUtf16(bytes, units);
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(VersionPacking, InstallerCarriesSetupsOwnStringsAndNumbers) {
  const fs::path installer = scratch_.Path() / "quill-installer.exe";
  const ProcessResult packed = PackWith(Program("version-setup.exe"), installer, {});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  EXPECT_EQ(packed.output.find("version resource"), std::string::npos) << packed.output;

  const Read setup = ReadBack(Program("version-setup.exe"));
  const Read out = ReadBack(installer);
  ASSERT_FALSE(setup.strings.empty());
  // Every non-empty string of setup's, but the two that name setup's own file.
  std::vector<std::pair<std::string, std::string>> expected;
  for (const auto& [key, value] : setup.strings) {
    if (!value.empty() && key != "InternalName" && key != "OriginalFilename")
      expected.push_back({key, value});
  }
  std::vector<std::pair<std::string, std::string>> carried;
  for (const auto& [key, value] : out.strings) {
    if (key != "InternalName" && key != "OriginalFilename") carried.push_back({key, value});
  }
  std::sort(expected.begin(), expected.end());
  std::sort(carried.begin(), carried.end());
  EXPECT_EQ(carried, expected);
  EXPECT_EQ(Value(out.strings, "InternalName"), "quill-installer");
  EXPECT_EQ(Value(out.strings, "OriginalFilename"), "quill-installer.exe");
  // The fixed numbers are setup's, not those its texts begin with.
  EXPECT_EQ(setup.fixed, "3.1.4.1 3.1.0.0");
  EXPECT_EQ(out.fixed, setup.fixed);
  // Seen without our reader: the copyright's UTF-16 bytes, the sign included.
  EXPECT_NE(
      out.raw.find(Utf16Bytes("Copyright \xC2\xA9 2026 Quillmoor Labs") + std::string(2, '\0')),
      std::string::npos);
  EXPECT_EQ(out.raw.find(Utf16Bytes("qsetup")), std::string::npos) << "setup's own name carried";

  // inspect prints the same strings in the block's order, and the fixed numbers.
  const ProcessResult inspected = RunProcess({Stubpack().string(), "inspect", installer.string()});
  ASSERT_EQ(inspected.exit_status, 0) << inspected.output;
  std::string printed;
  for (const auto& [key, value] : out.strings) printed += "  " + key + " = \"" + value + "\"\n";
  EXPECT_NE(inspected.output.find("version block, string table 040904b0:\n"
                                  "  fixed part: file version 3.1.4.1, product version 3.1.0.0\n" +
                                  printed),
            std::string::npos)
      << inspected.output;
}

struct Override {
  const char* name;
  std::vector<std::string> arguments;
  std::map<std::string, std::string> strings;  // "(absent)" for a key left out
  const char* fixed;                           // "FILE PRODUCT"
};

void PrintTo(const Override& o, std::ostream* out) { *out << o.name; }

class Overrides : public VersionPacking, public ::testing::WithParamInterface<Override> {};

TEST_P(Overrides, ReplaceSetupsTextAndOnlyTheNumbersOfAChangedText) {
  const Override& c = GetParam();
  const fs::path installer = scratch_.Path() / "installer.exe";
  const ProcessResult packed = PackWith(Program("version-setup.exe"), installer, c.arguments);
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  const Read out = ReadBack(installer);
  for (const auto& [key, value] : c.strings) EXPECT_EQ(Value(out.strings, key), value) << key;
  EXPECT_EQ(out.fixed, c.fixed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Overrides,
    ::testing::Values(Override{"CompanyName",
                               {"--company-name", "Other Company"},
                               {{"CompanyName", "Other Company"}, {"ProductName", "Quillmoor"}},
                               "3.1.4.1 3.1.0.0"},
                      Override{"ProductVersionAlone",
                               {"--product-version", "4.0-beta"},
                               {{"ProductVersion", "4.0-beta"}, {"FileVersion", "3.1.4-rc1"}},
                               "3.1.4.1 4.0.0.0"},
                      Override{"FileVersionAndItsNumbers",
                               {"--file-version", "5.6.7", "--file-version-number", "5.6.7.8"},
                               {{"FileVersion", "5.6.7"}, {"ProductVersion", "3.1 (build 59)"}},
                               "5.6.7.8 3.1.0.0"},
                      Override{"NumbersWithoutText",
                               {"--product-version-number", "9.8.7.6"},
                               {{"ProductVersion", "3.1 (build 59)"}},
                               "3.1.4.1 9.8.7.6"},
                      Override{"FileNames",
                               {"--internal-name", "quill", "--original-filename", "quill.exe"},
                               {{"InternalName", "quill"}, {"OriginalFilename", "quill.exe"}},
                               "3.1.4.1 3.1.0.0"},
                      Override{"LastOptionWins",
                               {"--product-name", "First", "--product-name", "Second"},
                               {{"ProductName", "Second"}},
                               "3.1.4.1 3.1.0.0"}),
    [](const ::testing::TestParamInfo<Override>& info) { return std::string(info.param.name); });

struct FreeText {
  const char* name;
  std::vector<std::string> arguments;
  int status;
  const char* fixed;         // "FILE PRODUCT" when packed
  const char* file_version;  // the FileVersion text when packed
  const char* message;       // in the output, or null for none expected
};

void PrintTo(const FreeText& f, std::ostream* out) { *out << f.name; }

class FreeTextVersion : public VersionPacking, public ::testing::WithParamInterface<FreeText> {};

TEST_P(FreeTextVersion, GivesTheFixedPartItsLeadingNumbers) {
  const FreeText& c = GetParam();
  const fs::path installer = scratch_.Path() / "installer.exe";
  const ProcessResult packed = PackWith(in_.setup, installer, c.arguments);
  ASSERT_EQ(packed.exit_status, c.status) << packed.output;
  if (c.message != nullptr) {
    EXPECT_NE(packed.output.find(c.message), std::string::npos) << packed.output;
  }
  if (c.status != 0) {
    EXPECT_FALSE(fs::exists(installer));
    return;
  }
  const Read out = ReadBack(installer);
  EXPECT_EQ(out.fixed, c.fixed);
  EXPECT_EQ(Value(out.strings, "FileVersion"), c.file_version);
  if (c.message == nullptr) {
    EXPECT_EQ(packed.output.find("begins with no number"), std::string::npos) << packed.output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FreeTextVersion,
    ::testing::Values(
        FreeText{"TwoNumbers", {"--product-version", "2.3"}, 0, "2.3.0.0 2.3.0.0", "2.3", nullptr},
        FreeText{"Beta",
                 {"--product-version", "1.2.3-beta"},
                 0,
                 "1.2.3.0 1.2.3.0",
                 "1.2.3-beta",
                 nullptr},
        FreeText{"Build",
                 {"--product-version", "2026.1 (build 7)"},
                 0,
                 "2026.1.0.0 2026.1.0.0",
                 "2026.1 (build 7)",
                 nullptr},
        FreeText{"NoLeadingNumber",
                 {"--product-version", "v2"},
                 0,
                 "0.0.0.0 0.0.0.0",
                 "v2",
                 "warning: --product-version \"v2\" begins with no number"},
        FreeText{"FileVersionOfItsOwn",
                 {"--product-version", "2.3", "--file-version", "2.3.1 hotfix"},
                 0,
                 "2.3.1.0 2.3.0.0",
                 "2.3.1 hotfix",
                 nullptr},
        FreeText{"FileFollowsTheProductsNumbers",
                 {"--product-version", "2", "--product-version-number", "2.0.0.9"},
                 0,
                 "2.0.0.9 2.0.0.9",
                 "2",
                 nullptr},
        FreeText{"NumberBeyond65535",
                 {"--product-version", "70000.1"},
                 1,
                 "",
                 "",
                 "--product-version \"70000.1\": a number beyond 65535"},
        FreeText{"FileNumberBeyond65535",
                 {"--product-version", "1", "--file-version", "1.65536"},
                 1,
                 "",
                 "",
                 "--file-version \"1.65536\": a number beyond 65535"},
        FreeText{"NumberOptionOfTwo",
                 {"--product-version-number", "1.2"},
                 2,
                 "",
                 "",
                 "--product-version-number takes four numbers"},
        FreeText{"NumberOptionOfFive",
                 {"--file-version-number", "1.2.3.4.5"},
                 2,
                 "",
                 "",
                 "--file-version-number takes four numbers"},
        FreeText{"NumberOptionOfText",
                 {"--file-version-number", "1.2.3.x"},
                 2,
                 "",
                 "",
                 "--file-version-number takes four numbers"}),
    [](const ::testing::TestParamInfo<FreeText>& info) { return std::string(info.param.name); });

TEST_F(VersionPacking, SetupWithoutVersionResourceGivesNoDemoNames) {
  const fs::path installer = scratch_.Path() / "installer.exe";
  const ProcessResult packed = PackWith(in_.setup, installer, {});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  EXPECT_NE(packed.output.find("warning: " + in_.setup.string() +
                               ": has no version resource: the installer's version block leaves "
                               "out ProductName, CompanyName, ProductVersion, FileVersion, "
                               "LegalCopyright"),
            std::string::npos)
      << packed.output;
  const Read out = ReadBack(installer);
  for (const char* name : {"Zarnith", "Nimbet", "nimbet", "zarnith"}) {
    EXPECT_EQ(out.raw.find(Utf16Bytes(name)), std::string::npos) << name;
    EXPECT_EQ(out.raw.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(out.strings, (std::vector<std::pair<std::string, std::string>>{
                             {"FileDescription", "Installer"},
                             {"InternalName", "installer"},
                             {"OriginalFilename", "installer.exe"}}));
  EXPECT_EQ(out.fixed, "0.0.0.0 0.0.0.0");

  // The options given, the warning names only what is still left out.
  const ProcessResult named =
      PackWith(in_.setup, installer,
               {"--product-name", "MyApp", "--company-name", "Me", "--product-version", "1"});
  ASSERT_EQ(named.exit_status, 0) << named.output;
  EXPECT_NE(named.output.find("leaves out LegalCopyright (options: --legal-copyright)"),
            std::string::npos)
      << named.output;
}

TEST_F(VersionPacking, DemoInstallerIsNamedAsBefore) {
  const fs::path installer = scratch_.Path() / "installer.exe";
  const ProcessResult packed = PackWith(Program("demo-setup.exe"), installer, {});
  ASSERT_EQ(packed.exit_status, 0) << packed.output;
  const Read out = ReadBack(installer);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"CompanyName", "Zarnith"},
      {"FileDescription", "Nimbet Installer"},
      {"FileVersion", "1.0.0.0"},
      {"InternalName", "installer"},
      {"LegalCopyright", "Copyright 2026 Zarnith. All rights reserved."},
      {"OriginalFilename", "installer.exe"},
      {"ProductName", "Nimbet"},
      {"ProductVersion", "1.0.0.0"},
      {"CompanyShortName", "Zarnith"},
      {"ProductShortName", "Nimbet"},
      {"SourceRevision", "unknown"},
      {"Official Build", "0"}};
  EXPECT_EQ(out.strings, expected);
  EXPECT_EQ(out.fixed, "1.0.0.0 1.0.0.0");
}

}  // namespace
}  // namespace packer_tests
