#include "tests/packer/packer_fixture.h"

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace packer_tests {

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

Inputs MakeInputs(const fs::path& directory) {
  Inputs in;
  fs::create_directories(directory);
  // Bytes that do not compress, so the archive has some size; the same on every run.
  std::string data(200000, '\0');
  uint32_t state = 12345;
  for (char& c : data) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  WriteText(directory / "data.bin", data);
  in.archive = directory / "application.7z";
  RunProcess({"7zz", "a", "-bd", "-bso0", in.archive.string(), (directory / "data.bin").string()});
  in.setup = directory / "setup.exe";
  fs::copy_file(wine_tests::WindowsBinDir() / "enum-resources.exe", in.setup,
                fs::copy_options::overwrite_existing);
  in.stub = wine_tests::WindowsBinDir() / "stub.exe";
  in.readme = directory / "readme.txt";
  WriteText(in.readme, "Read me first.\r\n");
  in.empty = directory / "empty.bin";
  WriteText(in.empty, "");
  in.cabinet = directory / "setup.cab";
  RunProcess({"gcab", "-c", "-n", "-z", in.cabinet.string(), in.setup.string()});
  return in;
}

// The environment overrides what the build compiled in, as for the harness's own settings.
fs::path Setting(const char* name, const char* built) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : built;
}
fs::path LinuxStubpack() { return Setting("STUBPACK_PATH", STUBPACK_PATH); }

fs::path WindowsStubpack() {
  // Once per test process; a failure shows in every test that runs the packer.
  static const std::string prepared = wine_tests::PrepareWine();
  if (!prepared.empty()) ADD_FAILURE() << prepared;
  return Setting("STUBPACK_WINE_PATH", STUBPACK_WINE_PATH);
}

bool UnderWine() {
  const char* value = std::getenv("STUBPACK_UNDER_TEST");
  return value != nullptr && std::string(value) == "wine";
}

fs::path Stubpack() { return UnderWine() ? WindowsStubpack() : LinuxStubpack(); }
fs::path BuiltIcon() { return Setting("STUBPACK_ICON", STUBPACK_ICON); }

const std::vector<std::string>& NamedProduct() {
  static const std::vector<std::string> options = {
      "--product-name",    "Packer Test", "--company-name",    "Packer Tests",
      "--product-version", "1.0",         "--legal-copyright", "none"};
  return options;
}

ProcessResult Pack(const std::vector<std::string>& arguments) {
  return PackWith(Stubpack(), arguments);
}

