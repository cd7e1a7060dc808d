// stubpack's command line: a table of options, one row each, parsed the GNU way and printed as
// the option part of --help.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace stubpack {

struct OptionRow {
  std::string name;     // the long name without "--"; empty: a heading, `help` its text
  char short_name = 0;  // 0: none
  // The values it takes, as --help names them ("FILE", "TYPE NAME FILE"); empty: a flag.
  std::string values;
  std::string help;  // lines separated by '\n'
  // Takes the values; returns the problem for a usage error, or an empty text.
  std::function<std::string(const std::vector<std::string>& values)> apply;
};

// Applies `args` to `rows`: "--name value", "--name=value" (one value only), "-x value", "-xvalue",
// flags grouped as "-qv"; "--" ends the options; the rest, and a lone "-", go to `operands`.
// Returns the one-line problem of a usage error, or an empty text.
std::string ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<OptionRow>& rows,
                             std::vector<std::string>& operands);

// The rows as --help lists them: headings, then "  -x, --name VALUES  help" aligned.
std::string OptionHelp(const std::vector<OptionRow>& rows);

}  // namespace stubpack
