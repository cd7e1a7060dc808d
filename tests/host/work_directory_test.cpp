#include "workdir/work_directory.h"

#include <algorithm>
#include <regex>
#include <vector>

#include "tests/host/emulated_test.h"

namespace {

const std::u16string kBase = u"C:\\Installer\\";
const std::u16string kOwner = u"S-1-5-21-1004336348-1177238915-682003330-513";
const std::u16string kUser = u"S-1-5-21-1004336348-1177238915-682003330-1000";

// The access list as the platform reads it back: ACE flags in canonical order.
std::u16string ExpectedAccessList(const std::u16string& owner) {
  return u"D:PAI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)(A;OICIIO;GA;;;CO)(A;;"
         u"FA;;;" +
         owner + u")";
}

class WorkDirectoryTest : public EmulatedTest {
 protected:
  void SetUp() override {
    EmulatedTest::SetUp();
    emu::SetToken(kUser, kOwner);
    ASSERT_TRUE(emu::MakeDirectory(kBase));
  }

  // Creates the work directory under base and hands back the result.
  RunResult Create(const std::u16string& base, std::u16string* path = nullptr) {
    PathBuffer work_directory;
    const RunResult result = CreateUniqueWorkDirectory(base.c_str(), work_directory);
    if (path != nullptr) *path = work_directory.Text();
    return result;
  }

  static size_t DirectoriesCreated() {
    size_t created = 0;
    for (const auto& call : emu::Calls())
      created += call.op == emu::Op::CreateDirectoryW && !call.failed;
    return created;
  }
};

TEST_F(WorkDirectoryTest, CreatesARandomlyNamedDirectoryWithTheOwnersAccessList) {
  std::u16string path;
  ASSERT_EQ(Create(kBase, &path), StubExitCode::SUCCESS);
  EXPECT_TRUE(std::regex_match(Show(path), std::regex(R"(C:\\Installer\\VQ_[0-9A-F]{5}\.tmp\\)")))
      << Show(path);
  EXPECT_TRUE(emu::Exists(path));
  EXPECT_EQ(Show(emu::SecurityText(path)), Show(ExpectedAccessList(kOwner)))
      << "the last entry names the token's default owner, not its user";
  EXPECT_EQ(emu::ListDirectory(kBase).size(), 1u);
}

TEST_F(WorkDirectoryTest, NamesAreUppercaseHexAndSpreadOverSeeds) {
  std::vector<std::u16string> names;
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    emu::Reset();
    ASSERT_TRUE(emu::MakeDirectory(kBase));
    emu::SeedRandom(seed);
    std::u16string path;
    ASSERT_EQ(Create(kBase, &path), StubExitCode::SUCCESS);
    EXPECT_TRUE(
        std::regex_match(Show(path), std::regex(R"(C:\\Installer\\VQ_[0-9A-F]{5}\.tmp\\)")));
    names.push_back(path);
  }
  std::sort(names.begin(), names.end());
  EXPECT_GT(std::unique(names.begin(), names.end()) - names.begin(), 30);
}

TEST_F(WorkDirectoryTest, TheNameTakesBothDigitsOfTwoBytesAndTheHighDigitOfTheThird) {
  emu::ScriptRandom({0x3F, 0xA0, 0x5C, 0x77});
  std::u16string path;
  ASSERT_EQ(Create(kBase, &path), StubExitCode::SUCCESS);
  EXPECT_EQ(Show(path), "C:\\Installer\\VQ_3FA05.tmp\\");
}

TEST_F(WorkDirectoryTest, ABaseOf246UnitsFitsAndOneOf247FailsBeforeAnyQuery) {
  const std::u16string longest = DirectoryOfLength(246);
  ASSERT_EQ(longest.size(), 246u);
  ASSERT_TRUE(emu::MakeDirectory(longest));
  std::u16string path;
  ASSERT_EQ(Create(longest, &path), StubExitCode::SUCCESS);
  EXPECT_EQ(path.size(), 259u);
  EXPECT_TRUE(emu::Exists(path));

  emu::Reset();
  const std::u16string too_long = DirectoryOfLength(247);
  ASSERT_EQ(too_long.size(), 247u);
  ASSERT_TRUE(emu::MakeDirectory(too_long));
  EXPECT_EQ(Create(too_long), StubExitCode::PATH_TOO_LONG);
  EXPECT_EQ(emu::CallCount(), 0u) << "no volume query, token read or random draw";
}

TEST_F(WorkDirectoryTest, ABaseThatDoesNotFitAPathBufferIsTooLong) {
  const std::u16string base = u"C:\\" + std::u16string(300, u'x') + u"\\";
  EXPECT_EQ(Create(base), StubExitCode::PATH_TOO_LONG);
  EXPECT_EQ(emu::CallCount(), 0u);
}

