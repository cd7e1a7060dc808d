#include "tools/stubpack/layout.h"

#include <algorithm>
#include <cstring>

#include "tools/stubpack/cabinet_reader.h"
#include "tools/stubpack/execution_level.h"
#include "tools/stubpack/pe_image.h"

namespace stubpack {

namespace {

using payload_layout::kArchivePrefix;
using payload_layout::kNameUnits;
using payload_layout::kSetupFileName;
using payload_layout::kSetupPrefix;
using payload_layout::kTypeCount;
using payload_layout::kTypes;
using payload_layout::SetupStorage;

bool IsPayloadType(const ResourceId& type) { return PayloadTypeIndex(type) < kTypeCount; }

bool IsArchiveName(const std::u16string& name) {
  return payload_layout::HasPrefixAsciiNoCase(name.c_str(), kArchivePrefix);
}
bool IsSetupName(const std::u16string& name) {
  return payload_layout::HasPrefixAsciiNoCase(name.c_str(), kSetupPrefix);
}

// The payload types in scan order for a message: "B7, BL and BN".
std::string TypeList(const char* last) {
  std::string text;
  for (size_t t = 0; t < kTypeCount; ++t) {
    if (t > 0) text += t + 1 == kTypeCount ? std::string(" ") + last + " " : std::string(", ");
    text += kTypes[t];
  }
  return text;
}

std::string Quoted(const char* text) { return std::string("\"") + text + "\""; }

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

std::u16string Units(const char* ascii) {
  return std::u16string(ascii, ascii + std::strlen(ascii));
}

size_t PayloadTypeIndex(const ResourceId& type) {
  if (type.is_number) return kTypeCount;
  for (size_t t = 0; t < kTypeCount; ++t) {
    if (type.name == Units(kTypes[t])) return t;
  }
  return kTypeCount;
}

ResourceId TypeOfStorage(SetupStorage storage) {
  size_t t = 0;
  while (t + 1 < kTypeCount && payload_layout::kStorageOfType[t] != storage) ++t;
  return ResourceId::Name(Units(kTypes[t]));
}

SetupFindings InspectSetup(const uint8_t* data, uint64_t size, SetupStorage storage) {
  SetupFindings found;
  Bytes expanded;
  uint64_t setup_size = size;
  if (storage == SetupStorage::kCabinet) {
    bool unsupported = false;
    std::string problem;
    if (!ExpandFirstFile(data, size, kSetupBytesRead, expanded, setup_size, unsupported, problem)) {
      if (unsupported) {
        found.elevation = UnreadManifestRefusal(problem);
      } else {
        found.stored = problem;
      }
      return found;
    }
    data = expanded.data();
    size = expanded.size();
  }
  Bytes head(data, data + std::min<uint64_t>(size, 65536));
  PeHeaders pe;
  if (!ParsePe(head, pe, found.image)) return found;
  if (pe.magic != 0x10B && pe.magic != 0x20B) {
    found.image = "not a PE executable: unknown optional header";
    return found;
  }
  ImageElevation elevation;
  std::string problem;
  if (ReadImageElevation(data, size, elevation, problem)) {
    found.elevation = ElevationRefusal(elevation);
  } else {
    if (size < setup_size)
      problem += " (the packer reads only the first " + std::to_string(kSetupBytesRead >> 20) +
                 " MiB of setup.exe's " + std::to_string(setup_size) + " bytes)";
    found.elevation = UnreadManifestRefusal(problem);
  }
  return found;
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
    if (r.name.name.size() >= kNameUnits)
      v.broken.push_back({at, r.type.Display() + "/(" + std::to_string(r.name.name.size()) +
                                  " units): every name is shorter than " +
                                  std::to_string(kNameUnits) + " UTF-16 units"});
    if (Capitalise(r.name.name) != r.name.name)
      v.broken.push_back(
          {at, where + ": names are stored in capitals, or FindResourceW misses them"});
    if (IsArchiveName(r.name.name)) {
      ++archives;
    } else if (IsSetupName(r.name.name)) {
      ++setups;
    } else {
      v.broken.push_back({at, where +
                                  ": no resource other than the archive (a name beginning with " +
                                  Quoted(kArchivePrefix) + ") and setup (" + Quoted(kSetupPrefix) +
                                  ") under " + TypeList("and")});
    }
  }
  if (archives != 1)
    v.broken.push_back({-1, "exactly one archive under " + TypeList("and") + "; found " +
                                std::to_string(archives)});
  if (setups != 1)
    v.broken.push_back(
        {-1, "exactly one setup under " + TypeList("and") + "; found " + std::to_string(setups)});

