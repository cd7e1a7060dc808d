#include <algorithm>
#include <string>
#include <vector>

#include "payload/cabinet_expansion.h"
#include "payload/extract_payload.h"
#include "payload/output_file.h"
#include "payload/resource_scan.h"
#include "tests/host/emulated_test.h"

namespace {

const std::u16string kWork = u"C:\\Installer\\VQ_12345.tmp\\";

emu::CabinetStep Notify(FDINOTIFICATIONTYPE type) {
  emu::CabinetStep step;
  step.type = type;
  return step;
}

emu::CabinetStep ReadFailure() {
  emu::CabinetStep step;
  step.kind = emu::CabinetStep::Kind::kReadFailure;
  return step;
}

class PayloadTest : public EmulatedTest {
 protected:
  void SetUp() override {
    EmulatedTest::SetUp();
    ASSERT_TRUE(emu::MakeDirectory(kWork));
  }

  struct Extraction {
    RunResult result;
    std::u16string setup_path, archive_name, archive_type;
  };
  static Extraction Extract(const std::u16string& work = kWork) {
    PathBuffer setup_path, archive_name;
    ResourceTypeBuffer archive_type;
    Extraction out;
    out.result = ExtractPayload(emu::Image(), work.c_str(), setup_path, archive_name, archive_type);
    out.setup_path = setup_path.Text();
    out.archive_name = archive_name.Text();
    out.archive_type = archive_type.Text();
    return out;
  }
};

// --- the scan, judged through the extraction's exit code ---------------------------------------

struct Entry {
  const char16_t* type;
  std::u16string name;  // empty: a numbered entry
  std::string bytes;
};

struct ScanCase {
  const char* name;
  std::vector<Entry> entries;
  RunResult result;
  const char16_t* archive_type;
  const char16_t* setup_file;  // in the work directory after success
};

TEST_F(PayloadTest, TheScanOfTheThreeTypesDecidesTheExitCode) {
  const std::string exe = "MZ plain setup";
  const std::u16string name259(259, u'N'), name260(260, u'N');
  const std::vector<ScanCase> cases = {
      {"shipped layout",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"}, {u"BL", u"SETUP.EX_", "MSCF"}},
       0,
       u"B7",
       u"setup.exe"},
      {"plain setup",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"}, {u"BN", u"SETUP.EXE", exe}},
       0,
       u"B7",
       u"setup.exe"},
      {"setup under B7 keeps its name",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"}, {u"B7", u"SETUP.BIN", exe}},
       0,
       u"B7",
       u"SETUP.BIN"},
      {"both under BL",
       {{u"BL", u"NIMBET.PACKED.7Z", "7z"}, {u"BL", u"SETUP.EX_", "MSCF"}},
       0,
       u"BL",
       u"setup.exe"},
      {"archive under BN",
       {{u"BN", u"NIMBET.7Z", "7z"}, {u"BL", u"SETUP.EX_", "MSCF"}},
       0,
       u"BN",
       u"setup.exe"},
      {"small letters",
       {{u"B7", u"nimbet.packed.7z", "7z"}, {u"BL", u"setup.ex_", "MSCF"}},
       0,
       u"B7",
       u"setup.exe"},
      {"nothing at all", {}, 112, u"", nullptr},
      {"setup without archive", {{u"BL", u"SETUP.EX_", "MSCF"}}, 112, u"", nullptr},
      {"archive without setup", {{u"B7", u"NIMBET.PACKED.7Z", "7z"}}, 115, u"B7", nullptr},
      {"part of a prefix",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"}, {u"BL", u"SET.EX_", "MSCF"}},
       115,
       u"B7",
       nullptr},
      {"unknown name after the archive in its type",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"}, {u"B7", u"README.TXT", "r"}},
       112,
       u"",
       nullptr},
      {"read-me under BL",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"},
        {u"BL", u"README.TXT", "r"},
        {u"BL", u"SETUP.EX_", "MSCF"}},
       115,
       u"B7",
       nullptr},
      {"second archive in the same type",
       {{u"B7", u"NIMBET.A", "7z"}, {u"B7", u"NIMBET.B", "7z"}, {u"BL", u"SETUP.EX_", "MSCF"}},
       112,
       u"",
       nullptr},
      {"second archive in a later type",
       {{u"B7", u"NIMBET.A", "7z"}, {u"BN", u"NIMBET.B", "7z"}, {u"BL", u"SETUP.EX_", "MSCF"}},
       115,
       u"B7",
       nullptr},
      {"second setup in a later type",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"},
        {u"BL", u"SETUP.EX_", "MSCF"},
        {u"BN", u"SETUP.EXE", exe}},
       115,
       u"B7",
       nullptr},
      {"archive name of 259 units",
       {{u"B7", u"NIMBET" + name259.substr(6), "7z"}, {u"BN", u"SETUP.EXE", exe}},
       0,
       u"B7",
       u"setup.exe"},
      {"archive name of 260 units",
       {{u"B7", u"NIMBET" + name260.substr(6), "7z"}, {u"BN", u"SETUP.EXE", exe}},
       112,
       u"",
       nullptr},
      {"setup name of 260 units",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"}, {u"BN", u"SETUP" + name260.substr(5), exe}},
       115,
       u"B7",
       nullptr},
      {"an empty setup counts as absent",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"}, {u"BN", u"SETUP.EXE", ""}},
       115,
       u"B7",
       nullptr},
      {"an empty resource ends its type",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"}, {u"BN", u"AAA.EMPTY", ""}, {u"BN", u"SETUP.EXE", exe}},
       115,
       u"B7",
       nullptr},
      {"a numbered entry ends its type",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"}, {u"BN", u"SETUP.EXE", exe}, {u"BN", u"", "x"}},
       0,
       u"B7",
       u"setup.exe"},
      {"other types are never looked at",
       {{u"B7", u"NIMBET.PACKED.7Z", "7z"}, {u"BN", u"SETUP.EXE", exe}, {u"BX", u"README", "r"}},
       0,
       u"B7",
       u"setup.exe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    ASSERT_TRUE(emu::MakeDirectory(kWork));
    emu::SetCabinetScript(emu::OneFileCabinet(exe));
    for (const auto& e : c.entries) {
      if (e.name.empty()) {
        emu::AddNumberedResource(e.type, 1, e.bytes);
      } else {
        emu::AddResource(e.type, e.name, e.bytes);
      }
    }
    const Extraction out = Extract();
    EXPECT_EQ(out.result, c.result);
    EXPECT_EQ(Show(out.archive_type), Show(c.archive_type));
    if (c.setup_file != nullptr) {
      EXPECT_EQ(Show(out.setup_path), Show(kWork + c.setup_file));
      EXPECT_EQ(emu::ListDirectory(kWork), std::vector<std::u16string>{c.setup_file})
          << "only setup's file";
      EXPECT_EQ(emu::FileContent(out.setup_path), exe);
    } else {
      EXPECT_TRUE(out.setup_path.empty()) << Show(out.setup_path);
      EXPECT_TRUE(emu::ListDirectory(kWork).empty());
    }
  }
}

