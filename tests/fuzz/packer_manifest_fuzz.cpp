// The reader of setup's manifest text: a level read, or a one-line refusal; the same a second
// time; and a byte order mark in front changes nothing but where a refusal points.
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "tools/stubpack/execution_level.h"

using stubpack::ExecutionLevel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExecutionLevel level = ExecutionLevel::kNone, again = ExecutionLevel::kNone;
  std::string problem, problem_again;
  const bool read = stubpack::ReadExecutionLevel(data, size, level, problem);
  FUZZ_CHECK(read == stubpack::ReadExecutionLevel(data, size, again, problem_again),
             "a second read differs");
  if (read) {
    FUZZ_CHECK(level == again, "levels %d, then %d", static_cast<int>(level),
               static_cast<int>(again));
    FUZZ_CHECK(level == ExecutionLevel::kNone || level == ExecutionLevel::kAsInvoker ||
                   level == ExecutionLevel::kHighestAvailable ||
                   level == ExecutionLevel::kRequireAdministrator,
               "level %d", static_cast<int>(level));
  } else {
    FUZZ_CHECK_ONE_LINE(problem);
    FUZZ_CHECK(problem == problem_again, "%s, then %s", problem.c_str(), problem_again.c_str());
  }
  // A text that starts with a mark already would start with two.
  if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) return 0;
  std::vector<uint8_t> marked = {0xEF, 0xBB, 0xBF};
  marked.insert(marked.end(), data, data + size);
  ExecutionLevel marked_level = ExecutionLevel::kNone;
  std::string marked_problem;
  const bool marked_read =
      stubpack::ReadExecutionLevel(marked.data(), marked.size(), marked_level, marked_problem);
  FUZZ_CHECK(marked_read == read && (!read || marked_level == level),
             "with a byte order mark: %s; without: %s", marked_problem.c_str(), problem.c_str());
  return 0;
}
