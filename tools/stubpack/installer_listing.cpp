#include "tools/stubpack/installer_listing.h"

#include <iomanip>
#include <set>
#include <sstream>

#include "tools/stubpack/cabinet_reader.h"
#include "tools/stubpack/mapped_file.h"
#include "tools/stubpack/pe_image.h"
#include "tools/stubpack/resource_directory.h"

namespace stubpack {

namespace {

std::string Shorten(const ResourceId& id) {
  if (id.is_number) return id.Display();
  std::string text = id.Display();
  if (id.name.size() > 40) {
    ResourceId start;
    start.name = id.name.substr(0, 24);
    text = start.Display() + "... (" + std::to_string(id.name.size()) + " units)";
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
  ResourceDirectoryReader reader;
  if (!OpenResourceDirectory(file, size, reader, problem)) return false;
  out.clear();
  if (!reader.present) return true;
  std::vector<ResourceDirectoryReader::Entry> types, names, languages;
  const auto fail = [&]() {
    problem = reader.problem.empty() ? "the resource directory is damaged" : reader.problem;
    return false;
  };
  // Each table is read once: entries that share a table would list its resources again for
  // each, and a few kilobytes of directory could list billions.
  std::set<uint64_t> tables = {0};
  const auto shared = [&](uint32_t at) {
    if (tables.insert(at).second) return false;
    problem =
        "the resource directory reaches the table at " + std::to_string(at) + " from two entries";
    return true;
  };
  if (!reader.Table(0, types)) return fail();
  for (const ResourceDirectoryReader::Entry& type : types) {
    if (!type.IsTable()) return fail();
    if (shared(type.Offset())) return false;
    if (!reader.Table(type.Offset(), names)) return fail();
    for (const ResourceDirectoryReader::Entry& name : names) {
      if (!name.IsTable()) return fail();
      if (shared(name.Offset())) return false;
      if (!reader.Table(name.Offset(), languages)) return fail();
      InspectedResource r;
      r.listed.type = type.id;
      r.listed.name = name.id;
      for (const ResourceDirectoryReader::Entry& language : languages) {
        ResourceDirectoryReader::Data data;
        if (language.IsTable()) return fail();  // a fourth level
        if (!reader.Leaf(language.target, type.id.Display() + "/" + name.id.Display(), data))
          return fail();
        if (r.languages.empty()) {
          r.listed.size = data.size;
          r.offset = data.offset;
        }
        r.languages.push_back(language.id.is_number ? language.id.number : 0);
        r.code_pages.push_back(data.code_page);
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
    return InspectSetup(file + resources[i].offset, resources[i].listed.size, storage);
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
  } else {
    out << "verdict: exit code " << v.exit_code << ": " << v.reason << "\n";
  }
  if (v.exit_code == StubExitCode::SUCCESS || !v.elevation.empty()) {
    out << "  setup: \"" << v.setup_name << "\" under \"" << v.setup_type << "\", "
        << v.setup_storage << "\n";
    out << "  archive: \"" << v.archive_name << "\" under \"" << v.archive_type
        << "\" (setup is told this name and type)\n";
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
