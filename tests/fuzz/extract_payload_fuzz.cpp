// A table of resources, as the input describes it, against the extraction's exit code, what it
// hands back and what it leaves in the work directory. The model walks the same table by the
// rules of the extraction: three passes in a fixed order, the first irregularity ends the run,
// and the type under which setup was found decides how it is written.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "payload/cabinet_expansion.h"
#include "payload/extract_payload.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

struct Entry {
  std::u16string name;  // as the executable stores it, in capitals; empty for a numbered entry
  WORD id = 0;
  std::string bytes;
};

// Resource compilers store names in capitals (the emulation folds these units too).
std::u16string StoredName(std::u16string name) {
  for (char16_t& unit : name) {
    if ((unit >= u'a' && unit <= u'z') || (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7))
      unit -= 0x20;
  }
  return name;
}

bool StartsWithFolded(const std::u16string& name, const std::u16string& prefix) {
  if (name.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const char16_t unit = name[i] >= u'A' && name[i] <= u'Z' ? name[i] + 0x20 : name[i];
    if (unit != prefix[i]) return false;
  }
  return true;
}

std::u16string Name(FuzzInput& in) {
  static const char16_t* const kPrefixes[] = {u"NIMBET", u"nimbet",    u"Setup",
                                              u"SETUP",  u"set",       u"NIM",
                                              u"X",      u"sEtUp.ex_", u"Nimbet.packed.7z"};
  static const char16_t kUnits[] = {u'A', u'b', u'7', u'_', u'.', u'x', 0xC9, 0xE9, u'-', u'E'};
  std::u16string name = kPrefixes[in.Byte() % 9];
  const uint8_t length = in.Byte();
  // Now and then a name near the limit of 260 units.
  const size_t extra = length & 0x80 ? 248 + (length & 15) - name.size() : length & 15;
  for (size_t i = 0; i < extra; ++i) name += kUnits[in.Byte() % 10];
  if (name.back() == u'.') name += u'X';  // the platform would drop a trailing dot from a file name
  return name;
}

struct Model {
  RunResult result = 0;
  std::u16string archive_name, archive_type, setup_path;
  std::vector<std::u16string> left;  // file names in the work directory afterwards
  std::string setup_bytes;           // what the file named by setup_path holds on success
};

