// The reader of setup's version resource, over a bare block and over the same bytes taken as a
// whole image: a one-line refusal or a tree whose texts fit in the input, the same a second
// time, and a chosen table that is one of the tables read.
#include <string>

#include "tests/fuzz/fuzz_check.h"
#include "tools/stubpack/version_info.h"

namespace {

bool Same(const stubpack::VersionInfo& a, const stubpack::VersionInfo& b) {
  if (a.has_fixed != b.has_fixed || a.tables.size() != b.tables.size() ||
      a.translations != b.translations)
    return false;
  for (size_t i = 0; i < a.tables.size(); ++i) {
    if (a.tables[i].name != b.tables[i].name ||
        a.tables[i].strings.size() != b.tables[i].strings.size())
      return false;
    for (size_t k = 0; k < a.tables[i].strings.size(); ++k) {
      if (a.tables[i].strings[k].key != b.tables[i].strings[k].key ||
          a.tables[i].strings[k].value != b.tables[i].strings[k].value)
        return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  stubpack::VersionInfo info, again;
  std::string problem, problem_again;
  const bool read = stubpack::ReadVersionInfo(data, size, info, problem);
  FUZZ_CHECK(read == stubpack::ReadVersionInfo(data, size, again, problem_again),
             "a second read differs");
  if (read) {
    FUZZ_CHECK(Same(info, again), "a second read gives another tree");
    // Text is UTF-16 in the block: its UTF-8 form is at most 3 bytes for each 2 read.
    size_t text = 0;
    for (const stubpack::VersionTable& t : info.tables) {
      text += t.name.size();
      for (const stubpack::VersionString& s : t.strings) text += s.key.size() + s.value.size();
    }
    FUZZ_CHECK(text <= size * 3 / 2, "%zu bytes of text from %zu bytes", text, size);
    if (const stubpack::VersionTable* chosen = stubpack::ChosenTable(info)) {
      FUZZ_CHECK(chosen >= info.tables.data() && chosen < info.tables.data() + info.tables.size(),
                 "the chosen table is none of the tables read");
    } else {
      FUZZ_CHECK(info.tables.empty(), "no table chosen from %zu", info.tables.size());
    }
  } else {
    FUZZ_CHECK_ONE_LINE(problem);
    FUZZ_CHECK(problem == problem_again, "%s, then %s", problem.c_str(), problem_again.c_str());
  }

  stubpack::VersionInfo image;
  bool present = false;
  std::string image_problem;
  if (!stubpack::ReadImageVersionInfo(data, size, image, present, image_problem))
    FUZZ_CHECK_ONE_LINE(image_problem);
  return 0;
}
