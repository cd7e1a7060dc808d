#include "stub/stub_config.h"

#include <vector>

#include "tests/host/emulated_test.h"

namespace {

const std::u16string kKey = u"Software\\Zarnith";
const std::u16string kValue = u"NimbetInstallerCleanup";

class StubConfigTest : public EmulatedTest {};

struct RegistryCase {
  const char* name;
  HKEY root;  // null: no key at all
  bool value_present;
  DWORD type;
  std::vector<uint8_t> data;
  bool remove_after_run;
};

TEST_F(StubConfigTest, OnlyAOneCharacterZeroOfTypeStringKeepsTheFiles) {
  const std::vector<RegistryCase> cases = {
      {"zero with terminator", HKEY_CURRENT_USER, true, REG_SZ, emu::Utf16Bytes(u"0", true), false},
      {"zero without terminator", HKEY_CURRENT_USER, true, REG_SZ, emu::Utf16Bytes(u"0", false),
       false},
      {"zero and an odd byte", HKEY_CURRENT_USER, true, REG_SZ, {'0', 0, 7}, false},
      {"two zeros", HKEY_CURRENT_USER, true, REG_SZ, emu::Utf16Bytes(u"00", true), true},
      {"two zeros without terminator", HKEY_CURRENT_USER, true, REG_SZ,
       emu::Utf16Bytes(u"00", false), true},
      {"zero and a space", HKEY_CURRENT_USER, true, REG_SZ, emu::Utf16Bytes(u"0 ", true), true},
      {"one", HKEY_CURRENT_USER, true, REG_SZ, emu::Utf16Bytes(u"1", true), true},
      {"empty text", HKEY_CURRENT_USER, true, REG_SZ, emu::Utf16Bytes(u"", true), true},
      {"no data", HKEY_CURRENT_USER, true, REG_SZ, {}, true},
      {"expandable zero", HKEY_CURRENT_USER, true, REG_EXPAND_SZ, emu::Utf16Bytes(u"0", true),
       true},
      {"multi-string zero", HKEY_CURRENT_USER, true, REG_MULTI_SZ, {'0', 0, 0, 0, 0, 0}, true},
      {"dword zero", HKEY_CURRENT_USER, true, REG_DWORD, {0, 0, 0, 0}, true},
      {"key without the value", HKEY_CURRENT_USER, false, REG_NONE, {}, true},
      {"no key", nullptr, false, REG_NONE, {}, true},
      {"zero only under the machine hive", HKEY_LOCAL_MACHINE, true, REG_SZ,
       emu::Utf16Bytes(u"0", true), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    if (c.root != nullptr) emu::CreateRegistryKey(c.root, kKey);
    if (c.value_present) emu::SetRegistryValue(c.root, kKey, kValue, c.type, c.data);
    StubConfig config;
    ASSERT_TRUE(config.Load());
    EXPECT_EQ(config.remove_after_run, c.remove_after_run);
    config.Reset();
    EXPECT_EQ(emu::OpenHandles(), 0u) << "the key stays open";
  }
}

TEST_F(StubConfigTest, ReadsTheRegistryBeforeTheCommandLineAndAsksForQueryAccessOnly) {
  emu::SetCommandLine(u"stub.exe --cleanup");
  StubConfig config;
  ASSERT_TRUE(config.Load());
  const auto& calls = emu::Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].op, emu::Op::RegOpenKeyExW);
  EXPECT_EQ(calls[0].text, kKey);
  EXPECT_EQ(calls[0].detail, static_cast<DWORD>(KEY_QUERY_VALUE));
  EXPECT_EQ(emu::CallCount(emu::Op::CommandLineToArgvW), 1u);
  EXPECT_TRUE(config.unsupported_switch_present);
}

TEST_F(StubConfigTest, SwitchesMatchWholeArgumentsAfterTheProgramIgnoringCase) {
  const struct {
    const char16_t* command_line;
    int argument_count;
    bool unsupported;
  } cases[] = {
      {u"\"C:\\Installer\\stub.exe\"", 1, false},
      {u"\"C:\\Installer\\stub.exe\" --cleanup", 2, true},
      {u"\"C:\\Installer\\stub.exe\" --CLEANUP", 2, true},
      {u"\"C:\\Installer\\stub.exe\" /quiet --Nimbet-Frame", 3, true},
      {u"\"C:\\Installer\\stub.exe\" --cleanup --nimbet-frame", 3, true},
      {u"\"C:\\Installer\\stub.exe\" \"--cleanup\"", 2, true},
      {u"\"C:\\Installer\\stub.exe\" --cleanup=1", 2, false},
      {u"\"C:\\Installer\\stub.exe\" --cleanupx -cleanup", 3, false},
      {u"\"C:\\Installer\\stub.exe\" \"--cleanup now\"", 2, false},
      {u"--cleanup", 1, false},  // the program's own path is never compared
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.command_line));
    emu::SetCommandLine(c.command_line);
    StubConfig config;
    ASSERT_TRUE(config.Load());
    EXPECT_EQ(config.argument_count, c.argument_count);
    EXPECT_EQ(config.unsupported_switch_present, c.unsupported);
    EXPECT_EQ(config.command_line, GetCommandLineW());
  }
}

