// `stubpack inspect` over a whole file image: setup's PE headers, the resource directory, the
// verdict with its setup findings (the cabinet expanded, the manifest read), and the elevation
// reader over the image itself as for a setup stored uncompressed. Refusals are one line; what is
// read lies inside the input and reads the same a second time.
#include <algorithm>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "tools/stubpack/execution_level.h"
#include "tools/stubpack/installer_resources.h"
#include "tools/stubpack/pe_image.h"

namespace {

using namespace stubpack;

bool SameHeaders(const PeHeaders& a, const PeHeaders& b) {
  if (a.pe_offset != b.pe_offset || a.optional_offset != b.optional_offset ||
      a.machine != b.machine || a.characteristics != b.characteristics ||
      a.subsystem != b.subsystem || a.magic != b.magic ||
      a.section_alignment != b.section_alignment || a.file_alignment != b.file_alignment ||
      a.size_of_image != b.size_of_image || a.size_of_headers != b.size_of_headers ||
      a.directory_count != b.directory_count || a.section_table_offset != b.section_table_offset ||
      a.sections.size() != b.sections.size())
    return false;
  for (size_t i = 0; i < a.sections.size(); ++i) {
    const PeSection &s = a.sections[i], &t = b.sections[i];
    if (s.name != t.name || s.virtual_address != t.virtual_address ||
        s.virtual_size != t.virtual_size || s.raw_offset != t.raw_offset ||
        s.raw_size != t.raw_size)
      return false;
  }
  return true;
}

// The optional header's magic, 0 when the headers are refused.
uint16_t CheckHeaders(const uint8_t* data, size_t size) {
  const Bytes head(data, data + std::min<size_t>(size, 65536));  // as the readers take it
  PeHeaders pe, again;
  std::string problem, problem_again;
  const bool read = ParsePe(head, pe, problem);
  FUZZ_CHECK(read == ParsePe(head, again, problem_again), "a second read differs");
  if (!read) {
    FUZZ_CHECK_ONE_LINE(problem);
    FUZZ_CHECK(problem == problem_again, "%s, then %s", problem.c_str(), problem_again.c_str());
    return 0;
  }
  FUZZ_CHECK(SameHeaders(pe, again), "a second read gives other headers");
  FUZZ_CHECK(uint64_t{pe.pe_offset} + 24 <= head.size(), "PE header at %u", pe.pe_offset);
  FUZZ_CHECK(pe.optional_offset == pe.pe_offset + 24, "optional header at %u", pe.optional_offset);
  FUZZ_CHECK(pe.section_table_offset >= pe.optional_offset + 2, "optional header cut");
  FUZZ_CHECK(uint64_t{pe.section_table_offset} + 40 * uint64_t{pe.sections.size()} <= head.size(),
             "%zu sections at %u in %zu bytes", pe.sections.size(), pe.section_table_offset,
             head.size());
  if (pe.magic == 0x10B || pe.magic == 0x20B) {
    // Every data directory the header counts lies inside the optional header.
    FUZZ_CHECK(uint64_t{pe.DirectoryOffset(0)} + 8 * uint64_t{pe.directory_count} <=
                   pe.section_table_offset,
               "%u directories", pe.directory_count);
  }
  for (const PeSection& s : pe.sections)
    FUZZ_CHECK(s.name.size() <= 8 && s.name.find('\0') == std::string::npos, "section name");
  return pe.magic;
}

bool SameResources(const std::vector<InspectedResource>& a,
                   const std::vector<InspectedResource>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!(a[i].listed.type == b[i].listed.type) || !(a[i].listed.name == b[i].listed.name) ||
        a[i].listed.size != b[i].listed.size || a[i].offset != b[i].offset ||
        a[i].languages != b[i].languages || a[i].code_pages != b[i].code_pages)
      return false;
  }
  return true;
}

void CheckText(const std::string& text, bool may_be_empty) {
  if (may_be_empty && text.empty()) return;
  FUZZ_CHECK_ONE_LINE(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint16_t magic = CheckHeaders(data, size);

  ImageElevation elevation;
  std::string problem;
  if (ReadImageElevation(data, size, elevation, problem)) {
    FUZZ_CHECK(magic == 0x10B || magic == 0x20B, "elevation read from headers that are refused");
    FUZZ_CHECK(elevation.is_32_bit == (magic == 0x10B), "32-bit %d, magic %x", elevation.is_32_bit,
               magic);
  } else {
    FUZZ_CHECK_ONE_LINE(problem);
  }
  CheckText(ElevationRefusal(data, size), true);

  std::vector<InspectedResource> resources, again;
  std::string problem_again;
  const bool read = ReadResources(data, size, resources, problem);
  FUZZ_CHECK(read == ReadResources(data, size, again, problem_again), "a second read differs");
  if (!read) {
    FUZZ_CHECK_ONE_LINE(problem);
    FUZZ_CHECK(problem == problem_again, "%s, then %s", problem.c_str(), problem_again.c_str());
    return 0;
  }
  FUZZ_CHECK(SameResources(resources, again), "a second read gives other resources");
  for (const InspectedResource& r : resources) {
    FUZZ_CHECK(r.offset <= size && r.listed.size <= size - r.offset,
               "%s/%s: %llu bytes at %llu in a file of %zu", r.listed.type.Display().c_str(),
               r.listed.name.Display().c_str(), static_cast<unsigned long long>(r.listed.size),
               static_cast<unsigned long long>(r.offset), size);
    FUZZ_CHECK(r.languages.size() == r.code_pages.size(), "languages and code pages");
  }

  const Verdict v = PredictResources(data, resources);
  const Verdict w = PredictResources(data, resources);
  FUZZ_CHECK(v.exit_code == w.exit_code && v.reason == w.reason && v.elevation == w.elevation &&
                 v.setup == w.setup && v.roles == w.roles && v.broken.size() == w.broken.size(),
             "a second verdict differs");
  FUZZ_CHECK(v.roles.size() == resources.size(), "%zu roles for %zu resources", v.roles.size(),
             resources.size());
  FUZZ_CHECK(v.setup >= -1 && v.setup < static_cast<long>(resources.size()), "setup %ld", v.setup);
  CheckText(v.reason, v.exit_code == StubExitCode::SUCCESS);
  CheckText(v.elevation, true);
  for (const std::string& role : v.roles) CheckText(role, true);
  for (const Verdict::Broken& b : v.broken) {
    CheckText(b.rule, false);
    FUZZ_CHECK(b.index >= -1 && b.index < static_cast<long>(resources.size()), "rule of %ld",
               b.index);
  }
  return 0;
}