ProcessResult PackWith(const fs::path& packer, const std::vector<std::string>& arguments) {
  setenv("SOURCE_DATE_EPOCH", kEpoch, 1);
  std::vector<std::string> argv = {packer.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProcess(argv);
}

std::vector<DumpedResource> ObjdumpResources(const fs::path& file, std::string& output) {
  const ProcessResult dump = RunProcess({"x86_64-w64-mingw32-objdump", "-p", file.string()});
  output = dump.output;
  std::vector<DumpedResource> resources;
  DumpedResource current;
  std::istringstream lines(dump.output);
  std::string line;
  // The level shows in the indentation after the offset: 3 spaces for a type, 5 for a name, 7
  // for a language.
  const std::regex named(R"(^[0-9a-f]+( +)Entry: name: \[val: [0-9a-f]+ len \d+\]: (.*), Value: )");
  const std::regex numbered(R"(^[0-9a-f]+( +)Entry: ID: 0x([0-9a-f]+), Value: )");
  const std::regex leaf(R"(Leaf: Addr: 0x[0-9a-f]+, Size: 0x([0-9a-f]+), Codepage: (\d+))");
  std::smatch m;
  while (std::getline(lines, line)) {
    std::string id;
    uint32_t number = 0;
    size_t indent = 0;
    if (std::regex_search(line, m, named)) {
      indent = m[1].length();
      id = m[2];
    } else if (std::regex_search(line, m, numbered)) {
      indent = m[1].length();
      number = static_cast<uint32_t>(std::stoul(m[2], nullptr, 16));
      id = "#" + std::to_string(number);
    } else if (std::regex_search(line, m, leaf)) {
      current.size = static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
      current.code_page = static_cast<uint32_t>(std::stoul(m[2]));
      resources.push_back(current);
      continue;
    } else {
      continue;
    }
    if (indent == 3) current.type = id;
    if (indent == 5) current.name = id;
    if (indent == 7) current.language = number;
  }
  return resources;
}

const std::vector<LayoutCase>& LayoutCases() {
  static const std::vector<LayoutCase> cases = {
      {"Default", {"--archive", "{archive}", "--setup", "{setup}"}, true},
      {"Plain", {"--archive", "{archive}", "--setup", "{setup}", "--setup-storage", "plain"}, true},
      {"TwoArchives",
       {"--archive", "{archive}", "--setup", "{setup}", "--resource", "B7", "NIMBET.SECOND.7Z",
        "{archive}"},
       false},
      {"ReadMeUnderBL",
       {"--archive", "{archive}", "--setup", "{setup}", "--resource", "BL", "README.TXT",
        "{readme}"},
       false},
      {"ReadMeAfterArchiveUnderB7",
       {"--archive", "{archive}", "--setup", "{setup}", "--resource", "B7", "README.TXT",
        "{readme}"},
       false},
      {"ReadMeUnderOtherTypes",
       {"--archive", "{archive}", "--setup", "{setup}", "--resource", "TEXT", "README.TXT",
        "{readme}", "--resource", "10", "5", "{readme}"},
       true},
      {"EmptySetup", {"--archive", "{archive}", "--resource", "BL", "SETUP.EX_", "{empty}"}, false},
      {"SetupUnderB7",
       {"--archive", "{archive}", "--resource", "B7", "SETUP.EXE", "{setup}"},
       true},
      {"CabinetUnderBN",
       {"--archive", "{archive}", "--resource", "BN", "SETUP.EXE", "{cabinet}"},
       false},
      {"PlainExeUnderBL",
       {"--archive", "{archive}", "--resource", "BL", "SETUP.EX_", "{setup}"},
       false},
      {"SecondSetupUnderBN",
       {"--archive", "{archive}", "--setup", "{setup}", "--resource", "BN", "SETUP.EXE", "{setup}"},
       false},
      {"ArchiveWithoutSetup",
       {"--archive", "{archive}", "--resource", "TEXT", "README.TXT", "{readme}"},
       false},
      {"SetupWithoutArchive",
       {"--setup", "{setup}", "--resource", "TEXT", "README.TXT", "{readme}"},
       false},
      {"ArchiveName259Units",
       {"--setup", "{setup}", "--resource", "B7", "{name259}", "{archive}"},
       true},
      {"ArchiveName260Units",
       {"--setup", "{setup}", "--resource", "B7", "{name260}", "{archive}"},
       false},
      {"SetupNameClimbsOutOfTheWorkDirectory",
       {"--archive", "{archive}", "--resource", "B7", "SETUP\\..\\..\\EVIL.EXE", "{setup}"},
       false},
      {"SetupNameTooLongForAnyDirectory",
       {"--archive", "{archive}", "--resource", "B7", "{setup259}", "{setup}"},
       false},
      {"NumberedEntryAfterSetupUnderBL",
       {"--archive", "{archive}", "--setup", "{setup}", "--resource", "BL", "5", "{readme}"},
       false},
      {"NumberedArchive", {"--setup", "{setup}", "--resource", "B7", "7", "{archive}"}, false},
      {"SmallLetters",
       {"--resource", "B7", "nimbet.packed.7z", "{archive}", "--resource", "BL", "setup.ex_",
        "{cabinet}"},
       true},
      {"ArchiveUnderBN",
       {"--setup", "{setup}", "--resource", "BN", "NIMBET.PACKED.7Z", "{archive}"},
       true},
  };
  return cases;
}

std::vector<std::string> Expand(const std::vector<std::string>& arguments, const Inputs& in) {
  const std::vector<std::pair<std::string, std::string>> values = {
      {"{archive}", in.archive.string()},
      {"{setup}", in.setup.string()},
      {"{readme}", in.readme.string()},
      {"{empty}", in.empty.string()},
      {"{cabinet}", in.cabinet.string()},
      {"{name259}", "NIMBET" + std::string(253, 'X')},
      {"{name260}", "NIMBET" + std::string(254, 'X')},
      {"{setup259}", "SETUP" + std::string(254, 'X')},
  };
  std::vector<std::string> out;
  for (const std::string& a : arguments) {
    std::string value = a;
    for (const auto& [key, replacement] : values) {
      if (a == key) value = replacement;
    }
    out.push_back(value);
  }
  return out;
}

InspectVerdict Inspect(const fs::path& installer) {
  InspectVerdict v;
  const ProcessResult run = RunProcess({Stubpack().string(), "inspect", installer.string()});
  v.output = run.output;
  // 0 when setup runs, 1 for any other verdict of an installer.
  if (run.exit_status != 0 && run.exit_status != 1) return v;
  std::smatch m;
  if (std::regex_search(run.output, m, std::regex(R"(\nverdict: exit code (\d+): ([^\n]*))"))) {
    v.read = true;
    v.exit_code = static_cast<RunResult>(std::stoul(m[1]));
    v.reason = m[2];
  } else if (run.output.find("\nverdict: setup runs") != std::string::npos) {
    v.read = true;
  }
  if (std::regex_search(run.output, m,
                        std::regex(R"(\nlongest stub directory: (\d+) UTF-16 units with its final )"
                                   R"(backslash; a longer one ends the run with (\d+)\n)"))) {
    v.longest_directory = std::stoi(m[1]);
    v.beyond_longest = static_cast<RunResult>(std::stoul(m[2]));
  }
  return v;
}

}  // namespace packer_tests
