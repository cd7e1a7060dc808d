#include "tools/stubpack/installer_listing.h"

#include <iomanip>
#include <sstream>

#include "tools/stubpack/cabinet.h"
#include "tools/stubpack/mapped_file.h"
#include "tools/stubpack/pe_image.h"

namespace stubpack {

namespace {

struct Walker {
  const uint8_t* file;
  uint64_t size;
  uint64_t base;  // file offset of the resource section's start
  uint32_t rsrc_rva;
  const PeHeaders* pe;
  std::string problem;

  bool Fits(uint64_t at, uint64_t length) {
    if (base + at + length > size) {
      problem = "the resource directory points beyond the end of the file";
      return false;
    }
    return true;
  }

  bool Id(uint32_t field, ResourceId& id) {
    if (!(field & 0x80000000)) {
      id = ResourceId::Number(static_cast<uint16_t>(field));
      return true;
    }
    const uint64_t at = field & 0x7FFFFFFF;
    if (!Fits(at, 2)) return false;
    const uint32_t units = GetU16(file + base + at);
    if (!Fits(at + 2, 2 * uint64_t{units})) return false;
    id = ResourceId();
    for (uint32_t i = 0; i < units; ++i) id.name.push_back(GetU16(file + base + at + 2 + 2 * i));
    return true;  // kept as stored: small letters matter to the loader
  }

  struct Entry {
    ResourceId id;
    uint32_t target;
  };
  bool Table(uint64_t at, std::vector<Entry>& entries) {
    if (!Fits(at, 16)) return false;
    const uint32_t count = uint32_t{GetU16(file + base + at + 12)} + GetU16(file + base + at + 14);
    if (!Fits(at + 16, 8 * uint64_t{count})) return false;
    entries.clear();
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = file + base + at + 16 + 8 * i;
      Entry entry;
      if (!Id(GetU32(e), entry.id)) return false;
      entry.target = GetU32(e + 4);
      entries.push_back(entry);
    }
    return true;
  }
};

std::string Shorten(const ResourceId& id) {
  if (id.is_number) return id.Display();
  std::string text = id.Display();
  if (id.name.size() > 40) {
    text =
        Utf16ToUtf8(id.name.substr(0, 24)) + "... (" + std::to_string(id.name.size()) + " units)";
  }
  return text;
}

std::string TypeLabel(const ResourceId& type) {
  if (!type.is_number) return type.Display();
  switch (type.number) {
    case 3:
      return "#3 RT_ICON";
    case 14:
      return "#14 RT_GROUP_ICON";
    case 16:
      return "#16 RT_VERSION";
    case 24:
      return "#24 RT_MANIFEST";
    default:
      return type.Display();
  }
}

}  // namespace

bool ReadResources(const uint8_t* file, uint64_t size, std::vector<InspectedResource>& out,
                   std::string& problem) {
  Bytes head(file, file + std::min<uint64_t>(size, 65536));
  PeHeaders pe;
  if (!ParsePe(head, pe, problem)) return false;
  if (pe.magic != 0x20B && pe.magic != 0x10B) {
    problem = "not a PE executable: unknown optional header";
    return false;
  }
  out.clear();
  const uint32_t rva = pe.DirectoryRva(kResourceDirectory, head);
  if (rva == 0 || pe.DirectorySize(kResourceDirectory, head) == 0) return true;
  uint64_t base = 0;
  if (!pe.RvaToOffset(rva, base)) {
    problem = "the resource directory lies outside every section's raw data";
    return false;
  }
  Walker walk{file, size, base, rva, &pe, {}};
  std::vector<Walker::Entry> types, names, languages;
  const auto fail = [&]() {
    problem = walk.problem.empty() ? "the resource directory is damaged" : walk.problem;
    return false;
  };
  if (!walk.Table(0, types)) return fail();
  for (const Walker::Entry& type : types) {
    if (!(type.target & 0x80000000)) return fail();
    if (!walk.Table(type.target & 0x7FFFFFFF, names)) return fail();
    for (const Walker::Entry& name : names) {
      if (!(name.target & 0x80000000)) return fail();
      if (!walk.Table(name.target & 0x7FFFFFFF, languages)) return fail();
      InspectedResource r;
      r.listed.type = type.id;
      r.listed.name = name.id;
      for (const Walker::Entry& language : languages) {
        if (language.target & 0x80000000) return fail();  // a fourth level
        if (!walk.Fits(language.target, 16)) return fail();
        const uint8_t* data = file + base + language.target;
        uint64_t offset = 0;
        const uint32_t data_size = GetU32(data + 4);
        if (!pe.RvaToOffset(GetU32(data), offset) || offset + data_size > size) {
          problem = "resource " + type.id.Display() + "/" + name.id.Display() +
                    ": its data lies outside the file";
          return false;
        }
        if (r.languages.empty()) {
          r.listed.size = data_size;
          r.offset = offset;
        }
        r.languages.push_back(language.id.is_number ? language.id.number : 0);
        r.code_pages.push_back(GetU32(data + 8));
      }
      out.push_back(r);
    }
  }
  return true;
}

