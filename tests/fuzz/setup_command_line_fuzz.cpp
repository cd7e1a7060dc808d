// The stub's own command line, as the platform hands it over, against setup's command line:
// the fixed part first, always whole; then the stub's arguments after its own path, forwarded
// exactly as they came, or dropped whole when they do not fit. Also the exit code of the launch.
#include <string>

#include "core/exit_codes.h"
#include "setup/launch_setup.h"
#include "strings/bounded_text.h"
#include "stub/stub_config.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

constexpr size_t kLineCapacity = 1300;

// A command line as a user or a shortcut may write it: quotes, blanks, backslashes and long runs.
std::u16string CommandLine(FuzzInput& in) {
  std::u16string line;
  while (!in.Empty() && line.size() < 3000) {
    const uint8_t b = in.Byte();
    if (b == 0xFF && !line.empty()) {
      line.append(8 * static_cast<size_t>(in.Byte()), line.back());  // a long run of the last unit
      continue;
    }
    in.at--;
    const char16_t unit = InterestingUnit(in);
    if (unit == 0) break;  // the platform's text ends at its first NUL
    line += unit;
  }
  return line;
}

// What setup must receive after the fixed part, written from the forwarding rules.
std::u16string ModelCommandLine(const std::u16string& fixed, const std::u16string& own) {
  size_t p = 0;
  if (!own.empty() && own[0] == u'"') {
    const size_t close = own.find(u'"', 1);
    if (close == std::u16string::npos) return fixed;  // unterminated: nothing forwarded
    p = close + 1;
  } else {
    while (p < own.size() && own[p] != u' ' && own[p] != u'\t') ++p;
  }
  if (p == own.size()) return fixed;
  std::u16string line = fixed;
  if (own[p] != u' ' && own[p] != u'\t') {
    if (line.size() + 1 >= kLineCapacity) return line;
    line += u' ';
  }
  const std::u16string tail = own.substr(p);
  if (line.size() + tail.size() < kLineCapacity) line += tail;  // else dropped whole
  return line;
}

// "C:\...\" of about the length asked for, and a file name in it, giving exactly length units.
std::u16string PathOfLength(size_t length, const std::u16string& file) {
  return FuzzDirectoryOfLength(length - file.size()) + file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  emu::Reset();
  // The run hands over a stub path that fit its buffer: 16 to 259 units.
  const std::u16string stub_path = PathOfLength(16 + in.Byte() % 244, u"stub.exe");
  const std::u16string setup_path = PathOfLength(24 + in.Byte() % 236, u"setup.exe");  // up to 259
  const std::u16string archive_name =
      u"NIMBET" + std::u16string(in.Byte() % 254, u'7');  // up to 259
  const char16_t* const kTypes[] = {u"B7", u"BL", u"BN"};
  const std::u16string archive_type = kTypes[in.Byte() % 3];
  const DWORD setup_exit = in.Byte() % 3 == 0 ? 0 : static_cast<DWORD>(in.Word()) << 16 | in.Word();
  const uint8_t fault = in.Byte();
  const std::u16string own = CommandLine(in);

  // No file for the stub itself: the launch only names it.
  FUZZ_CHECK(emu::MakeDirectory(setup_path.substr(0, setup_path.rfind(u'\\'))),
             "cannot make setup's directory");
  FUZZ_CHECK(emu::MakeFile(setup_path, "MZ"), "cannot place setup");
  std::u16string received;
  int runs = 0;
  emu::RegisterProgram(setup_path, [&](const std::u16string& line) {
    received = line;
    ++runs;
    return setup_exit;
  });
  emu::SetCommandLine(own);

  // The launch's own faults, each with the exit code it must give.
  RunResult want = setup_exit;
  bool starts = true;
  emu::Fault injected;
  injected.nth = 1;
  switch (fault % 16) {
    case 1:
      injected.op = emu::Op::CreateProcessW, injected.error = ERROR_FILE_NOT_FOUND, want = 122;
      break;
    case 2:
      injected.op = emu::Op::CreateProcessW, injected.error = ERROR_PATH_NOT_FOUND, want = 123;
      break;
    case 3:  // held throughout: every attempt of about a second refused
      injected.op = emu::Op::CreateProcessW, injected.error = ERROR_ACCESS_DENIED, want = 124;
      injected.persistent = true;
      break;
    case 6:  // held for a moment: the start is tried again and setup runs
      injected.op = emu::Op::CreateProcessW, injected.error = ERROR_SHARING_VIOLATION;
      break;
    case 4:
      injected.op = emu::Op::WaitForSingleObject, want = 107;
      break;
    case 5:
      injected.op = emu::Op::GetExitCodeProcess, want = 107;
      break;
    default:
      injected.nth = 0;
      break;
  }
  // A start refused for good runs nothing; one refused for a moment is tried again.
  if (injected.op == emu::Op::CreateProcessW && injected.error != ERROR_SHARING_VIOLATION)
    starts = false;

  const std::u16string fixed = u"\"" + setup_path + u"\" --pellorin-path=\"" + stub_path +
                               u"\" --archive-resource-name=\"" + archive_name +
                               u"\" --archive-resource-type=\"" + archive_type + u"\"";
  const std::u16string expected = ModelCommandLine(fixed, own);
  {
    StubConfig config;
    FUZZ_CHECK(config.Load(), "the command line %s could not be split", ShowText(own).c_str());
    PathBuffer stub, name, path;
    ResourceTypeBuffer type;
    BoundedCopy(stub.Text(), PathBuffer::Capacity(), stub_path.c_str());
    BoundedCopy(name.Text(), PathBuffer::Capacity(), archive_name.c_str());
    BoundedCopy(type.Text(), ResourceTypeBuffer::Capacity(), archive_type.c_str());
    BoundedCopy(path.Text(), PathBuffer::Capacity(), setup_path.c_str());
    if (injected.nth != 0) emu::InjectFault(injected);
    const RunResult got = LaunchSetup(config.command_line, stub, name, type, path);
    FUZZ_CHECK(got == want, "exit code %u, model %u", got, want);
  }
  CheckNothingLeaked();
  FUZZ_CHECK(runs == (starts ? 1 : 0), "setup ran %d times, model %d", runs, starts ? 1 : 0);
  if (!starts) return 0;
  const auto& start = emu::ProcessStarts().back();
  FUZZ_CHECK(start.application == setup_path, "started %s", ShowText(start.application).c_str());
  FUZZ_CHECK(received == expected, "own command line %s\n  setup received %s\n  model          %s",
             ShowText(own).c_str(), ShowText(received).c_str(), ShowText(expected).c_str());
  FUZZ_CHECK(received.compare(0, fixed.size(), fixed) == 0,
             "the fixed part is not first and whole");
  FUZZ_CHECK(received.size() < kLineCapacity, "%zu units: past the buffer", received.size());
  return 0;
}
