#include "tools/stubpack/installer_resources.h"

#include <set>

#include "tools/stubpack/resource_directory.h"

namespace stubpack {

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

}  // namespace stubpack
