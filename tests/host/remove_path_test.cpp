#include "workdir/remove_path.h"

#include "tests/host/emulated_test.h"

namespace {

const std::u16string kDir = u"C:\\Work\\";
const std::u16string kFile = u"C:\\Work\\setup.exe";

class RemovePathTest : public EmulatedTest {
 protected:
  void SetUp() override {
    EmulatedTest::SetUp();
    ASSERT_TRUE(emu::MakeDirectory(kDir));
  }
  static bool Remove(const std::u16string& path) { return RemovePathWithRetries(path.c_str()); }
};

TEST_F(RemovePathTest, AMissingPathIsGoneAtOnce) {
  for (const char16_t* path : {u"C:\\Work\\missing.exe", u"C:\\Nowhere\\missing.exe"}) {
    SCOPED_TRACE(Show(path));
    EXPECT_TRUE(Remove(path));
    EXPECT_EQ(emu::CallCount(emu::Op::SetFileInformationByHandle), 0u);
    EXPECT_EQ(emu::SleepCalls(), 0u);
  }
}

TEST_F(RemovePathTest, FilesAndEmptyDirectoriesGoWithoutAPause) {
  const struct {
    const char* name;
    std::u16string path;
    bool directory;
    DWORD attributes;
  } cases[] = {
      {"file", kFile, false, FILE_ATTRIBUTE_ARCHIVE},
      {"read-only file", kFile, false, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN},
      {"directory", u"C:\\Work\\VQ_00000.tmp", true, 0},
      {"directory with a trailing backslash", u"C:\\Work\\VQ_00000.tmp\\", true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    if (c.directory) {
      ASSERT_TRUE(emu::MakeDirectory(c.path));
    } else {
      ASSERT_TRUE(emu::MakeFile(c.path, "MZ", c.attributes));
    }
    EXPECT_TRUE(Remove(c.path));
    EXPECT_FALSE(emu::Exists(c.path));
    EXPECT_EQ(emu::SleepCalls(), 0u);
    EXPECT_EQ(emu::OpenHandles(), 0u);
  }
}

TEST_F(RemovePathTest, ALinkIsRemovedAsItselfAndItsTargetStays) {
  ASSERT_TRUE(emu::MakeFile(u"C:\\Data\\keep.txt", "precious"));
  ASSERT_TRUE(emu::MakeLink(u"C:\\Work\\file-link", u"C:\\Data\\keep.txt", false));
  ASSERT_TRUE(emu::MakeLink(u"C:\\Work\\dir-link", u"C:\\Data", true));
  EXPECT_TRUE(Remove(u"C:\\Work\\file-link"));
  EXPECT_TRUE(Remove(u"C:\\Work\\dir-link\\"));
  EXPECT_FALSE(emu::Exists(u"C:\\Work\\file-link"));
  EXPECT_FALSE(emu::Exists(u"C:\\Work\\dir-link"));
  EXPECT_EQ(emu::FileContent(u"C:\\Data\\keep.txt"), "precious");
}

TEST_F(RemovePathTest, ABusyFileIsRetriedEvery100MsUntilReleased) {
  ASSERT_TRUE(emu::MakeFile(kFile));
  const int holder = emu::HoldOpen(kFile, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(holder, 0);
  emu::ReleaseAt(holder, 450);
  EXPECT_TRUE(Remove(kFile));
  EXPECT_FALSE(emu::Exists(kFile));
  EXPECT_EQ(emu::SleepCalls(), 5u);
  EXPECT_EQ(emu::NowMilliseconds(), 500u);
}

TEST_F(RemovePathTest, ANonEmptyDirectoryIsRemovedOnceItsLastFileGoes) {
  const std::u16string dir = u"C:\\Work\\VQ_00000.tmp\\";
  const std::u16string file = dir + u"setup.exe";
  ASSERT_TRUE(emu::MakeFile(file));
  // Another process still holds the file whose deletion is pending.
  const int holder =
      emu::HoldOpen(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  HANDLE own =
      CreateFileW(file.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(own, INVALID_HANDLE_VALUE);
  FILE_DISPOSITION_INFO disposition = {TRUE};
  ASSERT_TRUE(
      SetFileInformationByHandle(own, FileDispositionInfo, &disposition, sizeof(disposition)));
  ASSERT_TRUE(CloseHandle(own));
  ASSERT_TRUE(emu::IsDeletePending(file));
  emu::ReleaseAt(holder, 300);
  EXPECT_TRUE(Remove(dir));
  EXPECT_FALSE(emu::Exists(dir));
  EXPECT_EQ(emu::SleepCalls(), 3u);
}

TEST_F(RemovePathTest, GivesUpAfter100AttemptsAnd99Pauses) {
  const struct {
    const char* name;
    void (*arrange)();
    std::u16string path;
  } cases[] = {
      {"held without delete sharing", [] { emu::HoldOpen(kFile, GENERIC_READ, FILE_SHARE_READ); },
       kFile},
      {"directory that keeps a file", [] { emu::MakeFile(u"C:\\Work\\other.txt"); }, kDir},
      {"denied without being read-only", [] { emu::DenyDelete(kFile); }, kFile},
      {"disposition accepted, file kept", [] { emu::KeepFilesAcceptedForDeletion(true); }, kFile},
      {"read-only bit accepted, not kept", [] { emu::IgnoreAttributeWrites(true); },
       u"C:\\Work\\readonly.exe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(kFile));
    ASSERT_TRUE(emu::MakeFile(u"C:\\Work\\readonly.exe", "", FILE_ATTRIBUTE_READONLY));
    c.arrange();
    EXPECT_FALSE(Remove(c.path));
    EXPECT_TRUE(emu::Exists(c.path));
    EXPECT_EQ(emu::SleepCalls(), 99u);
    EXPECT_EQ(emu::NowMilliseconds(), 9900u);
    EXPECT_LE(emu::CallCount(emu::Op::CreateFileW), 400u) << "the uncounted retries are bounded";
    EXPECT_EQ(emu::OpenHandles(), 0u);
  }
}

TEST_F(RemovePathTest, OtherErrorsEndTheRemovalAtOnce) {
  const struct {
    const char* name;
    std::u16string path;
    emu::Fault fault;
  } cases[] = {
      {"invalid name", u"C:\\Work\\a|b", {}},
      {"open fails otherwise", kFile, {emu::Op::CreateFileW, 1, true, ERROR_INVALID_PARAMETER}},
      {"disposition fails otherwise",
       kFile,
       {emu::Op::SetFileInformationByHandle, 1, true, ERROR_NOT_SUPPORTED}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(kFile));
    emu::InjectFault(c.fault);
    EXPECT_FALSE(Remove(c.path));
    EXPECT_EQ(emu::SleepCalls(), 0u);
    EXPECT_EQ(emu::OpenHandles(), 0u);
  }
  emu::ClearFaults();
  EXPECT_TRUE(emu::Exists(kFile));
}

TEST_F(RemovePathTest, AFileWhoseOnlyAttributeIsReadOnlyIsRemoved) {
  // Clearing the bit leaves no attribute, which the platform reads as "unchanged" when written as
  // 0.
  ASSERT_TRUE(emu::MakeFile(kFile, "", FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(Remove(kFile));
  EXPECT_FALSE(emu::Exists(kFile));
  EXPECT_EQ(emu::SleepCalls(), 0u);
}

TEST_F(RemovePathTest, AFailedAttributeStepOnlyLeadsToTheCountedPause) {
  ASSERT_TRUE(emu::MakeFile(kFile, "", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  // The first attribute open fails; the next round clears the bit and removes the file.
  emu::InjectFault({emu::Op::GetFileInformationByHandleEx, 1, false, ERROR_ACCESS_DENIED});
  EXPECT_TRUE(Remove(kFile));
  EXPECT_FALSE(emu::Exists(kFile));
  EXPECT_EQ(emu::SleepCalls(), 1u);
}

// Another process swaps the name being removed for a link or junction to something precious, at
// every point between two of the removal's platform calls: what goes is the stub's own file or
// the link, never what the link points to.
// Host only: under Wine a delete disposition through a link opened as itself removes the target,
// and CreateSymbolicLinkW creates nothing.
TEST_F(RemovePathTest, ALinkSwappedInAtAnyCallIsRemovedAndItsTargetStays) {
  const std::u16string data = u"C:\\Data\\";
  const std::u16string precious = data + u"keep.txt";
  const struct {
    const char* name;
    std::u16string path;  // what the stub removes
    bool directory;
    DWORD attributes;
    std::u16string target;
  } cases[] = {
      {"file for a file link", kFile, false, FILE_ATTRIBUTE_ARCHIVE, precious},
      // Read-only: the removal also opens for attributes and writes them back.
      {"read-only file for a file link", kFile, false, FILE_ATTRIBUTE_READONLY, precious},
      {"directory for a junction", u"C:\\Work\\VQ_00000.tmp\\", true, 0, data},
      {"directory without its backslash for a junction", u"C:\\Work\\VQ_00000.tmp", true, 0, data},
  };
  for (const auto& c : cases) {
    // A removal that nobody disturbs, for the number of calls to sweep.
    emu::Reset();
    ASSERT_TRUE(c.directory ? emu::MakeDirectory(c.path)
                            : emu::MakeFile(c.path, "MZ", c.attributes));
    ASSERT_TRUE(Remove(c.path));
    const uint64_t calls = emu::CallCount();
    uint64_t swaps = 0;
    for (uint64_t k = 1; k <= calls; ++k) {
      SCOPED_TRACE(std::string(c.name) + ", swapped before call " + std::to_string(k));
      emu::Reset();
      ASSERT_TRUE(emu::MakeFile(precious, "precious", FILE_ATTRIBUTE_READONLY));
      ASSERT_TRUE(c.directory ? emu::MakeDirectory(c.path)
                              : emu::MakeFile(c.path, "MZ", c.attributes));
      ASSERT_TRUE(emu::MakeDirectory(u"C:\\Elsewhere\\"));
      std::u16string name = c.path;
      if (name.back() == u'\\') name.pop_back();
      bool swapped = false;
      emu::RunBeforeCall(k, [&] {
        // A rename is refused once the deletion is pending; then there is nothing to swap.
        swapped = emu::Rename(name, u"C:\\Elsewhere\\moved") &&
                  emu::MakeLink(name, c.target, c.directory);
      });
      EXPECT_TRUE(Remove(c.path));
      swaps += swapped;
      EXPECT_FALSE(emu::Exists(name)) << (swapped ? "the link stayed" : "the name stayed");
      EXPECT_EQ(emu::FileContent(precious), "precious");
      EXPECT_EQ(emu::Attributes(precious), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))
          << "the target's read-only bit was cleared";
      EXPECT_EQ(emu::ListDirectory(data), std::vector<std::u16string>{u"keep.txt"});
      EXPECT_EQ(emu::OpenHandles(), 0u);
    }
    EXPECT_GE(swaps, 2u) << c.name << ": the sweep swapped almost nothing";
  }
}

// A link in the middle of the path is followed, as the platform resolves every component but
// the last: the removal takes the file of that name behind it. Nothing in the removal can tell;
// the work directory's access list is what keeps others from planting such a link in it.
TEST_F(RemovePathTest, ALinkInTheMiddleOfThePathIsFollowed) {
  ASSERT_TRUE(emu::MakeFile(u"C:\\Data\\setup.exe", "theirs"));
  ASSERT_TRUE(emu::MakeLink(u"C:\\Work\\VQ_00000.tmp", u"C:\\Data", true));
  EXPECT_TRUE(Remove(u"C:\\Work\\VQ_00000.tmp\\setup.exe"));
  EXPECT_FALSE(emu::Exists(u"C:\\Data\\setup.exe"));
  EXPECT_TRUE(emu::Exists(u"C:\\Work\\VQ_00000.tmp"));
}

}  // namespace