TEST_F(WorkDirectoryTest, AVolumeWithoutAccessListsGetsNoDescriptorAndNoTokenQuery) {
  emu::AddVolume(u'D', false);
  ASSERT_TRUE(emu::MakeDirectory(u"D:\\Setup\\"));
  std::u16string path;
  ASSERT_EQ(Create(u"D:\\Setup\\", &path), StubExitCode::SUCCESS);
  EXPECT_EQ(emu::CallCount(emu::Op::OpenProcessToken), 0u);
  EXPECT_EQ(emu::CallCount(emu::Op::ConvertStringSecurityDescriptorToSecurityDescriptorW), 0u);
  for (const auto& call : emu::Calls()) {
    if (call.op == emu::Op::CreateDirectoryW) {
      EXPECT_FALSE(call.had_security);
    }
  }
  EXPECT_TRUE(emu::Exists(path));
}

TEST_F(WorkDirectoryTest, AVolumeThatCannotBeAskedIsTreatedAsOneWithoutAccessLists) {
  for (emu::Op op : {emu::Op::GetVolumePathNameW, emu::Op::GetVolumeInformationW}) {
    SCOPED_TRACE(emu::OpName(op));
    emu::Reset();
    ASSERT_TRUE(emu::MakeDirectory(kBase));
    emu::InjectFault({op, 1, false, ERROR_NOT_READY});
    std::u16string path;
    ASSERT_EQ(Create(kBase, &path), StubExitCode::SUCCESS);
    EXPECT_EQ(emu::CallCount(emu::Op::OpenProcessToken), 0u);
    EXPECT_TRUE(emu::SecurityText(path).empty());
  }
}

TEST_F(WorkDirectoryTest, AnOwnerTextOf206UnitsFitsTheAccessListAnd207DoNot) {
  const std::u16string prefix = u"S-1-5-21";
  for (size_t length : {206u, 207u}) {
    SCOPED_TRACE(length);
    emu::Reset();
    ASSERT_TRUE(emu::MakeDirectory(kBase));
    std::u16string owner = prefix;
    while (owner.size() < length) owner += owner.size() % 10 == 0 ? u'-' : u'7';
    if (owner.back() == u'-') owner.back() = u'7';
    ASSERT_EQ(owner.size(), length);
    emu::SetOwnerSidText(owner);
    std::u16string path;
    const RunResult result = Create(kBase, &path);
    if (length == 206) {
      ASSERT_EQ(result, StubExitCode::SUCCESS);
      EXPECT_EQ(Show(emu::SecurityText(path)), Show(ExpectedAccessList(owner)));
    } else {
      EXPECT_EQ(result, StubExitCode::WORK_DIRECTORY_SECURITY_FAILED);
      EXPECT_EQ(emu::CallCount(emu::Op::ConvertStringSecurityDescriptorToSecurityDescriptorW), 0u);
      EXPECT_EQ(emu::CallCount(emu::Op::CreateDirectoryW), 0u);
    }
  }
}

TEST_F(WorkDirectoryTest, EveryFailureWhileBuildingTheAccessListGives117AndCreatesNothing) {
  const struct {
    emu::Op op;
    uint64_t nth;
    DWORD error;
  } cases[] = {
      {emu::Op::OpenProcessToken, 1, ERROR_ACCESS_DENIED},
      {emu::Op::GetTokenInformation, 1, ERROR_ACCESS_DENIED},  // the size query, not 122
      {emu::Op::GetTokenInformation, 2, ERROR_ACCESS_DENIED},
      {emu::Op::LocalAlloc, 1, ERROR_NOT_ENOUGH_MEMORY},
      {emu::Op::ConvertSidToStringSidW, 1, ERROR_NOT_ENOUGH_MEMORY},
      {emu::Op::ConvertStringSecurityDescriptorToSecurityDescriptorW, 1, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(emu::OpName(c.op)) + " #" + std::to_string(c.nth));
    emu::Reset();
    ASSERT_TRUE(emu::MakeDirectory(kBase));
    emu::InjectFault({c.op, c.nth, false, c.error});
    EXPECT_EQ(Create(kBase), StubExitCode::WORK_DIRECTORY_SECURITY_FAILED);
    EXPECT_EQ(emu::InjectedFailures(), 1u);
    EXPECT_EQ(emu::CallCount(emu::Op::CreateDirectoryW), 0u);
    EXPECT_TRUE(emu::ListDirectory(kBase).empty());
    EXPECT_EQ(emu::OpenHandles(), 0u);
    EXPECT_EQ(emu::LocalBlocks(), 0u);
  }
}

