#include "tools/stubpack/layout.h"

#include <algorithm>

#include "tools/stubpack/cabinet.h"
#include "tools/stubpack/pe_image.h"

namespace stubpack {

namespace {

constexpr size_t kNameCapacity = 260;       // the stub's name buffers, terminator included
constexpr int kLongestBaseDirectory = 246;  // 13 units more make the work directory, below 260
constexpr int kWorkDirectoryUnits = 13;     // "VQ_", five digits, ".tmp", "\"
// The cabinet library opens a cabinet whose path (directory and name, in UTF-8) has at most this
// many bytes; one more and the expansion fails (measured with Wine 8.0's cabinet.dll).
constexpr int kCabinetPathBytes = 257;
const std::u16string kPayloadTypes[] = {u"B7", u"BL", u"BN"};

bool HasPrefix(const std::u16string& name, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= name.size()) return false;
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != static_cast<char16_t>(prefix[i])) return false;
  }
  return true;
}

bool IsPayloadType(const ResourceId& type) {
  return !type.is_number && std::find(std::begin(kPayloadTypes), std::end(kPayloadTypes),
                                      type.name) != std::end(kPayloadTypes);
}

std::string Quote(const ResourceId& id) {
  return id.is_number ? id.Display() : "\"" + id.Display() + "\"";
}

std::string OtherRole(const ResourceId& type) {
  if (!type.is_number) return "not looked at by the stub";
  switch (type.number) {
    case 3:
      return "icon image";
    case 14:
      return "icon group";
    case 16:
      return "version block";
    case 24:
      return "manifest";
    default:
      return "not looked at by the stub";
  }
}

}  // namespace

std::string SetupContentProblem(const uint8_t* data, uint64_t size, const std::string& type) {
  if (type == "BL") return CabinetProblem(data, size);
  Bytes head(data, data + std::min<uint64_t>(size, 65536));
  PeHeaders pe;
  std::string problem;
  if (!ParsePe(head, pe, problem)) return problem;
  return {};
}