TEST_F(StubConfigTest, ASplitThatFailsLeavesTheConfigurationHalfInitialised) {
  emu::CreateRegistryKey(HKEY_CURRENT_USER, kKey);
  emu::SetRegistryValue(HKEY_CURRENT_USER, kKey, kValue, REG_SZ, emu::Utf16Bytes(u"0", true));
  emu::InjectFault({emu::Op::CommandLineToArgvW, 1, false, ERROR_NOT_ENOUGH_MEMORY});
  StubConfig config;
  EXPECT_FALSE(config.Load());
  EXPECT_FALSE(config.remove_after_run) << "the registry value is read before the split";
  EXPECT_EQ(config.command_line, GetCommandLineW());
  EXPECT_FALSE(config.argument_list.IsValid());
  EXPECT_FALSE(config.unsupported_switch_present);
}

TEST_F(StubConfigTest, ResetReleasesTheArgumentsAndRestoresTheDefaults) {
  emu::SetCommandLine(u"stub.exe a --cleanup");
  emu::CreateRegistryKey(HKEY_CURRENT_USER, kKey);
  emu::SetRegistryValue(HKEY_CURRENT_USER, kKey, kValue, REG_SZ, emu::Utf16Bytes(u"0", true));
  StubConfig config;
  ASSERT_TRUE(config.Load());
  ASSERT_TRUE(config.Load()) << "a second Load releases the first argument array";
  EXPECT_EQ(emu::LocalBlocks(), 1u);
  config.Reset();
  EXPECT_EQ(emu::LocalBlocks(), 0u);
  EXPECT_FALSE(config.argument_list.IsValid());
  EXPECT_EQ(config.command_line, nullptr);
  EXPECT_EQ(config.argument_count, 0);
  EXPECT_FALSE(config.unsupported_switch_present);
  EXPECT_TRUE(config.remove_after_run);
}

TEST_F(StubConfigTest, ARegistryStringThatFillsTheBufferHasNoRoomForItsTerminator) {
  emu::CreateRegistryKey(HKEY_CURRENT_USER, kKey);
  const struct {
    const char16_t* text;
    bool with_terminator;
    bool ok;
    const char16_t* read;
  } cases[] = {
      {u"ab", true, true, u"ab"},   // 6 bytes into capacity 3
      {u"ab", false, true, u"ab"},  // 4 bytes: terminator added at unit 2
      {u"abc", false, false, u""},  // 6 bytes fill all three units
      {u"abc", true, false, u""},   // 8 bytes do not fit at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.text));
    emu::SetRegistryValue(HKEY_CURRENT_USER, kKey, u"V", REG_SZ,
                          emu::Utf16Bytes(c.text, c.with_terminator));
    WCHAR buffer[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kKey.c_str(), u"V", buffer, 3), c.ok);
    if (c.ok) {
      EXPECT_EQ(std::u16string(buffer), c.read);
    }
    EXPECT_EQ(buffer[3], u'x') << "written past the capacity";
  }
}

// Every type the registry knows, and some it does not, at sizes from nothing to a megabyte, each
// holding "0" and zeros: only a REG_SZ whose data fits two units keeps the files, and no read
// writes past the buffer it was given.
TEST_F(StubConfigTest, EveryTypeAndSizeOfTheValueIsReadSafely) {
  const DWORD types[] = {REG_NONE,
                         REG_SZ,
                         REG_EXPAND_SZ,
                         REG_BINARY,
                         REG_DWORD,
                         5,  // REG_DWORD_BIG_ENDIAN
                         6,  // REG_LINK
                         REG_MULTI_SZ,
                         8,   // REG_RESOURCE_LIST
                         9,   // REG_FULL_RESOURCE_DESCRIPTOR
                         10,  // REG_RESOURCE_REQUIREMENTS_LIST
                         11,  // REG_QWORD
                         12,
                         0xFFFF,
                         0x7FFFFFFF,
                         0xFFFFFFFF};
  const size_t sizes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 260, 65535, 65536, 1 << 20};
  for (const DWORD type : types) {
    for (const size_t size : sizes) {
      SCOPED_TRACE("type " + std::to_string(type) + ", " + std::to_string(size) + " bytes");
      emu::Reset();
      std::vector<uint8_t> data(size, 0);
      if (size > 0) data[0] = '0';
      emu::SetRegistryValue(HKEY_CURRENT_USER, kKey, kValue, type, data);
      StubConfig config;
      ASSERT_TRUE(config.Load());
      const bool keeps = type == REG_SZ && size >= 2 && size <= 4;
      EXPECT_EQ(config.remove_after_run, !keeps);
      config.Reset();

      WCHAR buffer[2 + 8];
      for (WCHAR& unit : buffer) unit = u'x';
      const bool ok =
          ReadRegistryString(HKEY_CURRENT_USER, kKey.c_str(), kValue.c_str(), buffer, 2);
      EXPECT_EQ(ok, type == REG_SZ && size <= 4);
      if (ok) {
        EXPECT_EQ(std::u16string(buffer), size < 2 ? u"" : u"0");
      }
      for (size_t i = 2; i < sizeof(buffer) / sizeof(buffer[0]); ++i) {
        EXPECT_EQ(buffer[i], u'x') << "written past the capacity at unit " << i;
      }
      EXPECT_EQ(emu::OpenHandles(), 0u) << "the key stays open";
    }
  }
}

}  // namespace
