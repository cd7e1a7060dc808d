#include "tools/demo-setup/setup_arguments.h"

#include <cwchar>

#include "tools/demo-setup/exit_codes.h"

namespace {

constexpr const wchar_t* kStubSwitches[] = {L"--pellorin-path=", L"--archive-resource-name=",
                                            L"--archive-resource-type="};

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Moves past one argument other than the first: quotes toggle, 2n backslashes before a quote
// keep it a quote, 2n+1 make it a literal, and "" inside quotes is a literal quote.
const wchar_t* SkipOneArgument(const wchar_t* p) {
  bool quoted = false;
  while (*p != 0 && (quoted || !IsBlank(*p))) {
    if (*p == L'\\') {
      size_t backslashes = 0;
      while (*p == L'\\') ++p, ++backslashes;
      if (*p == L'"' && backslashes % 2 == 1) ++p;
      continue;
    }
    if (*p == L'"') {
      if (quoted && p[1] == L'"') {
        p += 2;
        continue;
      }
      quoted = !quoted;
    }
    ++p;
  }
  return p;
}

}  // namespace

const wchar_t* SkipArguments(const wchar_t* command_line, int count) {
  const wchar_t* p = command_line;
  if (count <= 0) return p;
  // The program's path has a rule of its own: no escapes, a quote only opens and closes it.
  if (*p == L'"') {
    ++p;
    while (*p != 0 && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p != 0 && !IsBlank(*p)) ++p;
  }
  for (int i = 1; i < count; ++i) {
    while (IsBlank(*p)) ++p;
    p = SkipOneArgument(p);
  }
  return p;
}

std::optional<uint32_t> ParseExitCode(const std::wstring& text) {
  unsigned base = 10;
  size_t at = 0;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    at = 2;
  }
  if (at == text.size()) return std::nullopt;
  uint64_t value = 0;
  for (; at < text.size(); ++at) {
    const wchar_t c = text[at];
    unsigned digit = 0;
    if (c >= L'0' && c <= L'9') {
      digit = c - L'0';
    } else if (base == 16 && c >= L'a' && c <= L'f') {
      digit = c - L'a' + 10;
    } else if (base == 16 && c >= L'A' && c <= L'F') {
      digit = c - L'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

SetupArguments ParseSetupArguments(const wchar_t* command_line, int argc, wchar_t** argv) {
  SetupArguments arguments;
  std::wstring* const values[] = {&arguments.pellorin_path, &arguments.archive_name,
                                  &arguments.archive_type};
  // The stub's switches stand right after the program's path, in this order.
  int next = 1;
  for (int i = 0; i < 3; ++i, ++next) {
    const wchar_t* name = kStubSwitches[i];
    if (next >= argc || !StartsWith(argv[next], name)) {
      arguments.problem =
          std::wstring(L"missing ") + name + L"\"...\" as argument " + std::to_wstring(next);
      arguments.problem_code = DemoExitCode::BAD_COMMAND_LINE;
      break;
    }
    *values[i] = argv[next] + std::wcslen(name);
    if (values[i]->empty()) {
      arguments.problem = std::wstring(L"empty value of ") + name;
      arguments.problem_code = DemoExitCode::BAD_COMMAND_LINE;
      ++next;
      break;
    }
  }
  arguments.forwarded_text = SkipArguments(command_line, next);

  // demo-setup's own switches are read even when the stub's are wrong, so that a report can
  // still be written where it was asked for.
  for (int i = next; i < argc; ++i) {
    const std::wstring argument = argv[i];
    arguments.forwarded.push_back(argument);
    std::wstring problem;
    if (StartsWith(argument, L"--install-dir=")) {
      arguments.install_dir = argument.substr(14);
      if (arguments.install_dir->empty()) problem = L"empty value of --install-dir=";
    } else if (StartsWith(argument, L"--report=")) {
      arguments.report_path = argument.substr(9);
      if (arguments.report_path->empty()) problem = L"empty value of --report=";
    } else if (argument == L"--leave-file") {
      arguments.leave_file = true;
    } else if (StartsWith(argument, L"--exit-code=")) {
      arguments.exit_code = ParseExitCode(argument.substr(12));
      if (!arguments.exit_code) problem = L"--exit-code= wants a 32-bit decimal or 0x number";
    }
    if (!problem.empty() && arguments.problem.empty()) {
      arguments.problem = problem;
      arguments.problem_code = DemoExitCode::BAD_FORWARDED_SWITCH;
    }
  }
  return arguments;
}