TEST_F(WorkDirectoryTest, ATakenNameMakesTheNextAttemptDrawNewDigitsWithTheSameStem) {
  ASSERT_TRUE(emu::MakeDirectory(kBase + u"VQ_12345.tmp\\"));
  emu::ScriptRandom({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0});
  std::u16string path;
  ASSERT_EQ(Create(kBase, &path), StubExitCode::SUCCESS);
  EXPECT_EQ(Show(path), "C:\\Installer\\VQ_9ABCD.tmp\\");
  EXPECT_TRUE(emu::SecurityText(kBase + u"VQ_12345.tmp").empty())
      << "the existing directory was adopted";
  EXPECT_EQ(emu::CallCount(emu::Op::SystemFunction036), 2u);
}

TEST_F(WorkDirectoryTest, TenFailedAttemptsGive109AndReleaseTheDescriptor) {
  ASSERT_TRUE(emu::MakeDirectory(kBase + u"VQ_00000.tmp\\"));
  emu::ScriptRandom(std::vector<uint8_t>(44, 0));  // the same taken name every time
  EXPECT_EQ(Create(kBase), StubExitCode::NO_WORK_DIRECTORY);
  EXPECT_EQ(emu::CallCount(emu::Op::CreateDirectoryW), 10u);
  EXPECT_EQ(DirectoriesCreated(), 0u);
  EXPECT_EQ(emu::NowMilliseconds(), 0u) << "the attempts follow each other without a pause";

  emu::Reset();
  ASSERT_TRUE(emu::MakeDirectory(kBase));
  emu::DenyCreateIn(kBase);
  EXPECT_EQ(Create(kBase), StubExitCode::NO_WORK_DIRECTORY);
  EXPECT_EQ(emu::CallCount(emu::Op::CreateDirectoryW), 10u);
}

TEST_F(WorkDirectoryTest, AFailingGeneratorNamesTheDirectoryFromClearedBytes) {
  emu::InjectFault({emu::Op::SystemFunction036, 1, true, 0});
  std::u16string path;
  ASSERT_EQ(Create(kBase, &path), StubExitCode::SUCCESS);
  EXPECT_EQ(Show(path), "C:\\Installer\\VQ_00000.tmp\\");
}

TEST_F(WorkDirectoryTest, TheDescriptorIsGivenAtCreation) {
  std::u16string path;
  ASSERT_EQ(Create(kBase, &path), StubExitCode::SUCCESS);
  size_t with_security = 0;
  for (const auto& call : emu::Calls()) {
    if (call.op == emu::Op::CreateDirectoryW) with_security += call.had_security;
  }
  EXPECT_EQ(with_security, 1u);
  EXPECT_EQ(emu::CallCount(emu::Op::SetFileInformationByHandle), 0u)
      << "no access list set afterwards";
}