Verdict Predict(const std::vector<ListedResource>& listed, const SetupCheck& check) {
  Verdict v;
  v.roles.assign(listed.size(), "");
  for (size_t i = 0; i < listed.size(); ++i) {
    if (!IsPayloadType(listed[i].type)) v.roles[i] = OtherRole(listed[i].type);
  }

  // The layout rules, independent of where the scan stops.
  int archives = 0, setups = 0;
  for (size_t index = 0; index < listed.size(); ++index) {
    const ListedResource& r = listed[index];
    const long at = static_cast<long>(index);
    if (!IsPayloadType(r.type)) continue;
    const std::string where = r.type.Display() + "/" + r.name.Display();
    if (r.name.is_number) {
      v.broken.push_back({at, where + ": every payload resource has a name, not a number"});
      continue;
    }
    if (r.size == 0)
      v.broken.push_back({at, where + ": every payload resource is larger than 0 bytes"});
    if (r.name.name.size() >= kNameCapacity)
      v.broken.push_back({at, r.type.Display() + "/(" + std::to_string(r.name.name.size()) +
                                  " units): every name is shorter than 260 UTF-16 units"});
    if (Capitalise(r.name.name) != r.name.name)
      v.broken.push_back(
          {at, where + ": names are stored in capitals, or FindResourceW misses them"});
    if (HasPrefix(r.name.name, "nimbet")) {
      ++archives;
    } else if (HasPrefix(r.name.name, "setup")) {
      ++setups;
    } else {
      v.broken.push_back({at, where + ": no resource other than the archive (a name beginning with "
                                      "\"nimbet\") and setup (\"setup\") under B7, BL and BN"});
    }
  }
  if (archives != 1)
    v.broken.push_back(
        {-1, "exactly one archive under B7, BL and BN; found " + std::to_string(archives)});
  if (setups != 1)
    v.broken.push_back(
        {-1, "exactly one setup under B7, BL and BN; found " + std::to_string(setups)});

  // The scan, as the stub runs it: type by type, each ended by the first irregular entry.
  long archive = -1, setup = -1;
  std::string archive_type, setup_type;
  const auto mark_rest = [&](size_t from, const std::u16string& type, const std::string& why) {
    for (size_t k = from; k < listed.size(); ++k) {
      if (!listed[k].type.is_number && listed[k].type.name == type && v.roles[k].empty())
        v.roles[k] = why;
    }
  };
  for (const std::u16string& type : kPayloadTypes) {
    const std::string type_text = Utf16ToUtf8(type);
    std::string error;
    for (size_t i = 0; i < listed.size(); ++i) {
      const ListedResource& r = listed[i];
      if (r.type.is_number || r.type.name != type) continue;
      const std::string where = "\"" + type_text + "\"/" + Quote(r.name);
      std::string stop;
      if (r.name.is_number) {
        stop = "numbered: the scan of " + type_text + " ends here, without an error";
      } else if (Capitalise(r.name.name) != r.name.name) {
        stop = "stored in small letters: FindResourceW misses it, the scan of " + type_text +
               " ends here";
      } else if (r.size == 0) {
        stop = "empty: the scan of " + type_text + " ends here, without an error";
      }
      if (!stop.empty()) {
        v.roles[i] = stop;
        mark_rest(i + 1, type, "not reached: the scan of " + type_text + " ended before it");
        break;
      }
      const bool is_archive = HasPrefix(r.name.name, "nimbet");
      const bool is_setup = !is_archive && HasPrefix(r.name.name, "setup");
      if (!is_archive && !is_setup) {
        error = where + " begins with neither \"nimbet\" nor \"setup\"";
      } else if (is_archive && archive >= 0) {
        error = where + " is a second archive";
      } else if (is_setup && setup >= 0) {
        error = where + " is a second setup";
      } else if (r.name.name.size() >= kNameCapacity) {
        error = "\"" + type_text + "\"/(a name of " + std::to_string(r.name.name.size()) +
                " units) does not fit the stub's 260-unit name buffer";
      }
      if (!error.empty()) {
        v.roles[i] = "ends the scan with an error: " + error;
        mark_rest(i + 1, type, "not reached: the scan of " + type_text + " ended before it");
        break;
      }
      (is_archive ? archive : setup) = static_cast<long>(i);
      v.roles[i] = is_archive ? "archive" : "setup";
    }
    if (!error.empty()) {
      // The archive's type is recorded only after a pass without error.
      v.exit_code = archive_type.empty() ? kArchiveNotFound : kSetupNotExtracted;
      v.reason = error;
      // Types after this one are never scanned.
      bool after = false;
      for (const std::u16string& later : kPayloadTypes) {
        if (after) mark_rest(0, later, "not reached: the stub stopped at an earlier type");
        if (later == type) after = true;
      }
      return v;
    }
    if (archive_type.empty() && archive >= 0) archive_type = type_text;
    if (setup_type.empty() && setup >= 0) setup_type = type_text;
  }
  if (archive < 0) {
    v.exit_code = kArchiveNotFound;
    v.reason =
        "no archive: no resource under B7, BL or BN whose name begins with \"nimbet\" "
        "was reached";
    return v;
  }
  v.archive_name = listed[archive].name.Display();
  v.archive_type = archive_type;
  if (setup < 0) {
    v.exit_code = kSetupNotExtracted;
    v.reason =
        "no setup: no resource under B7, BL or BN whose name begins with \"setup\" was "
        "reached";
    return v;
  }
  v.setup_name = listed[setup].name.Display();
  v.setup_type = setup_type;
  // Under its own name, setup must name a plain file in the work directory.
  if (setup_type != "BN" &&
      listed[setup].name.name.find_first_of(u"\\/:") != std::u16string::npos) {
    v.broken.push_back(
        {setup, "setup's name holds \\, / or :, and names no file of the work directory"});
    v.exit_code = kSetupNotExtracted;
    v.reason = "setup's name is no plain file name";
    return v;
  }
  const size_t setup_units = listed[setup].name.name.size();
  size_t file_units = setup_type == "BN" ? 9 : setup_units;              // "setup.exe" for BN
  if (setup_type == "BL") file_units = std::max<size_t>(file_units, 9);  // and the expansion
  v.longest_directory = kLongestBaseDirectory - static_cast<int>(file_units);
  v.path_limit = v.longest_directory;
  if (setup_type == "BL") {
    const int name_bytes = static_cast<int>(Utf16ToUtf8(listed[setup].name.name).size());
    v.longest_directory =
        std::min(v.longest_directory, kCabinetPathBytes - kWorkDirectoryUnits - name_bytes);
  }
  if (v.path_limit < kShortestDirectory) {
    v.broken.push_back({setup,
                        "setup's name is so long that its path exceeds 259 units in every "
                        "stub directory"});
    v.exit_code = kPathTooLong;
    v.reason = "setup's path does not fit 260 units in any stub directory";
    return v;
  }
  const std::string problem = check(static_cast<size_t>(setup), setup_type);
  if (setup_type == "BL") {
    v.setup_storage = "cabinet, expanded into setup.exe";
    if (!problem.empty()) {
      v.broken.push_back(
          {setup, "setup under BL is a Microsoft Cabinet holding setup.exe: " + problem});
      v.exit_code = kSetupNotExtracted;
      v.reason = "setup under \"BL\" does not expand: " + problem;
    }
  } else {
    v.setup_storage = setup_type == "BN" ? "uncompressed, written as setup.exe"
                                         : "uncompressed, written under its resource name";
    if (!problem.empty()) {
      v.broken.push_back({setup, "setup under " + setup_type + " is setup.exe itself: " + problem});
      v.exit_code = kSetupNotStarted;
      v.reason = "setup is written but cannot be started: " + problem;
    }
  }
  if (v.exit_code == 0) v.roles[setup] += ", " + v.setup_storage;
  return v;
}

}  // namespace stubpack