Verdict PredictResources(const uint8_t* file, const std::vector<InspectedResource>& resources) {
  std::vector<ListedResource> listed;
  for (const InspectedResource& r : resources) listed.push_back(r.listed);
  return Predict(listed, [&](size_t i, payload_layout::SetupStorage storage) {
    return SetupContentProblem(file + resources[i].offset, resources[i].listed.size, storage);
  });
}

bool Inspect(const std::string& path, std::ostream& out, std::ostream& err) {
  MappedFile file;
  std::string problem;
  std::vector<InspectedResource> resources;
  if (!file.Open(path, problem) || !ReadResources(file.Data(), file.Size(), resources, problem)) {
    err << "stubpack: " << path << ": " << problem << "\n";
    return false;
  }
  const Verdict v = PredictResources(file.Data(), resources);

  out << path << ": " << resources.size() << " resources\n";
  out << std::left << std::setw(20) << "TYPE" << std::setw(40) << "NAME" << std::setw(10)
      << "LANGUAGE" << std::right << std::setw(12) << "SIZE"
      << "  WHAT IT IS FOR\n";
  for (size_t i = 0; i < resources.size(); ++i) {
    const InspectedResource& r = resources[i];
    std::string languages;
    for (size_t k = 0; k < r.languages.size(); ++k) {
      languages += (k ? "," : "") + std::to_string(r.languages[k]);
      if (r.code_pages[k] != 0) languages += "/cp" + std::to_string(r.code_pages[k]);
    }
    out << std::left << std::setw(20) << TypeLabel(r.listed.type) << std::setw(40)
        << Shorten(r.listed.name) << std::setw(10) << languages << std::right << std::setw(12)
        << r.listed.size << "  " << v.roles[i] << "\n";
  }
  if (v.exit_code == StubExitCode::SUCCESS) {
    out << "verdict: setup runs; the installer ends with setup's exit code\n";
    out << "  setup: \"" << v.setup_name << "\" under \"" << v.setup_type << "\", "
        << v.setup_storage << "\n";
    out << "  archive: \"" << v.archive_name << "\" under \"" << v.archive_type
        << "\" (setup is told this name and type)\n";
  } else {
    out << "verdict: exit code " << v.exit_code << ": " << v.reason << "\n";
  }
  if (v.longest_directory >= static_cast<int>(payload_layout::kShortestStubDirectory)) {
    out << "longest stub directory: " << v.longest_directory
        << " UTF-16 units with its final backslash; a longer one ends the run with "
        << StubExitCode::PATH_TOO_LONG << "\n";
  }
  if (!v.broken.empty()) {
    out << "layout rules broken:\n";
    for (const Verdict::Broken& b : v.broken) out << "  " << b.rule << "\n";
  }
  return true;
}

}  // namespace stubpack