  // The scan, as the stub runs it: type by type, each ended by the first irregular entry.
  long archive = -1, setup = -1;
  size_t archive_type = kTypeCount, setup_type = kTypeCount;
  const auto mark_rest = [&](size_t from, size_t type, const std::string& why) {
    for (size_t k = from; k < listed.size(); ++k) {
      if (PayloadTypeIndex(listed[k].type) == type && v.roles[k].empty()) v.roles[k] = why;
    }
  };
  for (size_t type = 0; type < kTypeCount; ++type) {
    const std::string type_text = kTypes[type];
    std::string error;
    for (size_t i = 0; i < listed.size(); ++i) {
      const ListedResource& r = listed[i];
      if (PayloadTypeIndex(r.type) != type) continue;
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
      const bool is_archive = IsArchiveName(r.name.name);
      const bool is_setup = !is_archive && IsSetupName(r.name.name);
      if (!is_archive && !is_setup) {
        error = where + " begins with neither " + Quoted(kArchivePrefix) + " nor " +
                Quoted(kSetupPrefix);
      } else if (is_archive && archive >= 0) {
        error = where + " is a second archive";
      } else if (is_setup && setup >= 0) {
        error = where + " is a second setup";
      } else if (r.name.name.size() >= kNameUnits) {
        error = "\"" + type_text + "\"/(a name of " + std::to_string(r.name.name.size()) +
                " units) does not fit the stub's " + std::to_string(kNameUnits) +
                "-unit name buffer";
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
      v.exit_code = archive_type == kTypeCount ? StubExitCode::ARCHIVE_NOT_FOUND
                                               : StubExitCode::SETUP_EXTRACTION_FAILED;
      v.reason = error;
      // Types after this one are never scanned.
      for (size_t later = type + 1; later < kTypeCount; ++later)
        mark_rest(0, later, "not reached: the stub stopped at an earlier type");
      return v;
    }
    if (archive_type == kTypeCount && archive >= 0) archive_type = type;
    if (setup_type == kTypeCount && setup >= 0) setup_type = type;
  }
  if (archive < 0) {
    v.exit_code = StubExitCode::ARCHIVE_NOT_FOUND;
    v.reason = "no archive: no resource under " + TypeList("or") + " whose name begins with " +
               Quoted(kArchivePrefix) + " was reached";
    return v;
  }
  v.archive_name = listed[archive].name.Display();
  v.archive_type = kTypes[archive_type];
  if (setup < 0) {
    v.exit_code = StubExitCode::SETUP_EXTRACTION_FAILED;
    v.reason = "no setup: no resource under " + TypeList("or") + " whose name begins with " +
               Quoted(kSetupPrefix) + " was reached";
    return v;
  }
  v.setup = setup;
  v.setup_name = listed[setup].name.Display();
  v.setup_type = kTypes[setup_type];
  const SetupStorage storage = payload_layout::kStorageOfType[setup_type];
  // Under its own name, setup must name a plain file in the work directory.
  if (storage != SetupStorage::kPlain &&
      !payload_layout::IsPlainFileName(listed[setup].name.name.c_str())) {
    v.broken.push_back(
        {setup, "setup's name holds \\, / or :, and names no file of the work directory"});
    v.exit_code = StubExitCode::SETUP_EXTRACTION_FAILED;
    v.reason = "setup's name is no plain file name";
    return v;
  }
  const size_t setup_units = listed[setup].name.name.size();
  // The cabinet library is handed no path (the stub's open callback resolves an alias to the
  // cabinet), so the stub's own buffers alone set the limit, for a cabinet as for setup itself.
  v.longest_directory =
      static_cast<int>(payload_layout::LongestStubDirectoryFor(storage, setup_units));
  if (v.longest_directory < static_cast<int>(payload_layout::kShortestStubDirectory)) {
    v.broken.push_back({setup, "setup's name is so long that its path exceeds " +
                                   std::to_string(kPathUnits - 1) +
                                   " units in every stub directory"});
    v.exit_code = StubExitCode::PATH_TOO_LONG;
    v.reason =
        "setup's path does not fit " + std::to_string(kPathUnits) + " units in any stub directory";
    return v;
  }
  const SetupFindings found = check(static_cast<size_t>(setup), storage);
  if (storage == SetupStorage::kCabinet) {
    v.setup_storage = std::string("cabinet, expanded into ") + kSetupFileName;
    if (!found.stored.empty()) {
      v.broken.push_back({setup, "setup under " + v.setup_type +
                                     " is a Microsoft Cabinet holding " + kSetupFileName + ": " +
                                     found.stored});
      v.exit_code = StubExitCode::SETUP_EXTRACTION_FAILED;
      v.reason = "setup under \"" + v.setup_type + "\" does not expand: " + found.stored;
      return v;
    }
  } else {
    v.setup_storage = storage == SetupStorage::kPlain
                          ? std::string("uncompressed, written as ") + kSetupFileName
                          : std::string("uncompressed, written under its resource name");
  }
  if (!found.image.empty()) {
    v.broken.push_back(
        {setup, "setup under " + v.setup_type + " is " +
                    (storage == SetupStorage::kCabinet
                         ? std::string("a Microsoft Cabinet holding ") + kSetupFileName +
                               ", which is " + found.image
                         : std::string(kSetupFileName) + " itself: " + found.image)});
    v.exit_code = StubExitCode::SETUP_LAUNCH_FAILED;
    v.reason = "setup is written but cannot be started: " + found.image;
    return v;
  }
  v.roles[setup] += ", " + v.setup_storage;
  if (!found.elevation.empty()) {
    // Not a layout rule: the stub writes setup whole and starts it as it always does.
    v.elevation = found.elevation;
    v.exit_code = StubExitCode::SETUP_LAUNCH_FAILED;
    v.reason = "on Windows with User Account Control, " + found.elevation;
  }
  return v;
}

}  // namespace stubpack