TEST_F(PayloadTest, TheCollectorKeepsTheFirstOfTwoAndStopsTheScan) {
  PathBuffer archive, setup;
  ResourceBlob blob;
  PayloadCollector collector(archive, setup, blob);
  const uint8_t bytes[] = {1, 2, 3};
  const ResourceBlob first{bytes, 3}, second{bytes + 1, 2};
  EXPECT_TRUE(collector.VisitResource(u"Nimbet", first));
  EXPECT_TRUE(collector.VisitResource(u"Setup.exe", first));
  EXPECT_FALSE(collector.StoppedWithError());
  EXPECT_FALSE(collector.VisitResource(u"nimbet.other", second));
  EXPECT_TRUE(collector.StoppedWithError());
  EXPECT_FALSE(collector.VisitResource(u"SETUP2", second));
  EXPECT_EQ(Show(archive.Text()), "Nimbet");
  EXPECT_EQ(Show(setup.Text()), "Setup.exe");
  EXPECT_EQ(blob.data, bytes);
  EXPECT_EQ(blob.size, 3u);

  // A name that is neither stops a scan that has recorded nothing.
  PathBuffer no_archive, no_setup;
  ResourceBlob no_blob;
  PayloadCollector fresh(no_archive, no_setup, no_blob);
  EXPECT_FALSE(fresh.VisitResource(u"set", second));
  EXPECT_TRUE(fresh.StoppedWithError());
  EXPECT_EQ(no_blob.size, 0u);
}

// --- the output file ---------------------------------------------------------------------------

