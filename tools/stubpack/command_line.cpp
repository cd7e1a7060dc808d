#include "tools/stubpack/command_line.h"

#include <algorithm>

namespace stubpack {

namespace {

constexpr size_t kHelpColumn = 26;

size_t ValueCount(const OptionRow& row) {
  if (row.values.empty()) return 0;
  return 1 + static_cast<size_t>(std::count(row.values.begin(), row.values.end(), ' '));
}

// Takes the row's values after args[i] (or `inline_value`), advancing i past them.
std::string Take(const OptionRow& row, const std::string& spelled,
                 const std::vector<std::string>& args, size_t& i, const std::string* inline_value) {
  const size_t count = ValueCount(row);
  std::vector<std::string> values;
  if (count == 0) {
    if (inline_value != nullptr) return "option '" + spelled + "' takes no value";
  } else if (inline_value != nullptr) {
    if (count > 1) return "option '" + spelled + "' takes " + row.values + " as separate arguments";
    values.push_back(*inline_value);
  } else {
    if (i + count >= args.size())
      return "option '" + spelled + "' needs " +
             (count > 1 ? row.values : "a value (" + row.values + ")");
    values.assign(args.begin() + static_cast<long>(i) + 1,
                  args.begin() + static_cast<long>(i + count) + 1);
    i += count;
  }
  for (const std::string& value : values) {
    if (value.empty()) return "option '" + spelled + "' needs a value (" + row.values + ")";
  }
  return row.apply(values);
}

}  // namespace

std::string ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<OptionRow>& rows,
                             std::vector<std::string>& operands) {
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    if (arg[1] == '-') {
      const size_t equals = arg.find('=');
      const std::string name =
          arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      const std::string inline_value = equals == std::string::npos ? "" : arg.substr(equals + 1);
      const auto row = std::find_if(rows.begin(), rows.end(), [&](const OptionRow& r) {
        return !r.name.empty() && r.name == name;
      });
      if (row == rows.end()) return "unknown option '--" + name + "'";
      const std::string problem =
          Take(*row, "--" + name, args, i, equals == std::string::npos ? nullptr : &inline_value);
      if (!problem.empty()) return problem;
      continue;
    }
    // Short options: flags may be grouped; one that takes a value takes the rest of the word.
    for (size_t k = 1; k < arg.size(); ++k) {
      const auto row = std::find_if(rows.begin(), rows.end(),
                                    [&](const OptionRow& r) { return r.short_name == arg[k]; });
      const std::string spelled = std::string("-") + arg[k];
      if (row == rows.end()) return "unknown option '" + spelled + "'";
      const std::string rest = arg.substr(k + 1);
      const bool takes_rest = ValueCount(*row) == 1 && !rest.empty();
      const std::string problem = Take(*row, spelled, args, i, takes_rest ? &rest : nullptr);
      if (!problem.empty()) return problem;
      if (ValueCount(*row) > 0) break;
    }
  }
  return {};
}

std::string OptionHelp(const std::vector<OptionRow>& rows) {
  std::string text;
  for (const OptionRow& row : rows) {
    if (row.name.empty()) {
      text += (text.empty() ? "" : "\n") + row.help + "\n";
      continue;
    }
    std::string left = row.short_name ? std::string("  -") + row.short_name + ", --" : "      --";
    left += row.name + (row.values.empty() ? "" : " " + row.values);
    size_t start = 0;
    bool first = true;
    do {
      const size_t end = row.help.find('\n', start);
      const std::string line = row.help.substr(start, end == std::string::npos ? end : end - start);
      if (first && left.size() + 1 < kHelpColumn) {
        text += left + std::string(kHelpColumn - left.size(), ' ') + line + "\n";
      } else {
        if (first) text += left + "\n";
        text += std::string(kHelpColumn, ' ') + line + "\n";
      }
      first = false;
      start = end == std::string::npos ? end : end + 1;
    } while (start != std::string::npos);
  }
  return text;
}

}  // namespace stubpack
