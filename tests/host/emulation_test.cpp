// The emulation itself, where a wrong stand-in would let a stub bug pass: module path,
// command-line splitting, registry, token, SDDL, volumes, NT delete semantics, sharing, resources,
// faults and what the call records tell, the success marker and the virtual clock.
#include <functional>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/emulated/world.h"
#include "platform/win32.h"
#include "tests/host/emulated_test.h"

namespace {

// --- module and command line -----------------------------------------------------------------

using EmulatedModule = EmulatedTest;

TEST_F(EmulatedModule, FileNameFitsOrIsCutShortWithATerminator) {
  const std::u16string path = u"C:\\Installer\\stub.exe";  // 21 units
  struct Case {
    DWORD size;
    bool fits;
  };
  const std::vector<Case> cases = {{260, true}, {22, true}, {21, false}, {20, false}, {1, false}};
  for (const Case& c : cases) {
    for (HMODULE module : {static_cast<HMODULE>(nullptr), emu::Image()}) {
      SCOPED_TRACE(testing::Message() << "size " << c.size << (module ? ", own handle" : ", null"));
      emu::SetImage(emu::Image(), path);
      std::vector<WCHAR> buffer(c.size + 4, 0xBEEF);
      SetLastError(0);
      const DWORD result = GetModuleFileNameW(module, buffer.data(), c.size);
      if (c.fits) {
        EXPECT_EQ(result, path.size());
        EXPECT_EQ(std::u16string(buffer.data()), path);
      } else {
        EXPECT_EQ(result, c.size);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(std::u16string(buffer.data(), c.size - 1), path.substr(0, c.size - 1));
        EXPECT_EQ(buffer[c.size - 1], 0) << "cut short without a terminator";
      }
      for (size_t i = c.size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xBEEF) << "unit " << i;
    }
  }
}

TEST_F(EmulatedModule, HandleAndNameBelongToTheImage) {
  EXPECT_EQ(GetModuleHandleW(nullptr), emu::Image());
  const HMODULE other = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FF600000000));
  emu::SetImage(other, u"D:\\Elsewhere\\stub.exe");
  EXPECT_EQ(GetModuleHandleW(nullptr), other);
  WCHAR buffer[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameW(other, buffer, MAX_PATH), 21u);
  EXPECT_EQ(std::u16string(buffer), u"D:\\Elsewhere\\stub.exe");
  // A module handle that is not the image names no module.
  const HMODULE stranger = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x180000000));
  EXPECT_EQ(GetModuleFileNameW(stranger, buffer, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

using EmulatedCommandLine = EmulatedTest;

TEST_F(EmulatedCommandLine, SplitsAsWindowsDoes) {
  struct Case {
    const char* name;
    std::u16string line;
    std::vector<std::u16string> arguments;
  };
  const std::vector<Case> cases = {
      {"quoted program path with a blank",
       u"\"C:\\Program Files\\stub.exe\" a",
       {u"C:\\Program Files\\stub.exe", u"a"}},
      {"unquoted program path",
       u"C:\\Installer\\stub.exe a b",
       {u"C:\\Installer\\stub.exe", u"a", u"b"}},
      {"unquoted program path ends at a tab", u"C:\\stub.exe\targ", {u"C:\\stub.exe", u"arg"}},
      {"no escapes in the quoted program path", u"\"C:\\dir\\\" next", {u"C:\\dir\\", u"next"}},
      {"program path only", u"\"C:\\Installer\\stub.exe\"", {u"C:\\Installer\\stub.exe"}},
      {"blanks and tabs between, trailing blanks",
       u"stub.exe  a \t b\t\tc  ",
       {u"stub.exe", u"a", u"b", u"c"}},
      {"quoted arguments keep blanks and tabs",
       u"stub.exe \"a b\" \"c\td\"",
       {u"stub.exe", u"a b", u"c\td"}},
      {"quotes inside an argument", u"stub.exe a\"b c\"d", {u"stub.exe", u"ab cd"}},
      {"unterminated quote runs to the end", u"stub.exe \"a b", {u"stub.exe", u"a b"}},
      {"2 backslashes and a quote", u"stub.exe a\\\\\"b c\"", {u"stub.exe", u"a\\b c"}},
      {"4 backslashes and a quote", u"stub.exe a\\\\\\\\\"b\"", {u"stub.exe", u"a\\\\b"}},
      {"quoted directory with a trailing backslash",
       u"stub.exe \"C:\\dir\\\\\" x",
       {u"stub.exe", u"C:\\dir\\", u"x"}},
      {"1 backslash and a quote", u"stub.exe a\\\"b", {u"stub.exe", u"a\"b"}},
      {"3 backslashes and a quote", u"stub.exe a\\\\\\\"b", {u"stub.exe", u"a\\\"b"}},
      {"escaped quote inside quotes", u"stub.exe \"a\\\"b c\"", {u"stub.exe", u"a\"b c"}},
      {"backslashes not before a quote",
       u"stub.exe C:\\dir\\\\sub\\ x\\\\",
       {u"stub.exe", u"C:\\dir\\\\sub\\", u"x\\\\"}},
      {"empty quoted argument", u"stub.exe \"\" b", {u"stub.exe", u"", u"b"}},
      {"empty quoted argument last", u"stub.exe a \"\"", {u"stub.exe", u"a", u""}},
      {"switches",
       u"\"C:\\Installer\\stub.exe\" --CLEANUP /S",
       {u"C:\\Installer\\stub.exe", u"--CLEANUP", u"/S"}},
      {"empty command line gives the image path", u"", {u"C:\\Installer\\stub.exe"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int count = -1;
    LPWSTR* arguments = CommandLineToArgvW(c.line.c_str(), &count);
    ASSERT_NE(arguments, nullptr);
    ASSERT_EQ(count, static_cast<int>(c.arguments.size()));
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(std::u16string(arguments[i]), c.arguments[i]) << "argument " << i;
    }
    // The array and its texts are one block, released by one LocalFree.
    EXPECT_EQ(emu::LocalBlocks(), 1u);
    EXPECT_EQ(LocalFree(arguments), nullptr);
    EXPECT_EQ(emu::LocalBlocks(), 0u);
  }
}

TEST_F(EmulatedCommandLine, EmptyLineFollowsTheImagePath) {
  emu::SetImage(emu::Image(), u"E:\\Other Place\\setup stub.exe");
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(u"", &count);
  ASSERT_NE(arguments, nullptr);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(std::u16string(arguments[0]), u"E:\\Other Place\\setup stub.exe");
  LocalFree(arguments);
}

TEST_F(EmulatedCommandLine, InjectedFailureGivesNullAndAllocatesNothing) {
  emu::InjectFault({emu::Op::CommandLineToArgvW, 1, false, ERROR_NOT_ENOUGH_MEMORY});
  int count = 0;
  EXPECT_EQ(CommandLineToArgvW(u"stub.exe a", &count), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(emu::LocalBlocks(), 0u);
  LPWSTR* arguments = CommandLineToArgvW(u"stub.exe a", &count);  // the fault was once only
  ASSERT_NE(arguments, nullptr);
  EXPECT_EQ(count, 2);
  LocalFree(arguments);
}

// Windows refuses a null line (Wine crashes on it): nothing is handed out.
TEST_F(EmulatedCommandLine, NullLineFailsAndAllocatesNothing) {
  int count = -1;
  EXPECT_EQ(CommandLineToArgvW(nullptr, &count), nullptr);
  EXPECT_NE(GetLastError(), emu::kSuccessMarker);
  EXPECT_EQ(emu::LocalBlocks(), 0u);
}

TEST_F(EmulatedCommandLine, CompareIgnoresCase) {
  struct Case {
    std::u16string left, right;
    bool equal;
  };
  const std::vector<Case> cases = {
      {u"--cleanup", u"--CLEANUP", true},         {u"--Nimbet-Frame", u"--nimbet-frame", true},
      {u"--cleanup", u"--cleanup", true},         {u"", u"", true},
      {u"\u00C9t\u00C9", u"\u00E9T\u00E9", true}, {u"--cleanup=1", u"--cleanup", false},
      {u"--cleanu", u"--cleanup", false},         {u"", u"a", false},
      {u"--nimbet-frame", u"--cleanup", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.left) + " / " + Show(c.right));
    EXPECT_EQ(lstrcmpiW(c.left.c_str(), c.right.c_str()) == 0, c.equal);
    EXPECT_EQ(lstrcmpiW(c.right.c_str(), c.left.c_str()) == 0, c.equal);
  }
}

// --- registry --------------------------------------------------------------------------------

const std::u16string kKey = u"Software\\Zarnith";
const std::u16string kValue = u"NimbetInstallerCleanup";

using EmulatedRegistry = EmulatedTest;

TEST_F(EmulatedRegistry, ReportsTypeAndExactByteCount) {
  struct Case {
    const char* name;
    DWORD type;
    std::vector<uint8_t> data;
  };
  const std::vector<Case> cases = {
      {"zero with terminator", REG_SZ, emu::Utf16Bytes(u"0", true)},
      {"zero without terminator", REG_SZ, emu::Utf16Bytes(u"0", false)},
      {"empty text with terminator", REG_SZ, emu::Utf16Bytes(u"", true)},
      {"no data at all", REG_SZ, {}},
      {"odd byte count", REG_SZ, {0x30, 0x00, 0x31}},
      {"expandable text", REG_EXPAND_SZ, emu::Utf16Bytes(u"0", true)},
      {"number", REG_DWORD, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    emu::SetRegistryValue(HKEY_CURRENT_USER, kKey, kValue, c.type, c.data);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey.c_str(), 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(emu::OpenHandles(), 1u);

    DWORD type = 0xFFFF, size = 0xFFFF;
    EXPECT_EQ(RegQueryValueExW(key, kValue.c_str(), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, c.data.size()) << "size asked without a buffer";

    std::vector<uint8_t> buffer(16, 0xEE);
    type = 0xFFFF;
    size = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(RegQueryValueExW(key, kValue.c_str(), nullptr, &type, buffer.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.data.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + c.data.size()), c.data);

    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(emu::OpenHandles(), 0u);
  }
}

TEST_F(EmulatedRegistry, TooSmallABufferGivesMoreDataAndTheSizeNeeded) {
  emu::SetRegistryValue(HKEY_CURRENT_USER, kKey, kValue, REG_SZ, emu::Utf16Bytes(u"00", true));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey.c_str(), 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  WCHAR buffer[2] = {0, 0};
  DWORD type = 0, size = sizeof(buffer);
  EXPECT_EQ(RegQueryValueExW(key, kValue.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(buffer),
                             &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(EmulatedRegistry, NamesAreCaseInsensitive) {
  emu::SetRegistryValue(HKEY_CURRENT_USER, kKey, kValue, REG_SZ, emu::Utf16Bytes(u"0", true));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\zarnith", 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  DWORD type = 0, size = 8;
  BYTE data[8];
  EXPECT_EQ(RegQueryValueExW(key, u"nimbetinstallercleanup", nullptr, &type, data, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  RegCloseKey(key);
}

TEST_F(EmulatedRegistry, MissingKeysAndValuesAreNotFound) {
  // Under HKEY_LOCAL_MACHINE only: the current user's hive does not see it.
  emu::SetRegistryValue(HKEY_LOCAL_MACHINE, kKey, kValue, REG_SZ, emu::Utf16Bytes(u"0", true));
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey.c_str(), 0, KEY_QUERY_VALUE, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(emu::OpenHandles(), 0u);

  // The key under the current user, with another value only.
  emu::SetRegistryValue(HKEY_CURRENT_USER, kKey, u"Other", REG_SZ, emu::Utf16Bytes(u"0", true));
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey.c_str(), 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  DWORD type = 0, size = 8;
  BYTE data[8];
  EXPECT_EQ(RegQueryValueExW(key, kValue.c_str(), nullptr, &type, data, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Elsewhere", 0, KEY_QUERY_VALUE, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(emu::OpenHandles(), 0u);
}

// --- token -----------------------------------------------------------------------------------

using EmulatedToken = EmulatedTest;

// The SID of TokenOwner or TokenUser as text, through the two-call pattern the stub uses.
void TokenSidText(TOKEN_INFORMATION_CLASS which, std::u16string& text) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD size = 0;
  SetLastError(0);
  EXPECT_FALSE(GetTokenInformation(token, which, nullptr, 0, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(size, sizeof(PSID));
  void* block = LocalAlloc(LMEM_ZEROINIT, size);
  ASSERT_NE(block, nullptr);
  DWORD got = 0;
  EXPECT_FALSE(GetTokenInformation(token, which, block, size - 1, &got)) << "one byte short";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(GetTokenInformation(token, which, block, size, &got));
  const PSID sid = which == TokenOwner ? static_cast<TOKEN_OWNER*>(block)->Owner
                                       : static_cast<TOKEN_USER*>(block)->User.Sid;
  LPWSTR converted = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidW(sid, &converted));
  text = converted ? std::u16string(converted) : std::u16string();
  LocalFree(converted);
  LocalFree(block);
  EXPECT_TRUE(CloseHandle(token));
}

TEST_F(EmulatedToken, OwnerAndUserConvertToTheirOwnTexts) {
  struct Case {
    std::u16string user, owner;
  };
  const std::vector<Case> cases = {
      {u"S-1-5-21-1004336348-1177238915-682003330-1000",
       u"S-1-5-21-1004336348-1177238915-682003330-513"},
      {u"S-1-5-21-1-2-3-1001", u"S-1-5-32-544"},
      {u"S-1-5-21-4294967295-0-7-500", u"S-1-5-18"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.owner));
    emu::SetToken(c.user, c.owner);
    std::u16string owner, user;
    TokenSidText(TokenOwner, owner);
    TokenSidText(TokenUser, user);
    EXPECT_EQ(owner, c.owner);
    EXPECT_EQ(user, c.user);
  }
}

TEST_F(EmulatedToken, FreshTokenOwnerDiffersFromItsUser) {
  std::u16string owner, user;
  TokenSidText(TokenOwner, owner);
  TokenSidText(TokenUser, user);
  EXPECT_FALSE(owner.empty());
  EXPECT_NE(owner, user);
}

TEST_F(EmulatedToken, OwnerTextCanBeReplaced) {
  std::u16string user_before;
  TokenSidText(TokenUser, user_before);
  const std::u16string replaced = u"S-1-5-21-" + std::u16string(250, u'7');
  emu::SetOwnerSidText(replaced);
  std::u16string owner, user;
  TokenSidText(TokenOwner, owner);
  TokenSidText(TokenUser, user);
  EXPECT_EQ(owner, replaced);
  EXPECT_EQ(user, user_before);
}

// --- security descriptors and volumes --------------------------------------------------------

const std::u16string kOwner = u"S-1-5-21-1004336348-1177238915-682003330-513";

using EmulatedSecurity = EmulatedTest;

TEST_F(EmulatedSecurity, DescriptorRoundTripsThroughANewDirectoryCanonicalised) {
  struct Case {
    const char* name;
    std::u16string text;
    std::u16string read_back;
  };
  const std::vector<Case> cases = {
      {"work directory list",
       u"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;"
       u";;" +
           kOwner + u")",
       u"D:PAI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)(A;OICIIO;GA;;;CO)(A;;FA;"
       u";;" +
           kOwner + u")"},
      {"container before object", u"D:(A;CIOI;FA;;;SY)", u"D:(A;OICI;FA;;;SY)"},
      {"inherit-only first", u"D:(A;IOCIOI;GA;;;BA)", u"D:(A;OICIIO;GA;;;BA)"},
      {"already canonical", u"D:P(A;OICI;FA;;;BA)", u"D:P(A;OICI;FA;;;BA)"},
  };
  ASSERT_TRUE(emu::MakeDirectory(u"C:\\Installer"));
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        c.text.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(emu::LocalBlocks(), 1u);
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    const std::u16string path = u"C:\\Installer\\VQ_0000" + std::u16string(1, u'0' + n++) + u".tmp";
    EXPECT_TRUE(CreateDirectoryW(path.c_str(), &attributes));
    EXPECT_EQ(emu::SecurityText(path), c.read_back);
    LocalFree(descriptor);
  }
  // Without attributes the directory takes its parent's default: no list of its own.
  EXPECT_TRUE(CreateDirectoryW(u"C:\\Installer\\plain", nullptr));
  EXPECT_EQ(emu::SecurityText(u"C:\\Installer\\plain"), u"");
}

TEST_F(EmulatedSecurity, MalformedTextsAreRefused) {
  const std::vector<std::u16string> texts = {
      u"D:(A;;FA;;;BA", u"D:(Q;;FA;;;BA)",      u"D:(A;XX;FA;;;BA)",
      u"D:(A;;FA;;BA)", u"D:(A;;FA;;;NOTASID)", u"X:(A;;FA;;;BA)",
  };
  for (const std::u16string& text : texts) {
    SCOPED_TRACE(Show(text));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SetLastError(0);
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                      &descriptor, nullptr));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_NE(GetLastError(), emu::kSuccessMarker);
    EXPECT_EQ(emu::LocalBlocks(), 0u);
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:(A;;FA;;;BA)", 2,
                                                                    &descriptor, nullptr));
  EXPECT_EQ(emu::LocalBlocks(), 0u);
}

TEST_F(EmulatedSecurity, OnlyVolumesWithAccessListsKeepThem) {
  emu::AddVolume(u'D', false);
  ASSERT_TRUE(emu::MakeDirectory(u"C:\\Installer"));
  ASSERT_TRUE(emu::MakeDirectory(u"D:\\Installer"));
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      u"D:P(A;;FA;;;SY)", SDDL_REVISION_1, &descriptor, nullptr));
  SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  struct Case {
    char16_t drive;
    bool keeps;
  };
  for (const Case c : {Case{u'C', true}, Case{u'D', false}}) {
    SCOPED_TRACE(static_cast<char>(c.drive));
    const std::u16string base = std::u16string(1, c.drive) + u":\\Installer\\";
    WCHAR root[MAX_PATH];
    ASSERT_TRUE(GetVolumePathNameW(base.c_str(), root, MAX_PATH));
    EXPECT_EQ(std::u16string(root), std::u16string(1, c.drive) + u":\\");
    DWORD flags = 0;
    ASSERT_TRUE(GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0));
    EXPECT_EQ((flags & FILE_PERSISTENT_ACLS) != 0, c.keeps);
    EXPECT_TRUE(CreateDirectoryW((base + u"work").c_str(), &attributes));
    EXPECT_EQ(emu::SecurityText(base + u"work"), c.keeps ? u"D:P(A;;FA;;;SY)" : u"");
  }
  LocalFree(descriptor);
}

// --- file system -----------------------------------------------------------------------------

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kRemovalFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
const std::u16string kWork = u"C:\\Work\\";
const std::u16string kFile = u"C:\\Work\\setup.exe";

class EmulatedFiles : public EmulatedTest {
 protected:
  void SetUp() override {
    EmulatedTest::SetUp();
    ASSERT_TRUE(emu::MakeDirectory(kWork));
  }

  static HANDLE Open(const std::u16string& path, DWORD access, DWORD flags = kRemovalFlags,
                     DWORD share = kShareAll, DWORD disposition = OPEN_EXISTING) {
    return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  }
  // 0 when the open succeeds (the handle is closed again), else its error.
  static DWORD OpenError(const std::u16string& path, DWORD access, DWORD flags = kRemovalFlags,
                         DWORD share = kShareAll, DWORD disposition = OPEN_EXISTING) {
    HANDLE handle = Open(path, access, flags, share, disposition);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(handle);
    return 0;
  }
  static BOOL MarkForDeletion(HANDLE handle) {
    FILE_DISPOSITION_INFO info = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof(info));
  }
  // 0 when the disposition is accepted, else its error; the handle is closed either way.
  static DWORD DeleteError(const std::u16string& path) {
    HANDLE handle = Open(path, DELETE);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    const DWORD error = MarkForDeletion(handle) ? 0 : GetLastError();
    CloseHandle(handle);
    return error;
  }
};

TEST_F(EmulatedFiles, NamesAreCaseInsensitiveAndCasePreserved) {
  ASSERT_TRUE(emu::MakeFile(u"C:\\Work\\Setup.EXE", "data"));
  EXPECT_EQ(OpenError(u"c:\\WORK\\setup.exe", GENERIC_READ, 0), 0u);
  EXPECT_EQ(OpenError(u"C:\\work\\SETUP.exe", GENERIC_WRITE, 0, kShareAll, CREATE_NEW),
            static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(emu::ListDirectory(kWork), std::vector<std::u16string>{u"Setup.EXE"});
  EXPECT_EQ(DeleteError(u"C:\\WORK\\SETUP.EXE"), 0u);
  EXPECT_FALSE(emu::Exists(u"C:\\Work\\Setup.EXE"));
}

TEST_F(EmulatedFiles, DispositionWithAnotherHandleOpenWaitsForTheLastClose) {
  enum class Other { kOwnHandle, kHolderReleased, kHolderReleasedByTheClock };
  struct Case {
    const char* name;
    Other other;
  };
  const std::vector<Case> cases = {
      {"own second handle", Other::kOwnHandle},
      {"another process, released", Other::kHolderReleased},
      {"another process, released by the clock", Other::kHolderReleasedByTheClock},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(emu::MakeFile(kFile, "payload"));
    HANDLE own = INVALID_HANDLE_VALUE;
    int holder = 0;
    if (c.other == Other::kOwnHandle) {
      own = Open(kFile, GENERIC_READ, 0);
      ASSERT_NE(own, INVALID_HANDLE_VALUE);
    } else {
      holder = emu::HoldOpen(kFile, GENERIC_READ, kShareAll);
      ASSERT_NE(holder, 0);
      if (c.other == Other::kHolderReleasedByTheClock) {
        emu::ReleaseAt(holder, emu::NowMilliseconds() + 300);
      }
    }
    EXPECT_EQ(DeleteError(kFile), 0u);
    EXPECT_TRUE(emu::Exists(kFile));
    EXPECT_TRUE(emu::IsDeletePending(kFile));
    // A name whose deletion is pending cannot be opened again, for any access.
    EXPECT_EQ(OpenError(kFile, DELETE), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenError(kFile, FILE_READ_ATTRIBUTES), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenError(kFile, GENERIC_WRITE, 0, kShareAll, CREATE_ALWAYS),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // The directory still holds the pending name.
    EXPECT_EQ(DeleteError(kWork), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    switch (c.other) {
      case Other::kOwnHandle:
        CloseHandle(own);
        break;
      case Other::kHolderReleased:
        emu::Release(holder);
        break;
      case Other::kHolderReleasedByTheClock:
        Sleep(300);
        break;
    }
    EXPECT_FALSE(emu::Exists(kFile));
    EXPECT_EQ(OpenError(kFile, DELETE), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
}

TEST_F(EmulatedFiles, DirectoryWithEntriesRefusesTheDisposition) {
  ASSERT_TRUE(emu::MakeFile(u"C:\\Work\\Sub\\inner.txt"));
  EXPECT_EQ(DeleteError(u"C:\\Work\\Sub"), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_TRUE(emu::Exists(u"C:\\Work\\Sub\\inner.txt"));
  EXPECT_EQ(DeleteError(u"C:\\Work\\Sub\\inner.txt"), 0u);
  EXPECT_EQ(DeleteError(u"C:\\Work\\Sub\\"), 0u);
  EXPECT_FALSE(emu::Exists(u"C:\\Work\\Sub"));
}

TEST_F(EmulatedFiles, ReadOnlyRefusesTheDispositionUntilTheBitIsCleared) {
  struct Case {
    const char* name;
    bool ignore_attribute_writes;
  };
  for (const Case c : {Case{"bit cleared", false}, Case{"attribute writes ignored", true}}) {
    SCOPED_TRACE(c.name);
    emu::IgnoreAttributeWrites(c.ignore_attribute_writes);
    ASSERT_TRUE(emu::MakeFile(kFile, "x", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(DeleteError(kFile), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(emu::Exists(kFile));
    EXPECT_FALSE(emu::IsDeletePending(kFile));

    HANDLE handle = Open(kFile, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    FILE_BASIC_INFO info = {};
    ASSERT_TRUE(GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof(info)));
    EXPECT_EQ(info.FileAttributes,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof(info)));
    CloseHandle(handle);

    if (c.ignore_attribute_writes) {
      EXPECT_EQ(emu::Attributes(kFile),
                static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
      EXPECT_EQ(DeleteError(kFile), static_cast<DWORD>(ERROR_ACCESS_DENIED));
      EXPECT_TRUE(emu::Exists(kFile));
    } else {
      EXPECT_EQ(emu::Attributes(kFile), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
      EXPECT_EQ(DeleteError(kFile), 0u);
      EXPECT_FALSE(emu::Exists(kFile));
    }
  }
}

// Reading basic information takes FILE_READ_ATTRIBUTES, setting it FILE_WRITE_ATTRIBUTES (Wine
// checks neither), and a creation time set through the handle is kept (Wine ignores it).
TEST_F(EmulatedFiles, BasicInformationTakesItsAccessRightsAndKeepsTheCreationTime) {
  ASSERT_TRUE(emu::MakeFile(kFile, "x"));
  struct Case {
    const char* name;
    DWORD access;
    bool reads, writes;
  };
  const std::vector<Case> cases = {
      {"read attributes", FILE_READ_ATTRIBUTES, true, false},
      {"write attributes", FILE_WRITE_ATTRIBUTES, false, true},
      {"both", FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, true, true},
      {"generic read", GENERIC_READ, true, false},
      {"generic write", GENERIC_WRITE, false, true},
      {"delete only", DELETE, false, false},
  };
  LONGLONG creation = 130000000000000000LL;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE handle = Open(kFile, c.access, 0);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    FILE_BASIC_INFO info = {};
    EXPECT_EQ(GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof(info)),
              c.reads ? TRUE : FALSE);
    EXPECT_EQ(GetLastError(), c.reads ? emu::kSuccessMarker : ERROR_ACCESS_DENIED);
    FILE_BASIC_INFO change = {};
    change.CreationTime.QuadPart = ++creation;
    EXPECT_EQ(SetFileInformationByHandle(handle, FileBasicInfo, &change, sizeof(change)),
              c.writes ? TRUE : FALSE);
    EXPECT_EQ(GetLastError(), c.writes ? emu::kSuccessMarker : ERROR_ACCESS_DENIED);
    CloseHandle(handle);
    handle = Open(kFile, FILE_READ_ATTRIBUTES, 0);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof(info)));
    CloseHandle(handle);
    if (c.writes) {
      EXPECT_EQ(info.CreationTime.QuadPart, creation);
    } else {
      EXPECT_NE(info.CreationTime.QuadPart, creation);
    }
  }
}

TEST_F(EmulatedFiles, DirectoryOpensOnlyWithBackupSemantics) {
  ASSERT_TRUE(emu::MakeDirectory(u"C:\\Work\\Sub"));
  for (DWORD access : {static_cast<DWORD>(DELETE), static_cast<DWORD>(FILE_READ_ATTRIBUTES)}) {
    SCOPED_TRACE(access);
    EXPECT_EQ(OpenError(u"C:\\Work\\Sub", access, 0), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenError(u"C:\\Work\\Sub", access, FILE_FLAG_BACKUP_SEMANTICS), 0u);
    EXPECT_EQ(OpenError(u"C:\\Work\\Sub\\", access, kRemovalFlags), 0u);
  }
}

TEST_F(EmulatedFiles, ShareModesDecideWhatASecondOpenGets) {
  struct Case {
    const char* name;
    DWORD held_access, held_share;
    DWORD access, share;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"delete against a holder without delete sharing", GENERIC_READ, FILE_SHARE_READ, DELETE,
       kShareAll, ERROR_SHARING_VIOLATION},
      {"delete against a holder that shares delete", GENERIC_READ,
       FILE_SHARE_READ | FILE_SHARE_DELETE, DELETE, kShareAll, 0},
      {"attributes only against a reader", GENERIC_READ, FILE_SHARE_READ,
       FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, 0},
      {"attributes only against an exclusive holder", GENERIC_READ | GENERIC_WRITE, 0,
       FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, 0},
      {"write against a reader that shares read only", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE,
       kShareAll, ERROR_SHARING_VIOLATION},
      {"own sharing must admit the holder's delete access", DELETE, kShareAll, GENERIC_READ,
       FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_SHARING_VIOLATION},
      {"a holder of attributes only restricts nobody", FILE_READ_ATTRIBUTES, 0, DELETE, kShareAll,
       0},
  };
  ASSERT_TRUE(emu::MakeFile(kFile, "x"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int holder = emu::HoldOpen(kFile, c.held_access, c.held_share);
    ASSERT_NE(holder, 0);
    EXPECT_EQ(OpenError(kFile, c.access, kRemovalFlags, c.share), c.error);
    emu::Release(holder);
    EXPECT_EQ(OpenError(kFile, c.access, kRemovalFlags, c.share), 0u) << "refused once released";
  }
}

TEST_F(EmulatedFiles, LinkOpenedAsItselfIsRemovedAndItsTargetKept) {
  ASSERT_TRUE(emu::MakeFile(u"C:\\Data\\target.txt", "payload"));
  ASSERT_TRUE(emu::MakeFile(u"C:\\Data\\Dir\\inner.txt", "inner"));
  struct Case {
    const char* name;
    std::u16string link, target, kept;
    bool directory;
  };
  const std::vector<Case> cases = {
      {"file link", u"C:\\Work\\link.txt", u"C:\\Data\\target.txt", u"C:\\Data\\target.txt", false},
      {"directory link with entries behind it", u"C:\\Work\\junction", u"C:\\Data\\Dir",
       u"C:\\Data\\Dir\\inner.txt", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(emu::MakeLink(c.link, c.target, c.directory));
    EXPECT_EQ(DeleteError(c.link), 0u);
    EXPECT_FALSE(emu::Exists(c.link));
    EXPECT_TRUE(emu::Exists(c.kept));
  }
  EXPECT_EQ(emu::FileContent(u"C:\\Data\\target.txt"), "payload");

  // Without the reparse-point flag the open reaches the target, and so does the disposition.
  ASSERT_TRUE(emu::MakeLink(u"C:\\Work\\link.txt", u"C:\\Data\\target.txt", false));
  HANDLE handle = Open(u"C:\\Work\\link.txt", DELETE, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(MarkForDeletion(handle));
  CloseHandle(handle);
  EXPECT_FALSE(emu::Exists(u"C:\\Data\\target.txt"));
  EXPECT_TRUE(emu::Exists(u"C:\\Work\\link.txt"));
}

TEST_F(EmulatedFiles, OpenErrorsNameWhatIsWrongWithThePath) {
  ASSERT_TRUE(emu::MakeFile(kFile, "x"));
  struct Case {
    std::u16string path;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {u"C:\\Work\\missing.exe", ERROR_FILE_NOT_FOUND},
      {u"C:\\Nowhere\\missing.exe", ERROR_PATH_NOT_FOUND},
      {u"C:\\Nowhere\\Deeper\\missing.exe", ERROR_PATH_NOT_FOUND},
      {u"Q:\\Work\\setup.exe", ERROR_PATH_NOT_FOUND},
      {u"C:\\Work\\bad?name.exe", ERROR_INVALID_NAME},
      {u"C:\\Work\\bad*name.exe", ERROR_INVALID_NAME},
      {u"C:\\Work\\bad|name.exe", ERROR_INVALID_NAME},
      {u"C:\\Work\\setup.exe\\", ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.path));
    SetLastError(0);
    EXPECT_EQ(Open(c.path, DELETE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(emu::ListTree(), (std::vector<std::u16string>{kWork, kFile}));
}

const std::u16string kExtended = u"\\\\?\\";

// Without long-path opt-in CreateDirectoryW takes MAX_PATH - 12 units with the terminator, room
// for an 8.3 name below MAX_PATH; a trailing backslash counts. "\\?\" lifts the limit and hands
// the rest to the file system as it is: no "/" as a separator, no "." or ".." folded away.
TEST_F(EmulatedFiles, CreateDirectoryTakes247UnitsUnlessThePathIsExtended) {
  const std::u16string base = DirectoryOfLength(200);
  ASSERT_TRUE(emu::MakeDirectory(base));
  auto of_length = [&](size_t units) { return base + std::u16string(units - base.size(), u'n'); };
  struct Case {
    const char* name;
    std::u16string path;
    DWORD error;
    std::u16string made;  // the directory that must exist afterwards
  };
  const std::vector<Case> cases = {
      {"247 units", of_length(247), 0, of_length(247)},
      {"248 units", of_length(248), ERROR_FILENAME_EXCED_RANGE, u""},
      {"247 units with a trailing backslash", of_length(246) + u"\\", 0, of_length(246)},
      {"248 units with a trailing backslash", of_length(247) + u"\\", ERROR_FILENAME_EXCED_RANGE,
       u""},
      {"259 units", of_length(259), ERROR_FILENAME_EXCED_RANGE, u""},
      {"ordinary form folds dots and takes slashes", u"C:/Work/./Sub/../Folded", 0,
       u"C:\\Work\\Folded"},
      {"extended, 247 units", kExtended + of_length(243), 0, of_length(243)},
      {"extended, 450 units", kExtended + of_length(446), 0, of_length(446)},
      {"extended, trailing backslash", kExtended + kWork + u"Trailing\\", 0, u"C:\\Work\\Trailing"},
      {"extended, small drive letter", kExtended + u"c:\\Work\\small", 0, u"C:\\Work\\small"},
      {"extended, existing", kExtended + u"C:\\Work", ERROR_ALREADY_EXISTS, u""},
      {"extended, missing parent", kExtended + u"C:\\Missing\\dir", ERROR_PATH_NOT_FOUND, u""},
      {"extended, no such volume", kExtended + u"Q:\\dir", ERROR_PATH_NOT_FOUND, u""},
      {"extended, slash is no separator", kExtended + u"C:\\Work/slash", ERROR_INVALID_NAME, u""},
      {"extended, dot", kExtended + u"C:\\Work\\.\\dot", ERROR_INVALID_NAME, u""},
      {"extended, dot dot", kExtended + u"C:\\Work\\..\\up", ERROR_INVALID_NAME, u""},
      {"extended, empty name", kExtended + u"C:\\Work\\\\empty", ERROR_INVALID_NAME, u""},
      {"extended, wildcard", kExtended + u"C:\\Work\\a*", ERROR_INVALID_NAME, u""},
      {"extended, network share", kExtended + u"UNC\\server\\share\\dir", ERROR_BAD_NETPATH, u""},
      {"extended, network share in small letters", kExtended + u"unc\\server\\share\\dir",
       ERROR_BAD_NETPATH, u""},
      {"extended, 32767 units", kExtended + u"C:\\" + std::u16string(32760, u'x'),
       ERROR_FILENAME_EXCED_RANGE, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::u16string> before = emu::ListTree();
    SetLastError(0);
    EXPECT_EQ(CreateDirectoryW(c.path.c_str(), nullptr), c.error == 0 ? TRUE : FALSE);
    EXPECT_EQ(GetLastError(), c.error == 0 ? emu::kSuccessMarker : c.error);
    if (c.error == 0) {
      EXPECT_EQ(emu::Attributes(c.made), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
      EXPECT_EQ(emu::ListTree().size(), before.size() + 1);
    } else {
      EXPECT_EQ(emu::ListTree(), before);
    }
  }
}

// CreateFileW takes the extended form too, beyond MAX_PATH, and so do the removal's opens; without
// it a path stays below MAX_PATH. Other calls refuse the prefix, as no drive path starts so.
TEST_F(EmulatedFiles, CreateFileTakesTheExtendedFormAndOtherCallsRefuseIt) {
  const std::u16string base = DirectoryOfLength(240);
  ASSERT_TRUE(emu::MakeDirectory(base));
  const std::u16string deep = base + std::u16string(100, u'd') + u"\\";  // 341 units
  ASSERT_TRUE(CreateDirectoryW((kExtended + deep).c_str(), nullptr));
  struct Case {
    const char* name;
    std::u16string path;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"259 units", base + std::u16string(259 - base.size(), u'f'), 0},
      {"260 units", base + std::u16string(260 - base.size(), u'f'), ERROR_FILENAME_EXCED_RANGE},
      {"extended, 350 units", kExtended + deep + u"setup.exe", 0},
      {"extended, slash is no separator", kExtended + kWork + u"a/b.exe", ERROR_INVALID_NAME},
      {"extended, dot dot", kExtended + kWork + u"..\\b.exe", ERROR_INVALID_NAME},
      {"extended, network share", kExtended + u"UNC\\server\\share\\b.exe", ERROR_BAD_NETPATH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(OpenError(c.path, GENERIC_WRITE, 0, 0, CREATE_NEW), c.error);
    if (c.error != 0) continue;
    EXPECT_EQ(OpenError(c.path, GENERIC_READ, 0), 0u) << "opened again";
    EXPECT_EQ(DeleteError(c.path), 0u);
    EXPECT_EQ(OpenError(c.path, GENERIC_READ, 0), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }

  const std::u16string program = kExtended + kFile;
  ASSERT_TRUE(emu::MakeFile(kFile, "MZ"));
  emu::RegisterProgram(kFile, [](const std::u16string&) -> DWORD { return 0; });
  WCHAR command_line[] = u"setup.exe";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  EXPECT_FALSE(CreateProcessW(program.c_str(), command_line, nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &process));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  WCHAR root[MAX_PATH];
  EXPECT_FALSE(GetVolumePathNameW(program.c_str(), root, MAX_PATH));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(EmulatedFiles, AcceptedButKeptDeletionLeavesTheFile) {
  ASSERT_TRUE(emu::MakeFile(kFile, "x"));
  emu::KeepFilesAcceptedForDeletion(true);
  EXPECT_EQ(DeleteError(kFile), 0u);
  EXPECT_TRUE(emu::Exists(kFile));
  EXPECT_FALSE(emu::IsDeletePending(kFile));
  EXPECT_EQ(OpenError(kFile, DELETE), 0u);
}

// Two files open at once, each opened by a spelling of its own: every call on a handle, and on its
// duplicate, names the file that handle was opened at, as CreateFileW recorded it; a call failed by
// an injected fault too.
TEST_F(EmulatedFiles, CallsOnAFileHandleNameThePathItWasOpenedAt) {
  ASSERT_TRUE(emu::MakeFile(u"C:\\Work\\First.bin", "first"));
  ASSERT_TRUE(emu::MakeFile(u"C:\\Work\\second.bin", "second"));
  const std::u16string paths[] = {u"c:\\work\\FIRST.bin", u"C:\\Work\\.\\second.bin"};
  constexpr DWORD kAll = GENERIC_READ | GENERIC_WRITE | DELETE;
  HANDLE handles[2];
  for (int i = 0; i < 2; ++i) {
    handles[i] = Open(paths[i], kAll, 0);
    ASSERT_NE(handles[i], INVALID_HANDLE_VALUE);
    ASSERT_EQ(Show(emu::Calls().back().text), Show(paths[i]));
  }
  struct Case {
    emu::Op op;
    std::function<void(HANDLE)> call;
  };
  const std::vector<Case> cases = {
      {emu::Op::WriteFile,
       [](HANDLE h) {
         DWORD written = 0;
         WriteFile(h, "ab", 2, &written, nullptr);
       }},
      {emu::Op::SetFilePointer, [](HANDLE h) { SetFilePointer(h, 0, nullptr, FILE_BEGIN); }},
      {emu::Op::ReadFile,
       [](HANDLE h) {
         char buffer[4];
         DWORD read = 0;
         ReadFile(h, buffer, sizeof(buffer), &read, nullptr);
       }},
      {emu::Op::FlushFileBuffers, [](HANDLE h) { FlushFileBuffers(h); }},
      {emu::Op::GetFileInformationByHandleEx,
       [](HANDLE h) {
         FILE_BASIC_INFO info = {};
         GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof(info));
       }},
      {emu::Op::SetFileInformationByHandle,
       [](HANDLE h) {
         FILE_DISPOSITION_INFO info = {FALSE};
         SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof(info));
       }},
      {emu::Op::DuplicateHandle,
       [](HANDLE h) {
         HANDLE copy = nullptr;
         if (DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
           CloseHandle(copy);
         }
       }},
  };
  for (bool inject : {false, true}) {
    for (const Case& c : cases) {
      for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(testing::Message() << emu::OpName(c.op) << " on " << Show(paths[i])
                                        << (inject ? ", injected" : ""));
        const size_t first = emu::Calls().size();
        if (inject) emu::InjectFault({emu::Op::Any, emu::CallCount() + 1, false, 0});
        c.call(handles[i]);
        emu::ClearFaults();
        const std::vector<emu::Call>& calls = emu::Calls();
        ASSERT_GT(calls.size(), first);
        EXPECT_EQ(calls[first].op, c.op);
        EXPECT_EQ(calls[first].injected, inject);
        for (size_t k = first; k < calls.size(); ++k) {
          EXPECT_EQ(Show(calls[k].text), Show(paths[i])) << emu::OpName(calls[k].op);
        }
      }
    }
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(CloseHandle(handles[i]));
    EXPECT_EQ(Show(emu::Calls().back().text), Show(paths[i])) << "CloseHandle";
  }
}

// What serves no path is named by the empty text; a process and its thread by the program.
TEST_F(EmulatedFiles, CallsOnOtherHandlesNameTheProgramOrNothing) {
  const std::u16string kProgram = u"C:\\Work\\setup.exe";
  ASSERT_TRUE(emu::MakeFile(kProgram, "MZ"));
  emu::RegisterProgram(kProgram, [](const std::u16string&) -> DWORD { return 0; });
  WCHAR command_line[] = u"setup.exe";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(kProgram.c_str(), command_line, nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process));
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  emu::CreateRegistryKey(HKEY_CURRENT_USER, kKey);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey.c_str(), 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  struct Case {
    const char* name;
    HANDLE handle;
    std::u16string text;
  };
  const std::vector<Case> cases = {
      {"process", process.hProcess, kProgram},
      {"thread", process.hThread, kProgram},
      {"token", token, u""},
      {"registry key", reinterpret_cast<HANDLE>(key), u""},
      {"unknown handle", reinterpret_cast<HANDLE>(0xBAD0), u""},
      {"current process", GetCurrentProcess(), u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CloseHandle(c.handle);
    EXPECT_EQ(emu::Calls().back().op, emu::Op::CloseHandle);
    EXPECT_EQ(Show(emu::Calls().back().text), Show(c.text));
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// --- processes -------------------------------------------------------------------------------

// 0 when the program started (and ran to its end, as emulated programs do), else the error.
DWORD StartError(const std::u16string& program) {
  std::u16string line = u"\"" + program + u"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    return GetLastError();
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

using EmulatedProcesses = EmulatedFiles;

// An unelevated token cannot start what asks for administrator rights: CreateProcessW fails with
// ERROR_ELEVATION_REQUIRED, never prompting. highestAvailable asks only of an administrator, and
// installer detection treats a 32-bit image that names no level as asking, by its file name.
TEST_F(EmulatedProcesses, WhatAsksForElevationTheTokenLacksIsNotStarted) {
  using Level = emu::ExecutionLevel;
  struct Case {
    const char* name;
    Level level;
    bool is_32_bit;
    std::u16string file;
    bool elevated, administrator;
    bool installer_detection;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"requireAdministrator, standard user", Level::kRequireAdministrator, false, u"tool.exe",
       false, false, true, true},
      {"requireAdministrator, administrator", Level::kRequireAdministrator, false, u"tool.exe",
       false, true, true, true},
      {"requireAdministrator, elevated", Level::kRequireAdministrator, false, u"tool.exe", true,
       true, true, false},
      {"highestAvailable, standard user", Level::kHighestAvailable, false, u"tool.exe", false,
       false, true, false},
      {"highestAvailable, administrator", Level::kHighestAvailable, false, u"tool.exe", false, true,
       true, true},
      {"highestAvailable, elevated", Level::kHighestAvailable, false, u"tool.exe", true, true, true,
       false},
      {"asInvoker, administrator", Level::kAsInvoker, false, u"tool.exe", false, true, true, false},
      {"no level, 64-bit setup", Level::kNotGiven, false, u"setup.exe", false, false, true, false},
      {"no level, 32-bit setup", Level::kNotGiven, true, u"setup.exe", false, false, true, true},
      {"no level, 32-bit, install in any case", Level::kNotGiven, true, u"MyInstaller.exe", false,
       false, true, true},
      {"no level, 32-bit, update", Level::kNotGiven, true, u"SelfUpdate.exe", false, false, true,
       true},
      {"no level, 32-bit setup, administrator", Level::kNotGiven, true, u"SETUP.EXE", false, true,
       true, true},
      {"no level, 32-bit setup, elevated", Level::kNotGiven, true, u"setup.exe", true, true, true,
       false},
      {"no level, 32-bit, no keyword", Level::kNotGiven, true, u"tool.exe", false, false, true,
       false},
      {"no level, 32-bit setup, detection off", Level::kNotGiven, true, u"setup.exe", false, false,
       false, false},
      {"asInvoker exempts a 32-bit setup", Level::kAsInvoker, true, u"setup.exe", false, false,
       true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    const std::u16string program = u"C:\\Work\\" + c.file;
    ASSERT_TRUE(emu::MakeFile(program, "MZ"));
    int runs = 0;
    emu::RegisterProgram(program,
                         [&runs](const std::u16string&) -> DWORD {
                           ++runs;
                           return 7;
                         },
                         {c.level, c.is_32_bit});
    emu::SetTokenElevation(c.elevated, c.administrator);
    emu::SetInstallerDetection(c.installer_detection);
    EXPECT_EQ(StartError(program), c.refused ? static_cast<DWORD>(ERROR_ELEVATION_REQUIRED) : 0u);
    EXPECT_EQ(runs, c.refused ? 0 : 1);
    ASSERT_EQ(emu::ProcessStarts().size(), 1u);
    EXPECT_EQ(emu::ProcessStarts()[0].started, !c.refused);
    const emu::Call& start = emu::Calls().front();
    ASSERT_EQ(start.op, emu::Op::CreateProcessW);
    EXPECT_EQ(start.failed, c.refused);
    EXPECT_FALSE(start.injected) << "a refusal of the system, not an injected fault";
  }
}

// A scanner holds a file that was just created or written for its first starts, whatever the
// clock says; a file nobody wrote, reads and other opens are left alone.
TEST_F(EmulatedProcesses, AScannerHoldsAFreshlyWrittenProgramForItsFirstStarts) {
  const std::u16string program = u"C:\\Work\\setup.exe";
  enum class Made { kByTheTest, kCreated, kWritten, kTruncated };
  struct Case {
    const char* name;
    Made made;
    uint32_t held_starts;
    DWORD error;
    uint32_t refused;
  };
  const std::vector<Case> cases = {
      {"created, two starts held", Made::kCreated, 2, ERROR_SHARING_VIOLATION, 2},
      {"written, access denied", Made::kWritten, 1, ERROR_ACCESS_DENIED, 1},
      {"an old file truncated", Made::kTruncated, 3, ERROR_SHARING_VIOLATION, 3},
      {"a file nobody wrote", Made::kByTheTest, 2, ERROR_SHARING_VIOLATION, 0},
      {"no scanner", Made::kWritten, 0, ERROR_SHARING_VIOLATION, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    ASSERT_TRUE(emu::MakeDirectory(u"C:\\Work"));
    if (c.made == Made::kByTheTest || c.made == Made::kTruncated) {
      ASSERT_TRUE(emu::MakeFile(program, "MZ old"));
    }
    if (c.made != Made::kByTheTest) {
      HANDLE file =
          CreateFileW(program.c_str(), GENERIC_WRITE, 0, nullptr,
                      c.made == Made::kTruncated ? TRUNCATE_EXISTING : CREATE_NEW, 0, nullptr);
      ASSERT_NE(file, INVALID_HANDLE_VALUE);
      DWORD written = 0;
      if (c.made == Made::kWritten) {
        ASSERT_TRUE(WriteFile(file, "MZ", 2, &written, nullptr));
      }
      CloseHandle(file);
    }
    int runs = 0;
    emu::RegisterProgram(program, [&runs](const std::u16string&) -> DWORD { return ++runs; });
    emu::SetScanner({c.held_starts, c.error, 0});
    for (uint32_t i = 0; i < c.refused; ++i) {
      SCOPED_TRACE(testing::Message() << "start " << i + 1);
      EXPECT_EQ(StartError(program), c.error);
      EXPECT_EQ(OpenError(program, GENERIC_READ, 0, kShareAll), 0u) << "a read was held";
      Sleep(1000);
    }
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(StartError(program), 0u);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(emu::ScannerRefusals().refused_starts, c.refused);
    EXPECT_EQ(emu::NowMilliseconds(), 1000u * c.refused) << "only the test's sleeps";

    // Written again, it is held again for as many starts.
    HANDLE file =
        CreateFileW(program.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "MZ", 2, &written, nullptr));
    CloseHandle(file);
    for (uint32_t i = 0; i < c.held_starts; ++i) EXPECT_EQ(StartError(program), c.error);
    EXPECT_EQ(StartError(program), 0u);
    EXPECT_EQ(runs, 2);
  }
}

// The image of a process that has ended is held for its first opens for delete; only those.
TEST_F(EmulatedProcesses, AScannerHoldsTheImageOfAnEndedProcessAgainstItsFirstDeletes) {
  const std::u16string program = u"C:\\Work\\setup.exe";
  const std::u16string bystander = u"C:\\Work\\readme.txt";
  ASSERT_TRUE(emu::MakeFile(program, "MZ"));
  ASSERT_TRUE(emu::MakeFile(bystander, "text"));
  emu::RegisterProgram(program, [](const std::u16string&) -> DWORD { return 0; });
  emu::SetScanner({0, ERROR_SHARING_VIOLATION, 2});
  EXPECT_EQ(OpenError(program, DELETE), 0u) << "held before any process ran from it";
  ASSERT_EQ(StartError(program), 0u);
  struct Case {
    const char* name;
    std::u16string path;
    DWORD access;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"read", program, GENERIC_READ, 0},
      {"attributes", program, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0},
      {"another file for delete", bystander, DELETE, 0},
      {"delete, first", program, DELETE, ERROR_ACCESS_DENIED},
      {"read, between", program, GENERIC_READ, 0},
      {"everything, second", program, GENERIC_ALL, ERROR_ACCESS_DENIED},
      {"delete, third", program, DELETE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(OpenError(c.path, c.access), c.error);
  }
  EXPECT_EQ(emu::ScannerRefusals().refused_deletes, 2u);
  EXPECT_EQ(emu::NowMilliseconds(), 0u);

  // Each process that runs from the image starts the count anew, in the next emulated process too.
  ASSERT_EQ(StartError(program), 0u);
  emu::EndProcess();
  EXPECT_EQ(DeleteError(program), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(DeleteError(program), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(DeleteError(program), 0u);
  EXPECT_FALSE(emu::Exists(program));
  EXPECT_EQ(emu::ScannerRefusals().refused_deletes, 4u);
}

// --- resources -------------------------------------------------------------------------------

using EmulatedResources = EmulatedTest;

// Among several resources of one type, the size, load and lock of each name that resource as the
// module stores it, whether the call succeeds or an injected fault fails it; a numbered one, and
// an address that is no resource's, by the empty text.
TEST_F(EmulatedResources, CallsOnAResourceNameIt) {
  emu::AddResource(u"B7", u"archive.7z", "7z bytes");
  emu::AddLazyResource(u"B7", u"LARGE.BIN", 1 << 20);
  emu::AddNumberedResource(u"B7", 7, "numbered");
  struct Case {
    LPCWSTR query;
    std::u16string text;
  };
  const std::vector<Case> cases = {
      {u"ARCHIVE.7Z", u"ARCHIVE.7Z"},
      {u"large.bin", u"LARGE.BIN"},
      {MAKEINTRESOURCEW(7), u""},
  };
  for (bool inject : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << Show(c.text) << (inject ? ", injected" : ""));
      HRSRC found = FindResourceW(nullptr, c.query, u"B7");
      ASSERT_NE(found, nullptr);
      HGLOBAL loaded = LoadResource(nullptr, found);
      ASSERT_NE(loaded, nullptr);
      if (inject) emu::InjectFault({emu::Op::Any, emu::CallCount() + 1, true, 0});
      const size_t first = emu::Calls().size();
      EXPECT_EQ(SizeofResource(nullptr, found) != 0, !inject);
      EXPECT_EQ(LoadResource(nullptr, found) != nullptr, !inject);
      EXPECT_EQ(LockResource(loaded) != nullptr, !inject);
      emu::ClearFaults();
      const std::vector<emu::Call>& calls = emu::Calls();
      ASSERT_EQ(calls.size(), first + 3);
      for (size_t k = first; k < calls.size(); ++k) {
        EXPECT_EQ(calls[k].injected, inject) << emu::OpName(calls[k].op);
        EXPECT_EQ(Show(calls[k].text), Show(c.text)) << emu::OpName(calls[k].op);
      }
    }
  }
  char elsewhere = 0;
  EXPECT_EQ(LockResource(&elsewhere), &elsewhere);
  EXPECT_EQ(Show(emu::Calls().back().text), "");
}

// --- the cabinet library ---------------------------------------------------------------------

// The caller's side of a copy: a cabinet at handle kCabinetFile, each target file at kTargetFile,
// and what the library did with them.
constexpr INT_PTR kCabinetFile = 100;
constexpr INT_PTR kTargetFile = 200;

struct CabinetCaller {
  std::vector<std::string> opened;
  std::vector<INT_PTR> closed;  // by the library, through the close callback
  std::vector<FDINOTIFICATIONTYPE> notified;
  bool write_fails = false;
};
CabinetCaller g_caller;

void* DIAMONDAPI CallerAlloc(ULONG bytes) { return malloc(bytes); }
void DIAMONDAPI CallerFree(void* block) { free(block); }
INT_PTR DIAMONDAPI CallerOpen(char* name, int, int) {
  g_caller.opened.push_back(name);
  return kCabinetFile;
}
UINT DIAMONDAPI CallerRead(INT_PTR, void* buffer, UINT bytes) {
  memset(buffer, 'C', bytes);
  return bytes;
}
UINT DIAMONDAPI CallerWrite(INT_PTR, void*, UINT bytes) {
  return g_caller.write_fails ? static_cast<UINT>(-1) : bytes;
}
int DIAMONDAPI CallerClose(INT_PTR file) {
  g_caller.closed.push_back(file);
  return 0;
}
LONG DIAMONDAPI CallerSeek(INT_PTR, LONG, int from) { return from == 2 ? 64 : 0; }
// Takes every file, and closes it itself at its close notification.
INT_PTR DIAMONDAPI CallerNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION) {
  g_caller.notified.push_back(type);
  if (type == fdintCOPY_FILE) return kTargetFile;
  if (type == fdintCLOSE_FILE_INFO) return TRUE;
  return type == fdintCABINET_INFO ? 0 : -1;
}

template <typename Entry>
Entry EntryPoint(HMODULE library, const char* name) {
  return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

class EmulatedCabinet : public EmulatedTest {
 protected:
  void SetUp() override {
    EmulatedTest::SetUp();
    g_caller = CabinetCaller{};
  }
  // FDICopy of name in path through the emulated library, from its load to its destruction.
  static BOOL Copy(std::string path, std::string name) {
    HMODULE library = LoadLibraryExW(u"C:\\Windows\\system32\\cabinet.dll", nullptr,
                                     LOAD_WITH_ALTERED_SEARCH_PATH);
    using Create =
        HFDI (*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int, PERF);
    using CopyEntry = BOOL (*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
    using Destroy = BOOL (*)(HFDI);
    auto create = EntryPoint<Create>(library, "FDICreate");
    auto copy = EntryPoint<CopyEntry>(library, "FDICopy");
    auto destroy = EntryPoint<Destroy>(library, "FDIDestroy");
    EXPECT_TRUE(create != nullptr && copy != nullptr && destroy != nullptr);
    if (create == nullptr || copy == nullptr || destroy == nullptr) return FALSE;
    ERF erf = {};
    HFDI fdi = create(CallerAlloc, CallerFree, CallerOpen, CallerRead, CallerWrite, CallerClose,
                      CallerSeek, cpuUNKNOWN, &erf);
    EXPECT_NE(fdi, nullptr);
    const BOOL copied = copy(fdi, name.data(), path.data(), 0, CallerNotify, nullptr, nullptr);
    destroy(fdi);
    return copied;
  }
};

// The cabinet path and the cabinet name are each held in 256 bytes with the terminator; bytes
// count, not characters.
TEST_F(EmulatedCabinet, APathOrNameOf256BytesIsRefusedBeforeAnyOpen) {
  const std::string kCjk = "\xE6\x96\x87";  // one unit, three bytes in UTF-8
  auto directory = [](size_t bytes) { return "C:\\" + std::string(bytes - 4, 'd') + "\\"; };
  auto cjk_directory = [&](size_t units) {
    std::string path = "C:\\";
    for (size_t i = 0; i < units; ++i) path += kCjk;
    return path + "\\";
  };
  struct Case {
    const char* name;
    std::string path, cabinet;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"path of 255 bytes", directory(255), "SETUP.EX_", false},
      {"path of 256 bytes", directory(256), "SETUP.EX_", true},
      {"name of 255 bytes", "C:\\Work\\", std::string(255, 'n'), false},
      {"name of 256 bytes", "C:\\Work\\", std::string(256, 'n'), true},
      {"path of 83 three-byte units: 253 bytes", cjk_directory(83), "SETUP.EX_", false},
      {"path of 84 three-byte units: 256 bytes", cjk_directory(84), "SETUP.EX_", true},
  };
  uint64_t refused = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_caller = CabinetCaller{};
    emu::SetCabinetScript(emu::OneFileCabinet("bytes"));
    const BOOL copied = Copy(c.path, c.cabinet);
    refused += c.refused ? 1 : 0;
    EXPECT_EQ(emu::Cabinet().refused_names, refused);
    EXPECT_EQ(emu::Cabinet().cabinet_path, c.path) << "what FDICopy received";
    EXPECT_EQ(emu::Cabinet().allocations_outstanding, 0u);
    if (c.refused) {
      EXPECT_FALSE(copied);
      EXPECT_TRUE(g_caller.opened.empty()) << "the open callback was called";
      EXPECT_TRUE(g_caller.notified.empty());
    } else {
      EXPECT_TRUE(copied);
      EXPECT_EQ(g_caller.opened, std::vector<std::string>{c.path + c.cabinet});
    }
  }
}

// Whatever ends a copy while a target file is open, the library closes that file through the
// close callback and sends no close notification; the cabinet is closed too. A library that
// ignores a failed write (ignore_write_failure) still sends the notification, and the caller
// closes the file.
TEST_F(EmulatedCabinet, AFailureWhileATargetIsOpenClosesItThroughTheCloseCallback) {
  emu::CabinetStep info, copy, write, close, partial, read_failure;
  info.type = fdintCABINET_INFO;
  copy.type = fdintCOPY_FILE;
  write.kind = emu::CabinetStep::Kind::kWrite;
  write.bytes = "partly";
  close.type = fdintCLOSE_FILE_INFO;
  partial.type = fdintPARTIAL_FILE;
  read_failure.kind = emu::CabinetStep::Kind::kReadFailure;
  using Types = std::vector<FDINOTIFICATIONTYPE>;
  struct Case {
    const char* name;
    std::vector<emu::CabinetStep> steps;
    bool write_fails, ignore_write_failure;
    BOOL copied;
    std::vector<INT_PTR> closed;
    Types notified;
  };
  const std::vector<Case> cases = {
      {"a damaged cabinet",
       {info, copy, write, read_failure, close},
       false,
       false,
       FALSE,
       {kTargetFile, kCabinetFile},
       {fdintCABINET_INFO, fdintCOPY_FILE}},
      {"a failed write",
       {info, copy, write, close},
       true,
       false,
       FALSE,
       {kTargetFile, kCabinetFile},
       {fdintCABINET_INFO, fdintCOPY_FILE}},
      {"an abort answer",
       {info, copy, write, partial, close},
       false,
       false,
       FALSE,
       {kTargetFile, kCabinetFile},
       {fdintCABINET_INFO, fdintCOPY_FILE, fdintPARTIAL_FILE}},
      {"a cabinet that ends inside the file",
       {info, copy, write},
       false,
       false,
       FALSE,
       {kTargetFile, kCabinetFile},
       {fdintCABINET_INFO, fdintCOPY_FILE}},
      {"a failed write ignored",
       {info, copy, write, close},
       true,
       true,
       TRUE,
       {kCabinetFile},
       {fdintCABINET_INFO, fdintCOPY_FILE, fdintCLOSE_FILE_INFO}},
      {"no failure",
       {info, copy, write, close},
       false,
       false,
       TRUE,
       {kCabinetFile},
       {fdintCABINET_INFO, fdintCOPY_FILE, fdintCLOSE_FILE_INFO}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_caller = CabinetCaller{};
    g_caller.write_fails = c.write_fails;
    emu::CabinetScript script;
    script.steps = c.steps;
    script.ignore_write_failure = c.ignore_write_failure;
    emu::SetCabinetScript(script);
    EXPECT_EQ(Copy("C:\\Work\\", "SETUP.EX_"), c.copied);
    EXPECT_EQ(g_caller.closed, c.closed);
    EXPECT_EQ(g_caller.notified, c.notified);
    EXPECT_EQ(emu::Cabinet().allocations_outstanding, 0u);
  }
}

// --- faults ----------------------------------------------------------------------------------

using EmulatedFaults = EmulatedTest;

struct Step {
  emu::Op op;
  std::function<bool()> call;  // true on success
};

// Calls that need no cleanup, so the sequence can be run again and again.
std::vector<Step> FaultSequence() {
  auto volume_information = [] {
    DWORD flags = 0;
    return GetVolumeInformationW(u"C:\\", nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) !=
           FALSE;
  };
  auto module_file_name = [] {
    WCHAR path[MAX_PATH];
    return GetModuleFileNameW(nullptr, path, MAX_PATH) != 0;
  };
  auto volume_path = [] {
    WCHAR root[MAX_PATH];
    return GetVolumePathNameW(u"C:\\Installer\\", root, MAX_PATH) != FALSE;
  };
  auto random = [] {
    BYTE bytes[4];
    return SystemFunction036(bytes, 4) != FALSE;
  };
  return {
      {emu::Op::GetVolumeInformationW, volume_information},
      {emu::Op::GetModuleFileNameW, module_file_name},
      {emu::Op::GetVolumeInformationW, volume_information},
      {emu::Op::GetVolumePathNameW, volume_path},
      {emu::Op::SystemFunction036, random},
      {emu::Op::GetVolumeInformationW, volume_information},
  };
}

TEST_F(EmulatedFaults, FailTheKthCallOverallOrOfOneOperationOnceOrFromThenOn) {
  const DWORD kError = ERROR_NOT_READY;
  const std::vector<Step> steps = FaultSequence();
  struct Case {
    emu::Op op;
    uint64_t nth;
    bool persistent;
    std::string fails;  // per step: 'x' fails, '.' succeeds
  };
  const std::vector<Case> cases = {
      {emu::Op::Any, 1, false, "x....."},
      {emu::Op::Any, 4, false, "...x.."},
      {emu::Op::Any, 4, true, "...xxx"},
      {emu::Op::Any, 7, true, "......"},
      {emu::Op::GetVolumeInformationW, 2, false, "..x..."},
      {emu::Op::GetVolumeInformationW, 2, true, "..x..x"},
      {emu::Op::GetModuleFileNameW, 1, true, ".x...."},
      {emu::Op::SystemFunction036, 2, false, "......"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << emu::OpName(c.op) << " #" << c.nth << (c.persistent ? " on" : " once"));
    emu::Reset();
    emu::InjectFault({c.op, c.nth, c.persistent, kError});
    uint64_t expected_failures = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
      SetLastError(0);
      const bool ok = steps[i].call();
      EXPECT_EQ(!ok, c.fails[i] == 'x') << "step " << i + 1;
      if (!ok) {
        EXPECT_EQ(GetLastError(), kError) << "step " << i + 1;
        ++expected_failures;
      }
    }
    EXPECT_EQ(emu::InjectedFailures(), expected_failures);
    EXPECT_EQ(emu::CallCount(), steps.size());
    EXPECT_EQ(emu::CallCount(emu::Op::GetVolumeInformationW), 3u);
  }
}

TEST_F(EmulatedFaults, ErrorZeroTakesTheOperationsOwnCode) {
  for (emu::Op op :
       {emu::Op::GetVolumeInformationW, emu::Op::GetModuleFileNameW, emu::Op::SystemFunction036}) {
    SCOPED_TRACE(emu::OpName(op));
    emu::Reset();
    emu::InjectFault({op, 1, false, 0});
    const std::vector<Step> steps = FaultSequence();
    bool failed = false;
    for (const Step& step : steps) {
      if (step.op != op || failed) continue;
      SetLastError(0);
      EXPECT_FALSE(step.call());
      EXPECT_NE(GetLastError(), 0u);
      EXPECT_NE(GetLastError(), emu::kSuccessMarker);
      failed = true;
    }
    EXPECT_TRUE(failed);
  }
}

// Each call once as the system answers it and once failed by injection: only the injection is
// recorded injected, and a refusal of the system's own is recorded failed all the same.
TEST_F(EmulatedFaults, InjectedFailuresAreRecordedApartFromTheSystemsOwnRefusals) {
  const std::u16string kFull = u"C:\\Work\\Full";
  const std::u16string kInner = u"C:\\Work\\Full\\inner.txt";
  struct Case {
    const char* name;
    emu::Op op;
    std::function<bool()> call;  // true on success
    bool refused;                // by the system itself, without a fault
  };
  const std::vector<Case> cases = {
      {"a delete mark on a directory with entries", emu::Op::SetFileInformationByHandle,
       [&] {
         HANDLE handle = CreateFileW(kFull.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                     kRemovalFlags, nullptr);
         FILE_DISPOSITION_INFO info = {TRUE};
         const bool ok =
             SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof(info)) != FALSE;
         CloseHandle(handle);
         return ok;
       },
       true},
      {"a close of an unknown handle", emu::Op::CloseHandle,
       [] { return CloseHandle(reinterpret_cast<HANDLE>(0xBAD0)) != FALSE; }, true},
      {"an enumeration that its callback ends", emu::Op::EnumResourceNamesW,
       [] {
         return EnumResourceNamesW(
                    nullptr, u"B7",
                    [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR) -> BOOL { return FALSE; }, 0) != FALSE;
       },
       true},
      {"an open of a missing registry key", emu::Op::RegOpenKeyExW,
       [] {
         HKEY key = nullptr;
         return RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Missing", 0, KEY_QUERY_VALUE, &key) ==
                ERROR_SUCCESS;
       },
       true},
      {"an open of a file that is there", emu::Op::CreateFileW,
       [&] {
         HANDLE handle = CreateFileW(kInner.c_str(), GENERIC_READ, kShareAll, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
         if (handle == INVALID_HANDLE_VALUE) return false;
         CloseHandle(handle);
         return true;
       },
       false},
  };
  for (const Case& c : cases) {
    for (bool inject : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.name << (inject ? ", injected" : ", natural"));
      emu::Reset();
      ASSERT_TRUE(emu::MakeFile(kInner, "x"));
      emu::AddResource(u"B7", u"archive.7z", "7z");
      if (inject) emu::InjectFault({c.op, 1, false, 0});
      EXPECT_EQ(c.call(), !inject && !c.refused);
      const emu::Call* record = nullptr;
      size_t injected_records = 0;
      for (const emu::Call& call : emu::Calls()) {
        if (call.op == c.op) record = &call;
        injected_records += call.injected;
        EXPECT_TRUE(call.failed || !call.injected) << emu::OpName(call.op);
      }
      ASSERT_NE(record, nullptr);
      EXPECT_EQ(record->failed, inject || c.refused);
      EXPECT_EQ(record->injected, inject);
      EXPECT_EQ(injected_records, emu::InjectedFailures());
    }
  }
}

TEST_F(EmulatedFaults, AFailedCloseStillReleasesTheHandle) {
  ASSERT_TRUE(emu::MakeFile(u"C:\\Work\\file.bin", "x"));
  // Exclusive, so that a handle that stayed behind would refuse the next open.
  HANDLE file =
      CreateFileW(u"C:\\Work\\file.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  emu::InjectFault({emu::Op::CloseHandle, 1, false, ERROR_INVALID_HANDLE});
  EXPECT_FALSE(CloseHandle(file));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(emu::OpenHandles(), 0u);
  HANDLE again =
      CreateFileW(u"C:\\Work\\file.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  // Counted since the start of the test: this is the third CloseHandle.
  emu::InjectFault({emu::Op::CloseHandle, 3, false, ERROR_INVALID_HANDLE});
  EXPECT_FALSE(CloseHandle(token));
  EXPECT_EQ(emu::OpenHandles(), 0u);

  emu::CreateRegistryKey(HKEY_CURRENT_USER, kKey);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey.c_str(), 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  emu::InjectFault({emu::Op::RegCloseKey, 1, false, ERROR_INVALID_HANDLE});
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(emu::OpenHandles(), 0u);
}

TEST_F(EmulatedFaults, AStoppedProcessHasNoEffectAndItsEndClosesWhatItHeld) {
  const std::u16string kDoomed = u"C:\\Work\\doomed.bin";
  const std::u16string kKept = u"C:\\Work\\kept.bin";
  const std::u16string kOther = u"C:\\Work\\other.bin";
  ASSERT_TRUE(emu::MakeFile(kOther, "x"));
  const int other_process = emu::HoldOpen(kOther, GENERIC_READ, FILE_SHARE_READ);
  HANDLE doomed =
      CreateFileW(kDoomed.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  HANDLE kept = CreateFileW(kKept.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(doomed, INVALID_HANDLE_VALUE);
  ASSERT_NE(kept, INVALID_HANDLE_VALUE);
  FILE_DISPOSITION_INFO disposition = {TRUE};
  ASSERT_TRUE(
      SetFileInformationByHandle(doomed, FileDispositionInfo, &disposition, sizeof(disposition)));
  ASSERT_NE(LocalAlloc(LMEM_FIXED, 16), nullptr);

  // Stopped just before its next call: that call has no effect.
  emu::StopProcessAt(emu::CallCount() + 1);
  EXPECT_THROW(CreateDirectoryW(u"C:\\Work\\never", nullptr), emu::ProcessStopped);
  EXPECT_FALSE(emu::Exists(u"C:\\Work\\never\\"));
  EXPECT_TRUE(emu::Exists(kDoomed)) << "removed before the last handle closed";

  emu::EndProcess();
  EXPECT_FALSE(emu::Exists(kDoomed))
      << "the pending deletion must take effect when the process ends";
  EXPECT_TRUE(emu::Exists(kKept));
  EXPECT_EQ(emu::LocalBlocks(), 0u);
  EXPECT_EQ(emu::OpenHandles(), 0u);
  EXPECT_EQ(emu::CallCount(), 0u);
  HANDLE again = CreateFileW(kOther.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(again, INVALID_HANDLE_VALUE) << "another process's handle went with this one";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  emu::Release(other_process);
}

// --- success marker and clock ----------------------------------------------------------------

using EmulatedCalls = EmulatedTest;

TEST_F(EmulatedCalls, SuccessLeavesTheMarker) {
  ASSERT_TRUE(emu::MakeFile(kFile, "x"));
  auto expect_marker = [](const char* what, bool ok) {
    EXPECT_TRUE(ok) << what;
    EXPECT_EQ(GetLastError(), emu::kSuccessMarker) << what;
    SetLastError(0x77);
  };
  SetLastError(0x77);
  HANDLE file = CreateFileW(kFile.c_str(), FILE_READ_ATTRIBUTES | DELETE, kShareAll, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  expect_marker("CreateFileW", file != INVALID_HANDLE_VALUE);
  FILE_BASIC_INFO info = {};
  expect_marker("GetFileInformationByHandleEx",
                GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof(info)));
  FILE_DISPOSITION_INFO disposition = {FALSE};
  expect_marker(
      "SetFileInformationByHandle",
      SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)));
  expect_marker("CloseHandle", CloseHandle(file));
  WCHAR path[MAX_PATH];
  expect_marker("GetModuleFileNameW", GetModuleFileNameW(nullptr, path, MAX_PATH) != 0);
  expect_marker("CreateDirectoryW", CreateDirectoryW(u"C:\\Work\\Sub", nullptr));
  HANDLE token = nullptr;
  expect_marker("OpenProcessToken", OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  expect_marker("CloseHandle of the token", CloseHandle(token));
  void* block = LocalAlloc(LMEM_ZEROINIT, 32);
  expect_marker("LocalAlloc", block != nullptr);
  expect_marker("LocalFree", LocalFree(block) == nullptr);
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(u"stub.exe a", &count);
  expect_marker("CommandLineToArgvW", arguments != nullptr);
  LocalFree(arguments);

  // Opening an existing file with OPEN_ALWAYS succeeds and says that it existed.
  file = CreateFileW(kFile.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_ALWAYS, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(file);
}

using EmulatedClock = EmulatedTest;

TEST_F(EmulatedClock, SleepAdvancesTheClockAndReleasesDueHolders) {
  ASSERT_TRUE(emu::MakeFile(kFile, "x"));
  const int holder = emu::HoldOpen(kFile, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(holder, 0);
  emu::ReleaseAt(holder, 250);
  auto delete_open_refused = [] {
    HANDLE handle = CreateFileW(kFile.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                kRemovalFlags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(handle);
    return false;
  };
  EXPECT_EQ(emu::NowMilliseconds(), 0u);
  EXPECT_TRUE(delete_open_refused());
  Sleep(100);
  Sleep(0);
  EXPECT_EQ(emu::NowMilliseconds(), 100u);
  EXPECT_EQ(emu::SleepCalls(), 2u);
  Sleep(149);
  EXPECT_EQ(emu::NowMilliseconds(), 249u);
  EXPECT_TRUE(delete_open_refused()) << "released before its time";
  Sleep(1);
  EXPECT_EQ(emu::NowMilliseconds(), 250u);
  EXPECT_FALSE(delete_open_refused()) << "still held when the clock reached it";
}

}  // namespace