TEST_F(PayloadTest, WritesGoInChunksOfAtMost8MiB) {
  constexpr uint64_t kMiB = 1024 * 1024;
  const struct {
    uint64_t size;
    uint64_t calls;
  } cases[] = {{0, 0}, {1, 1}, {8 * kMiB, 1}, {8 * kMiB + 1, 2}, {20 * kMiB, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    emu::Reset();
    ASSERT_TRUE(emu::MakeDirectory(kWork));
    std::string bytes(c.size, '\0');
    for (size_t i = 0; i < bytes.size(); i += 4093) bytes[i] = static_cast<char>(i / 4093);
    const ResourceBlob blob{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
    ASSERT_TRUE(WriteResourceToFile(blob, (kWork + u"setup.exe").c_str()));
    EXPECT_EQ(emu::CallCount(emu::Op::WriteFile), c.calls);
    EXPECT_TRUE(emu::FileContent(kWork + u"setup.exe") == bytes);
  }
}

TEST_F(PayloadTest, APathOf260UnitsIsRefusedWithoutAPlatformCall) {
  const std::u16string path259 = kWork + std::u16string(259 - kWork.size(), u'f');
  const std::u16string path260 = path259 + u"f";
  OutputFile file;
  EXPECT_TRUE(file.OpenForWrite(path259.c_str()));
  file.Close();
  const uint64_t calls = emu::CallCount();
  SetLastError(4242);
  EXPECT_FALSE(file.OpenForWrite(path260.c_str()));
  EXPECT_EQ(emu::CallCount(), calls);
  EXPECT_EQ(GetLastError(), 4242u);
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(PayloadTest, TheOutputFileTruncatesHoldsItsFileAndOwnsOneHandle) {
  const std::u16string path = kWork + u"setup.exe";
  ASSERT_TRUE(emu::MakeFile(path, "an older, longer file"));
  OutputFile file;
  ASSERT_TRUE(file.OpenForWrite(path.c_str()));
  EXPECT_EQ(emu::FileContent(path), "");
  HANDLE other = CreateFileW(path.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // A second open closes the first file without a mark: it stays.
  ASSERT_TRUE(file.OpenForWrite((kWork + u"second").c_str()));
  EXPECT_TRUE(emu::Exists(path));
  file.Close();
  EXPECT_FALSE(file.MarkDeleteOnClose());
  EXPECT_EQ(file.Duplicate(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(emu::OpenHandles(), 0u);
}

TEST_F(PayloadTest, AFailedWriteLeavesNoFileAndKeepsItsErrorCode) {
  const std::u16string path = kWork + u"setup.exe";
  std::string bytes(3 * 1024 * 1024, 'x');
  const ResourceBlob blob{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
  const struct {
    const char* name;
    uint64_t space;
    bool short_writes;
    uint64_t calls;
  } cases[] = {
      {"full disk", 1000, false, 1},
      {"short write, then the failure", 1000, true, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    ASSERT_TRUE(emu::MakeDirectory(kWork));
    emu::SetDiskSpace(c.space, c.short_writes);
    EXPECT_FALSE(WriteResourceToFile(blob, path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(emu::CallCount(emu::Op::WriteFile), c.calls);
    EXPECT_FALSE(emu::Exists(path));
  }
}

TEST_F(PayloadTest, AWriteThatSucceedsWithNothingIsAFullDisk) {
  std::string bytes(100, 'x');
  const ResourceBlob blob{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
  // A full disk that first reports success with no byte written; retrying would never end.
  emu::SetDiskSpace(0, true);
  EXPECT_FALSE(WriteResourceToFile(blob, (kWork + u"setup.exe").c_str()));
  EXPECT_EQ(emu::CallCount(emu::Op::WriteFile), 1u) << "the empty success must end the write";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_FALSE(emu::Exists(kWork + u"setup.exe"));
}

// --- the cabinet expansion ---------------------------------------------------------------------

class CabinetTest : public PayloadTest {
 protected:
  void SetUp() override {
    PayloadTest::SetUp();
    ASSERT_TRUE(emu::MakeFile(cabinet_, "MSCF cabinet bytes"));
  }
  bool Expand() { return ExpandCabinet(cabinet_.c_str(), destination_.c_str()); }
  const std::u16string cabinet_ = kWork + u"SETUP.EX_";
  const std::u16string destination_ = kWork + u"setup.exe";
};

TEST_F(CabinetTest, TheFirstFileIsWrittenWhateverItsNameAndTheLibraryReadsTheCabinet) {
  emu::SetCabinetScript(emu::OneFileCabinet("setup bytes"));
  ASSERT_TRUE(Expand());
  EXPECT_EQ(emu::FileContent(destination_), "setup bytes");
  EXPECT_EQ(emu::Cabinet().cabinet_bytes, "MSCF cabinet bytes");
  EXPECT_EQ(emu::Cabinet().allocations_outstanding, 0u);
  EXPECT_EQ(emu::Cabinet().destroys, 1u);
  EXPECT_EQ(emu::Flushes(), 1u);
}

TEST_F(CabinetTest, TheCreationTimeIsTheStoredLocalTimeInUtcAndAttributesAreMasked) {
  const struct {
    USHORT attribs;
    DWORD attributes;
  } cases[] = {{0, FILE_ATTRIBUTE_ARCHIVE},
               {0x01, FILE_ATTRIBUTE_READONLY},
               {0x27, 0x27},
               {0xC0 | 0x02, FILE_ATTRIBUTE_HIDDEN}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attribs);
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(cabinet_, "MSCF"));
    emu::SetTimeZoneBias(120);
    // 2 November 2026, 23:32:38 local is 21:32:38 UTC.
    emu::SetCabinetScript(emu::OneFileCabinet("x", 0x5D62, 0xBC13, c.attribs));
    ASSERT_TRUE(Expand());
    EXPECT_EQ(emu::Attributes(destination_), c.attributes);
    HANDLE file = CreateFileW(destination_.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                              0, nullptr);
    FILE_BASIC_INFO info = {};
    ASSERT_TRUE(GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof(info)));
    CloseHandle(file);
    FILETIME utc = {};
    ASSERT_TRUE(DosDateTimeToFileTime(0x5D62, 0xBC13, &utc));
    const LONGLONG stored = (static_cast<LONGLONG>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
    EXPECT_EQ(info.CreationTime.QuadPart, stored - 120LL * 60 * 10000000);
    EXPECT_NE(info.LastWriteTime.QuadPart, info.CreationTime.QuadPart)
        << "only the creation time is set";
  }
}

TEST_F(CabinetTest, EveryNotificationGetsItsAnswer) {
  emu::CabinetScript script;
  for (int type : {0, 1, 4, 5, 6}) {
    emu::CabinetStep step;
    step.type = static_cast<FDINOTIFICATIONTYPE>(type);
    script.steps.push_back(step);
  }
  script.ignore_abort = true;
  const std::vector<INT_PTR> answers = {0, -1};
  emu::SetCabinetScript(script);
  EXPECT_FALSE(Expand());
  EXPECT_EQ(emu::Cabinet().answers, answers) << "a partial file ends the copy";
  for (int type : {4, 5, 6}) {
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(cabinet_, "MSCF"));
    emu::CabinetStep step;
    step.type = static_cast<FDINOTIFICATIONTYPE>(type);
    emu::SetCabinetScript({{step}, false, false});
    EXPECT_FALSE(Expand());
    ASSERT_EQ(emu::Cabinet().answers.size(), 1u);
    EXPECT_EQ(emu::Cabinet().answers[0], type == 5 ? 0 : -1) << type;
    EXPECT_FALSE(emu::Exists(destination_));
  }
}

// A library that sends what a self-contained cabinet never holds while the destination is open
// and partly written: the stub refuses it, and what was written does not stay.
TEST_F(CabinetTest, AStrayNotificationWhileTheFileIsOpenLeavesNoFile) {
  emu::CabinetStep write;
  write.kind = emu::CabinetStep::Kind::kWrite;
  write.bytes = "partly written";
  const struct {
    const char* name;
    std::vector<emu::CabinetStep> steps;
  } cases[] = {
      {"partial file", {Notify(fdintPARTIAL_FILE)}},
      {"next cabinet", {Notify(fdintNEXT_CABINET)}},
      {"unknown type 6", {Notify(static_cast<FDINOTIFICATIONTYPE>(6))}},
      // The enumeration's values only: a larger one is no value of the type in C++.
      {"unknown type 7", {Notify(static_cast<FDINOTIFICATIONTYPE>(7))}},
      // A second copy before the first file's close: the first file is never finished.
      {"second copy file", {Notify(fdintCOPY_FILE), write}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(cabinet_, "MSCF"));
    emu::CabinetScript script;
    script.steps = {Notify(fdintCABINET_INFO), Notify(fdintCOPY_FILE), write};
    script.steps.insert(script.steps.end(), c.steps.begin(), c.steps.end());
    script.steps.push_back(Notify(fdintCLOSE_FILE_INFO));
    emu::SetCabinetScript(script);
    EXPECT_FALSE(Expand());
    EXPECT_FALSE(emu::Exists(destination_)) << "the partly written file stayed";
    ASSERT_GE(emu::Cabinet().answers.size(), 3u);
    EXPECT_EQ(emu::Cabinet().answers[2], -1) << "the stray notification was accepted";
    EXPECT_EQ(emu::Cabinet().answers.size(), 3u) << "the copy went on";
    EXPECT_EQ(emu::Cabinet().allocations_outstanding, 0u);
  }
}

TEST_F(CabinetTest, OnlyTheFirstFileIsTakenEvenWhenTheLibraryIgnoresTheAbort) {
  emu::CabinetScript script = emu::OneFileCabinet("first");
  const emu::CabinetScript second = emu::OneFileCabinet("second");
  script.steps.insert(script.steps.end(), second.steps.begin() + 1, second.steps.end());
  script.ignore_abort = true;
  emu::SetCabinetScript(script);
  ASSERT_TRUE(Expand());
  EXPECT_EQ(emu::FileContent(destination_), "first");
  ASSERT_EQ(emu::Cabinet().answers.size(), 4u);
  EXPECT_EQ(emu::Cabinet().answers[3], 0) << "the second copy notification is skipped";
}

TEST_F(CabinetTest, AnExpansionThatFailsAfterTheOpenLeavesNoFile) {
  const struct {
    const char* name;
    emu::CabinetScript script;
  } cases[] = {
      {"damaged: the library stops",
       {{Notify(fdintCABINET_INFO), Notify(fdintCOPY_FILE), ReadFailure()}, false, false}},
      {"a cabinet without files", {{Notify(fdintCABINET_INFO)}, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(cabinet_, "MSCF"));
    emu::SetCabinetScript(c.script);
    EXPECT_FALSE(Expand());
    EXPECT_FALSE(emu::Exists(destination_));
  }
}

// A library that announces a second file before it closed the first: the destination is opened
// anew, and when that open fails the partly written first file must not stay behind.
TEST_F(CabinetTest, AFileAnnouncedBeforeTheLastWasClosedReplacesItOrLeavesNothing) {
  emu::CabinetStep partial, whole;
  partial.kind = whole.kind = emu::CabinetStep::Kind::kWrite;
  partial.bytes = "partial";
  whole.bytes = "whole";
  const std::vector<emu::CabinetStep> steps = {
      Notify(fdintCABINET_INFO),   Notify(fdintCOPY_FILE), partial, Notify(fdintCOPY_FILE), whole,
      Notify(fdintCLOSE_FILE_INFO)};
  for (bool second_open_fails : {false, true}) {
    SCOPED_TRACE(second_open_fails);
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(cabinet_, "MSCF"));
    emu::SetCabinetScript({steps, false, false, true});
    // CreateFileW: the library's open of the cabinet, the first destination, the second.
    if (second_open_fails)
      emu::InjectFault({emu::Op::CreateFileW, 3, false, ERROR_SHARING_VIOLATION});
    EXPECT_EQ(Expand(), !second_open_fails);
    if (second_open_fails) {
      EXPECT_FALSE(emu::Exists(destination_));
    } else {
      EXPECT_EQ(emu::FileContent(destination_), "whole");
    }
  }
}

TEST_F(CabinetTest, AWriteThatFailsFailsTheExpansionEvenIfTheLibraryCarriesOn) {
  for (bool library_ignores : {false, true}) {
    SCOPED_TRACE(library_ignores);
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(cabinet_, "MSCF"));
    emu::CabinetScript script = emu::OneFileCabinet(std::string(5000, 's'));
    script.ignore_write_failure = library_ignores;
    emu::SetCabinetScript(script);
    emu::SetDiskSpace(100, true);
    EXPECT_FALSE(Expand());
    EXPECT_FALSE(emu::Exists(destination_));
  }
}

TEST_F(CabinetTest, TheLibraryIsLoadedFromTheFirstCandidateThatExpandsAndLoads) {
  const std::u16string system32 = u"C:\\Windows\\system32\\cabinet.dll";
  const struct {
    const char* name;
    void (*arrange)();
    std::vector<std::u16string> loads_tried;
    uint64_t expansions;
  } cases[] = {
      {"WINDIR", [] {}, {system32}, 1},
      {"WINDIR too long, SYSTEMROOT",
       [] { emu::SetEnvironmentVariable(u"WINDIR", u"C:\\" + std::u16string(300, u'w')); },
       {system32},
       2},
      // Unexpanded, the first candidate is no full path and is never loaded.
      {"WINDIR unset, SYSTEMROOT", [] { emu::UnsetEnvironmentVariable(u"WINDIR"); }, {system32}, 2},
      {"only the fixed path",
       [] {
         emu::SetEnvironmentVariable(u"WINDIR", u"D:\\W");
         emu::SetEnvironmentVariable(u"SYSTEMROOT", u"D:\\S");
       },
       {u"D:\\W\\system32\\cabinet.dll", u"D:\\S\\system32\\cabinet.dll", system32},
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(cabinet_, "MSCF"));
    TheCabinetLibrary() = CabinetLibrary{};
    c.arrange();
    emu::SetCabinetScript(emu::OneFileCabinet("a"));
    ASSERT_TRUE(Expand());
    std::vector<std::u16string> tried;
    for (const auto& call : emu::Calls()) {
      if (call.op == emu::Op::LoadLibraryExW) tried.push_back(call.text);
    }
    EXPECT_EQ(tried, c.loads_tried);
    EXPECT_EQ(emu::CallCount(emu::Op::ExpandEnvironmentStringsW), c.expansions);
  }
}

// The library is loaded by full path only: a variable that is missing, empty or relative would
// otherwise make the loader search for cabinet.dll, the installer's own directory first.
TEST_F(CabinetTest, TheLibraryIsLoadedOnlyByAFullPath) {
  const struct {
    const char* name;
    const char16_t* windir;  // null: unset
    const char16_t* systemroot;
    const char16_t* loaded;
  } cases[] = {
      {"both unset", nullptr, nullptr, u"C:\\Windows\\system32\\cabinet.dll"},
      {"both empty", u"", u"", u"C:\\Windows\\system32\\cabinet.dll"},
      {"relative", u"Windows", u".\\Windows", u"C:\\Windows\\system32\\cabinet.dll"},
      {"drive-relative", u"C:Windows", u"C:", u"C:\\Windows\\system32\\cabinet.dll"},
      {"rooted without a drive", u"\\Windows", u"/Windows", u"C:\\Windows\\system32\\cabinet.dll"},
      {"relative, then a full SYSTEMROOT", u"Windows", u"D:\\Win",
       u"D:\\Win\\system32\\cabinet.dll"},
      {"a share", u"\\\\server\\share\\Windows", nullptr,
       u"\\\\server\\share\\Windows\\system32\\cabinet.dll"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    ASSERT_TRUE(emu::MakeFile(cabinet_, "MSCF"));
    TheCabinetLibrary() = CabinetLibrary{};
    if (c.windir == nullptr) {
      emu::UnsetEnvironmentVariable(u"WINDIR");
    } else {
      emu::SetEnvironmentVariable(u"WINDIR", c.windir);
    }
    if (c.systemroot == nullptr) {
      emu::UnsetEnvironmentVariable(u"SYSTEMROOT");
    } else {
      emu::SetEnvironmentVariable(u"SYSTEMROOT", c.systemroot);
    }
    // Loadable wherever the loader would look, so that only the stub's choice decides.
    emu::PlaceCabinetLibrary({c.loaded, u"%WINDIR%\\system32\\cabinet.dll",
                              u"Windows\\system32\\cabinet.dll", u"\\system32\\cabinet.dll",
                              u"C:Windows\\system32\\cabinet.dll"});
    emu::SetCabinetScript(emu::OneFileCabinet("a"));
    ASSERT_TRUE(Expand());
    std::vector<std::u16string> tried;
    for (const auto& call : emu::Calls()) {
      if (call.op != emu::Op::LoadLibraryExW) continue;
      tried.push_back(call.text);
      const std::u16string& path = call.text;
      const bool full = (path.size() > 3 && path[1] == u':' && path[2] == u'\\') ||
                        (path.size() > 2 && path[0] == u'\\' && path[1] == u'\\');
      EXPECT_TRUE(full) << "loaded by a path that is not full: " << Show(path);
    }
    ASSERT_FALSE(tried.empty());
    EXPECT_EQ(Show(tried.back()), Show(c.loaded));
  }
}

TEST_F(CabinetTest, ALoadedLibraryStaysAndItsEntryPointsAreLookedUpEveryTime) {
  TheCabinetLibrary() = CabinetLibrary{};
  emu::PlaceCabinetLibrary({});
  EXPECT_FALSE(Expand());
  EXPECT_EQ(emu::CallCount(emu::Op::LoadLibraryExW), 3u);
  EXPECT_EQ(emu::CallCount(emu::Op::GetProcAddress), 0u);

  emu::PlaceCabinetLibrary({u"C:\\Windows\\system32\\cabinet.dll"});
  ASSERT_TRUE(Expand()) << "a call that found nothing leaves the next one to try again";
  ASSERT_TRUE(Expand());
  EXPECT_EQ(emu::LibraryLoads(), 1u);
  EXPECT_EQ(emu::CallCount(emu::Op::GetProcAddress), 6u);

  emu::RemoveCabinetEntryPoint("FDIDestroy");
  const uint64_t creates = emu::Cabinet().creates;
  EXPECT_FALSE(Expand());
  EXPECT_EQ(emu::Cabinet().creates, creates) << "no library call without all three entry points";
}

// The library holds the directory and the name it is given in byte buffers of its own; it is
// given none of the cabinet's path, only a name that no file can have, which the open callback
// resolves to the cabinet's own UTF-16 path. Long and non-Latin directories never meet those
// buffers, and a path without any directory is as good as any.
TEST_F(CabinetTest, TheLibraryNeverSeesTheCabinetsPath) {
  const std::u16string cjk(70, u'\u6587');
  const std::u16string pairs = u"\U0001F4E6\U0001F4E6\U0001F4E6";
  const std::u16string long_directory = DirectoryOfLength(246);
  const std::u16string cases[] = {
      u"C:\\SETUP.EX_",
      u"C:\\Instal\u00E9\\\u6587\\S\u00C9TUP.EX_",
      u"C:\\" + cjk + u"\\" + cjk + u"\\SETUP.EX_",
      u"C:\\" + pairs + u"\\SETUP.EX_",
      long_directory + u"SETUP.EX_",
  };
  for (const std::u16string& cabinet : cases) {
    SCOPED_TRACE(Show(cabinet));
    const size_t slash = cabinet.rfind(u'\\');
    if (slash > 2) {
      ASSERT_TRUE(emu::MakeDirectory(cabinet.substr(0, slash)));
    }
    ASSERT_TRUE(emu::MakeFile(cabinet, "MSCF " + Show(cabinet)));
    emu::SetCabinetScript(emu::OneFileCabinet("a"));
    ASSERT_TRUE(ExpandCabinet(cabinet.c_str(), destination_.c_str()));
    EXPECT_EQ(emu::Cabinet().cabinet_path, "");
    EXPECT_EQ(emu::Cabinet().cabinet_name, "*");
    EXPECT_EQ(emu::Cabinet().cabinet_bytes, "MSCF " + Show(cabinet))
        << "the library read the cabinet through the name it was given";
    EXPECT_EQ(emu::FileContent(destination_), "a");
  }
}

TEST_F(CabinetTest, ALibraryThatOpensTheCabinetTwiceReadsItBothTimes) {
  emu::CabinetScript script = emu::OneFileCabinet("setup bytes");
  script.reopen_cabinet = true;
  emu::SetCabinetScript(script);
  ASSERT_TRUE(Expand());
  EXPECT_EQ(emu::Cabinet().cabinet_bytes, "MSCF cabinet bytes");
  EXPECT_EQ(emu::Cabinet().reopened_bytes, "MSCF cabinet bytes");
  EXPECT_EQ(emu::FileContent(destination_), "setup bytes");
}

// Outside an expansion the name stands for no file, and any other name is read as UTF-8.
TEST_F(CabinetTest, TheOpenCallbackReadsOtherNamesAsUtf8) {
  const std::u16string other = u"C:\\Instal\u00E9\\\u6587.bin";
  ASSERT_TRUE(emu::MakeDirectory(u"C:\\Instal\u00E9"));
  ASSERT_TRUE(emu::MakeFile(other, "other"));
  char utf8[] = "C:\\Instal\xC3\xA9\\\xE6\x96\x87.bin";
  const INT_PTR file = CabinetOpen(utf8, 0, 0);
  ASSERT_NE(file, -1);
  char bytes[8] = {};
  EXPECT_EQ(CabinetRead(file, bytes, sizeof(bytes)), 5u);
  EXPECT_STREQ(bytes, "other");
  EXPECT_EQ(CabinetClose(file), 0);
  char alias[] = "*";
  EXPECT_EQ(CabinetOpen(alias, 0, 0), -1) << "no expansion runs, so the alias names nothing";
}

// --- the extraction sequence ---------------------------------------------------------------------

TEST_F(PayloadTest, TheSetupPathMustFitWithTheWorkDirectory) {
  const struct {
    size_t work_units;
    const char16_t* setup_name;
    const char16_t* type;
    RunResult result;
    bool setup_path_is_work_directory;
  } cases[] = {
      {250, u"SETUP.EX_", u"BN", 0, false},  // 250 + "setup.exe" = 259 units
      {251, u"SETUP.EXE", u"BN", 108, true},
      {250, u"SETUP.EX_", u"BL", 0, false},
      {251, u"SETUP.EX_", u"BL", 108, true},
      {251, u"SETUP", u"BL", 108, false},  // the cabinet fits, the expanded path does not
      {254, u"SETUP", u"BL", 108, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.work_units) + " " + Show(c.setup_name) + " " + Show(c.type));
    emu::Reset();
    const std::u16string work = DirectoryOfLength(c.work_units);
    ASSERT_EQ(work.size(), c.work_units);
    ASSERT_TRUE(emu::MakeDirectory(work));
    emu::AddResource(u"B7", u"NIMBET.PACKED.7Z", "7z");
    emu::AddResource(c.type, c.setup_name, "setup");
    emu::SetCabinetScript(emu::OneFileCabinet("setup"));
    const Extraction out = Extract(work);
    EXPECT_EQ(out.result, c.result);
    if (c.setup_path_is_work_directory) {
      EXPECT_EQ(Show(out.setup_path), Show(work));
      EXPECT_TRUE(emu::ListDirectory(work).empty());
    } else if (c.result == 108) {
      EXPECT_EQ(Show(out.setup_path), Show(work + c.setup_name)) << "the cabinet file, still there";
      EXPECT_TRUE(emu::Exists(out.setup_path));
    }
  }
}

TEST_F(PayloadTest, FailedWritesAndExpansionsLeaveNothingBehind) {
  emu::AddResource(u"B7", u"NIMBET.PACKED.7Z", "7z");
  emu::AddResource(u"BL", u"SETUP.EX_", std::string(4000, 'c'));
  emu::SetDiskSpace(100);
  Extraction out = Extract();
  EXPECT_EQ(out.result, StubExitCode::RESOURCE_WRITE_FAILED);
  EXPECT_EQ(Show(out.setup_path), Show(kWork + u"SETUP.EX_"));
  EXPECT_TRUE(emu::ListDirectory(kWork).empty());

  emu::SetDiskSpace(UINT64_MAX);
  emu::CabinetScript damaged = emu::OneFileCabinet("partial");
  damaged.steps.back() = ReadFailure();
  emu::SetCabinetScript(damaged);
  out = Extract();
  EXPECT_EQ(out.result, StubExitCode::SETUP_EXTRACTION_FAILED);
  EXPECT_EQ(Show(out.setup_path), Show(kWork + u"setup.exe"));
  EXPECT_TRUE(emu::ListDirectory(kWork).empty()) << "no cabinet file and no setup.exe";
}

// --- hostile resources -------------------------------------------------------------------------

// Sizes at the ends of what a resource can hold. The largest is reserved, not committed, and the
// files keep no bytes, so that 4 GiB - 1 costs no memory: the writes must cover the resource's
// bytes exactly once, in order, 8 MiB at a time.
TEST_F(PayloadTest, ResourcesOfTheSmallestAndLargestSizesAreWrittenWhole) {
  constexpr uint64_t kChunk = 8 * 1024 * 1024;
  for (const uint64_t size : {uint64_t{1}, uint64_t{0xFFFFFFFF}}) {
    for (const char16_t* type : {u"BN", u"B7"}) {
      SCOPED_TRACE(std::to_string(size) + " bytes under " + Show(type));
      emu::Reset();
      ASSERT_TRUE(emu::MakeDirectory(kWork));
      emu::AddResource(u"BL", u"NIMBET.PACKED.7Z", "7z");
      emu::AddLazyResource(type, u"SETUP.EXE", size);
      emu::KeepWrittenBytes(false);
      const Extraction out = Extract();
      ASSERT_EQ(out.result, StubExitCode::SUCCESS);
      const std::u16string file = kWork + (Show(type) == "BN" ? u"setup.exe" : u"SETUP.EXE");
      EXPECT_EQ(Show(out.setup_path), Show(file));
      EXPECT_EQ(emu::FileSize(file), size);
      const auto* base = static_cast<const uint8_t*>(emu::ResourceBytes(type, u"SETUP.EXE"));
      const auto& spans = emu::WrittenSpans();
      ASSERT_EQ(spans.size(), (size + kChunk - 1) / kChunk);
      uint64_t offset = 0;
      for (const auto& span : spans) {
        ASSERT_EQ(span.offset, offset);
        ASSERT_EQ(span.source, base + offset) << "not the resource's own bytes at " << offset;
        ASSERT_EQ(span.bytes, std::min(kChunk, size - offset));
        offset += span.bytes;
      }
      EXPECT_EQ(offset, size);
    }
  }
}

// Names whose terminator ends right before an inaccessible page: the prefix tests and the copies
// must stop at the terminator (a read past it faults), and a name longer than a path, up to the
// longest a resource directory holds, fits no buffer.
TEST_F(PayloadTest, ResourceNamesAreReadNoFurtherThanTheirTerminator) {
  const struct {
    const char* name;
    std::u16string archive;
    std::u16string setup;
    RunResult result;
  } cases[] = {
      {"one letter of a prefix", u"NIMBET", u"S", 115},
      {"most of the setup prefix", u"NIMBET", u"SETU", 115},
      {"the setup prefix alone", u"NIMBET", u"SETUP", 0},
      {"most of the archive prefix", u"NIMBE", u"SETUP", 112},
      {"the archive prefix alone", u"NIMBET", u"SETUP.EXE", 0},
      {"setup name of 259 units", u"NIMBET", u"SETUP" + std::u16string(254, u'X'), 0},
      {"setup name of 260 units", u"NIMBET", u"SETUP" + std::u16string(255, u'X'), 115},
      {"setup name of 65535 units", u"NIMBET", u"SETUP" + std::u16string(65530, u'X'), 115},
      {"archive name of 65535 units", u"NIMBET" + std::u16string(65529, u'X'), u"SETUP", 112},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::Reset();
    ASSERT_TRUE(emu::MakeDirectory(kWork));
    emu::AddResourceAgainstGuardPage(u"B7", c.archive, "7z");
    emu::AddResourceAgainstGuardPage(u"BN", c.setup, "MZ setup");
    const Extraction out = Extract();
    EXPECT_EQ(out.result, c.result);
    if (c.result == 0) {
      EXPECT_EQ(Show(out.archive_name), Show(c.archive));
      EXPECT_EQ(emu::FileContent(kWork + u"setup.exe"), "MZ setup");
    }
  }
}

// A setup kept under its own name ("B7", "BL") names a file in the work directory; a name that
// climbs out of it or names a stream must not place a file anywhere else.
TEST_F(PayloadTest, ASetupNameWithAPathInItWritesNothingOutsideTheWorkDirectory) {
  const struct {
    const char16_t* type;
    std::u16string name;
  } cases[] = {
      {u"B7", u"SETUP\\..\\..\\EVIL.EXE"},
      {u"B7", u"SETUP\\..\\..\\..\\WINDOWS\\EVIL.EXE"},
      {u"BL", u"SETUP\\..\\..\\EVIL.EX_"},
      {u"B7", u"SETUP/../../EVIL.EXE"},
      {u"B7", u"SETUP\\..\\SETUP.EXE"},  // would stay inside, yet is no file name either
      {u"B7", u"SETUP:STREAM"},
      {u"B7", u"SETUP\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.type) + " " + Show(c.name));
    emu::Reset();
    ASSERT_TRUE(emu::MakeDirectory(kWork));
    ASSERT_TRUE(emu::MakeDirectory(u"C:\\Windows\\"));
    const std::vector<std::u16string> before = emu::ListTree();
    emu::AddResource(u"B7", u"NIMBET.PACKED.7Z", "7z");
    emu::AddResource(c.type, c.name, "MSCF or MZ");
    emu::SetCabinetScript(emu::OneFileCabinet("MZ setup"));
    const Extraction out = Extract();
    EXPECT_EQ(out.result, StubExitCode::SETUP_EXTRACTION_FAILED);
    EXPECT_EQ(emu::ListTree(), before) << "a file was written";
    EXPECT_EQ(emu::CallCount(emu::Op::CreateFileW), 0u);
  }
}

}  // namespace