Model Extract(const std::map<std::u16string, std::vector<Entry>>& table, const std::u16string& work,
              uint64_t disk, bool cabinet_fails, const std::string& cabinet_content) {
  Model m;
  std::u16string setup_name, setup_type;
  const Entry* setup = nullptr;
  for (const std::u16string type : {u"B7", u"BL", u"BN"}) {
    auto found = table.find(type);
    uint32_t error = 0;
    if (found != table.end()) {
      for (const Entry& entry : found->second) {
        if (entry.name.empty() || entry.bytes.empty()) break;  // ends the type, nothing recorded
        if (StartsWithFolded(entry.name, u"nimbet")) {
          if (!m.archive_name.empty())
            error = ERROR_TOO_MANY_NAMES;
          else if (entry.name.size() >= 260)
            error = ERROR_FILENAME_EXCED_RANGE;
          else
            m.archive_name = entry.name;
        } else if (StartsWithFolded(entry.name, u"setup")) {
          if (setup != nullptr)
            error = ERROR_TOO_MANY_NAMES;
          else if (entry.name.size() >= 260)
            error = ERROR_FILENAME_EXCED_RANGE;
          else
            setup = &entry, setup_name = entry.name;
        } else {
          error = ERROR_INVALID_DATA;
        }
        if (error != 0) break;
      }
    }
    if (error != 0) {
      m.result = m.archive_type.empty() ? 112 : 115;
      return m;
    }
    if (m.archive_type.empty() && !m.archive_name.empty()) m.archive_type = type;
    if (setup_type.empty() && setup != nullptr) setup_type = type;
  }
  if (m.archive_name.empty()) return m.result = 112, m;
  if (setup == nullptr) return m.result = 115, m;

  const std::u16string file = setup_type == u"BN" ? u"setup.exe" : setup_name;
  m.setup_path = work;
  if (work.size() + file.size() >= 260) return m.result = 108, m;
  m.setup_path += file;
  if (setup->bytes.size() > disk) return m.result = 116, m;
  disk -= setup->bytes.size();
  m.left = {file};
  m.setup_bytes = setup->bytes;
  if (setup_type != u"BL") return m;

  if (work.size() + 9 >= 260) return m.result = 108, m;  // the cabinet stays where it was written
  m.setup_path = work + u"setup.exe";
  m.left.clear();
  if (cabinet_fails || cabinet_content.size() > disk) return m.result = 115, m;
  m.left = {u"setup.exe"};
  m.setup_bytes = cabinet_content;
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  emu::Reset();
  TheCabinetLibrary() = CabinetLibrary{};
  const std::u16string work = FuzzDirectoryOfLength(16 + in.Byte() % 244);  // up to 259 units
  const uint8_t flags = in.Byte();
  const uint64_t disk = flags & 1 ? 4u * in.Byte() : UINT64_MAX;
  const bool cabinet_fails = flags & 2;
  std::string cabinet_content(in.Byte() % 64, '\0');
  for (char& c : cabinet_content) c = static_cast<char>(in.Byte());

  std::map<std::u16string, std::vector<Entry>> table;
  for (int n = 0; n < 12 && !in.Empty(); ++n) {
    const uint8_t kind = in.Byte();
    static const char16_t* const kTypes[] = {u"B7", u"BL", u"BN", u"BX"};
    const std::u16string type = kTypes[kind & 3];
    Entry entry;
    if (kind & 4) {
      entry.id = in.Byte();
    } else {
      entry.name = StoredName(Name(in));
    }
    entry.bytes.assign(in.Byte() % 24, '\0');
    for (char& c : entry.bytes) c = static_cast<char>(in.Byte());
    auto& list = table[type];
    const bool duplicate = std::any_of(list.begin(), list.end(), [&](const Entry& other) {
      return other.name == entry.name && other.id == entry.id;
    });
    if (duplicate) continue;
    if (entry.name.empty()) {
      emu::AddNumberedResource(type, entry.id, entry.bytes);
    } else {
      emu::AddResource(type, entry.name, entry.bytes);
    }
    list.push_back(entry);
  }
  // The resource directory lists named entries first, ascending, then numbered ones.
  for (auto& type : table) {
    std::sort(type.second.begin(), type.second.end(), [](const Entry& a, const Entry& b) {
      if (a.name.empty() != b.name.empty()) return !a.name.empty();
      return a.name.empty() ? a.id < b.id : a.name < b.name;
    });
  }

  FUZZ_CHECK(emu::MakeDirectory(work), "cannot make the work directory");
  emu::CabinetScript script = emu::OneFileCabinet(cabinet_content);
  if (cabinet_fails) {
    script.steps.resize(3);  // cabinet info, copy, the bytes: then the cabinet turns out damaged
    script.steps.back().kind = emu::CabinetStep::Kind::kReadFailure;
  }
  emu::SetCabinetScript(script);
  if (disk != UINT64_MAX) emu::SetDiskSpace(disk);
  const std::vector<std::u16string> before = emu::ListTree();

  const Model want = Extract(table, work, disk, cabinet_fails, cabinet_content);
  PathBuffer setup_path, archive_name;
  ResourceTypeBuffer archive_type;
  const RunResult got =
      ExtractPayload(emu::Image(), work.c_str(), setup_path, archive_name, archive_type);

  FUZZ_CHECK(got == want.result, "exit code %u, model %u", got, want.result);
  FUZZ_CHECK(archive_name.Text() == want.archive_name, "archive name %s, model %s",
             ShowText(archive_name.Text()).c_str(), ShowText(want.archive_name).c_str());
  FUZZ_CHECK(archive_type.Text() == want.archive_type, "archive type %s, model %s",
             ShowText(archive_type.Text()).c_str(), ShowText(want.archive_type).c_str());
  FUZZ_CHECK(setup_path.Text() == want.setup_path, "setup path %s, model %s",
             ShowText(setup_path.Text()).c_str(), ShowText(want.setup_path).c_str());
  CheckNothingLeaked();
  const std::vector<std::u16string> left = emu::ListDirectory(work);
  std::string shown;
  for (const auto& name : left) shown += " " + ShowText(name);
  FUZZ_CHECK(left == want.left, "the work directory holds%s", shown.c_str());
  if (want.result == 0) {
    FUZZ_CHECK(emu::FileContent(want.setup_path) == want.setup_bytes, "setup's file is not whole");
  }
  std::vector<std::u16string> after = emu::ListTree();
  after.erase(std::remove_if(after.begin(), after.end(),
                             [&](const std::u16string& path) {
                               return path.size() > work.size() &&
                                      path.compare(0, work.size(), work) == 0;
                             }),
              after.end());
  FUZZ_CHECK(after == before, "something changed outside the work directory");
  return 0;
}