// What others may have planted under the first candidate names: each attempt meets a name that
// exists, draws new digits, and never takes over what it met, whatever that is.
// Host only: the names come from the system's generator, which a test under Wine cannot steer,
// and Wine keeps no access list and makes no links.
TEST_F(WorkDirectoryTest, PlantedCandidatesAreSkippedNeverAdopted) {
  enum class Planted { kDirectory, kDirectoryDenyingAll, kJunction };
  const struct {
    const char* name;
    Planted planted;
  } kinds[] = {
      {"directory", Planted::kDirectory},
      {"directory whose access list denies everyone", Planted::kDirectoryDenyingAll},
      {"junction to a directory elsewhere", Planted::kJunction},  // a directory reparse point
  };
  const std::u16string target = u"C:\\Target\\";
  for (const auto& kind : kinds) {
    for (int taken = 1; taken <= 10; ++taken) {
      SCOPED_TRACE(std::string(kind.name) + ", " + std::to_string(taken) + " taken");
      emu::Reset();
      emu::SetToken(kUser, kOwner);
      ASSERT_TRUE(emu::MakeDirectory(kBase));
      ASSERT_TRUE(emu::MakeDirectory(target));
      // Attempt i draws bytes i, i, i, i: the name VQ_iiiii.tmp, i in 1 to B.
      std::vector<uint8_t> bytes;
      std::vector<std::u16string> planted;
      for (int attempt = 1; attempt <= 11; ++attempt) {
        bytes.insert(bytes.end(), 4, static_cast<uint8_t>(attempt * 0x11));
        std::u16string digits(5, u"0123456789AB"[attempt]);
        if (attempt <= taken) planted.push_back(kBase + u"VQ_" + digits + u".tmp");
      }
      emu::ScriptRandom(bytes);
      for (const auto& path : planted) {
        switch (kind.planted) {
          case Planted::kDirectory:
            ASSERT_TRUE(emu::MakeDirectory(path));
            break;
          case Planted::kDirectoryDenyingAll:
            ASSERT_TRUE(emu::MakeDirectoryDenyingAll(path));
            break;
          case Planted::kJunction:
            ASSERT_TRUE(emu::MakeLink(path, target, true));
            break;
        }
      }
      const std::vector<std::u16string> before = emu::ListTree();
      std::vector<std::u16string> security_before;
      for (const auto& path : planted) security_before.push_back(emu::SecurityText(path));

      std::u16string path;
      const RunResult result = Create(kBase, &path);
      EXPECT_EQ(emu::CallCount(emu::Op::SystemFunction036),
                static_cast<uint64_t>(taken < 10 ? taken + 1 : 10))
          << "one new draw per attempt";
      std::vector<std::u16string> tried;
      for (const auto& call : emu::Calls()) {
        if (call.op == emu::Op::CreateDirectoryW) tried.push_back(call.text);
      }
      ASSERT_GE(tried.size(), planted.size() < 10 ? planted.size() : 10);
      // Each name is tried through the extended form of its path.
      for (size_t i = 0; i < planted.size() && i < 10; ++i)
        EXPECT_EQ(Show(tried[i]), Show(u"\\\\?\\" + planted[i]));
      for (size_t i = 0; i < planted.size(); ++i) {
        EXPECT_EQ(Show(emu::SecurityText(planted[i])), Show(security_before[i]))
            << "an access list was set";
      }
      if (taken < 10) {
        ASSERT_EQ(result, StubExitCode::SUCCESS);
        const std::u16string expected(5, u"0123456789AB"[taken + 1]);
        EXPECT_EQ(Show(path), Show(kBase + u"VQ_" + expected + u".tmp\\"));
        std::vector<std::u16string> after_expected = before;
        after_expected.push_back(path);
        std::sort(after_expected.begin(), after_expected.end());
        EXPECT_EQ(emu::ListTree(), after_expected) << "only the new directory was made";
      } else {
        EXPECT_EQ(result, StubExitCode::NO_WORK_DIRECTORY);
        EXPECT_EQ(DirectoriesCreated(), 0u);
        EXPECT_EQ(emu::ListTree(), before);
      }
      EXPECT_TRUE(emu::ListDirectory(target).empty()) << "something was made through the junction";
      EXPECT_EQ(emu::LocalBlocks(), 0u) << "the descriptor was not released";
    }
  }
}

// The text handed to the conversion, before the platform canonicalises it, when the token's
// default owner is not its user: the fixed entries, then the owner, not the user.
TEST_F(WorkDirectoryTest, TheAccessListTextNamesTheDefaultOwnerExactly) {
  ASSERT_NE(kOwner, kUser);
  std::u16string path;
  ASSERT_EQ(Create(kBase, &path), StubExitCode::SUCCESS);
  std::vector<std::u16string> texts;
  for (const auto& call : emu::Calls()) {
    if (call.op == emu::Op::ConvertStringSecurityDescriptorToSecurityDescriptorW)
      texts.push_back(call.text);
  }
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(
      Show(texts[0]),
      "D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;"
      "S-1-5-21-1004336348-1177238915-682003330-513)");
}

}  // namespace

// The work directory is created through the extended form of its path, so that Windows' default
// 247-unit limit for directories never comes short of the stub's own 259.
TEST(ExtendedPath, PrefixesDrivesAndSharesAndKeepsWhatHasIt) {
  const struct {
    std::u16string path;
    std::u16string extended;
  } cases[] = {
      {u"C:\\app\\VQ_12345.tmp", u"\\\\?\\C:\\app\\VQ_12345.tmp"},
      {u"\\\\server\\share\\VQ_12345.tmp", u"\\\\?\\UNC\\server\\share\\VQ_12345.tmp"},
      {u"\\\\?\\C:\\app\\VQ_12345.tmp", u"\\\\?\\C:\\app\\VQ_12345.tmp"},
      {u"\\\\?\\UNC\\server\\share\\x", u"\\\\?\\UNC\\server\\share\\x"},
      {u"\\\\.\\device\\x", u"\\\\.\\device\\x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.path));
    FixedWideBuffer<kExtendedPathUnits> extended;
    ASSERT_TRUE(ToExtendedPath(c.path.c_str(), extended.Text(), extended.Capacity()));
    EXPECT_EQ(Show(extended.Text()), Show(c.extended));
  }
  // The longest work directory a path buffer holds, on a share, fits the extended buffer.
  const std::u16string share = u"\\\\" + std::u16string(257, u's');
  FixedWideBuffer<kExtendedPathUnits> extended;
  EXPECT_TRUE(ToExtendedPath(share.c_str(), extended.Text(), extended.Capacity()));
  EXPECT_FALSE(ToExtendedPath(share.c_str(), extended.Text(), share.size() + 5))
      << "one unit short of the prefix, the path and its terminator";
}
