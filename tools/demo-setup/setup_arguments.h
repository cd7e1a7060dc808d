// What the stub hands to setup on its command line, and the switches of demo-setup's own that
// may come among the forwarded arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SetupArguments {
  // The three switches the stub always puts first, values without their quotes.
  std::wstring pellorin_path;
  std::wstring archive_name;
  std::wstring archive_type;
  // The stub's own arguments: the raw text after the third switch, and the same split.
  std::wstring forwarded_text;
  std::vector<std::wstring> forwarded;
  // demo-setup's switches among the forwarded ones; the last of each wins.
  std::optional<std::wstring> install_dir;
  std::optional<std::wstring> report_path;
  std::optional<uint32_t> exit_code;
  bool leave_file = false;  // --leave-file: a file beside its own setup.exe, for tests
  // Empty when the command line is usable; else what is wrong, and the exit code for it.
  std::wstring problem;
  uint32_t problem_code = 0;
};

// Splits nothing itself: `argv` is what CommandLineToArgvW made of `command_line`.
SetupArguments ParseSetupArguments(const wchar_t* command_line, int argc, wchar_t** argv);

// Decimal, or hexadecimal after "0x"; digits only, no sign, at most 32 bits.
std::optional<uint32_t> ParseExitCode(const std::wstring& text);

// The raw text after the first `count` arguments, found with the platform's splitting rules,
// beginning with the white space that separated them (empty when nothing follows).
const wchar_t* SkipArguments(const wchar_t* command_line, int count);
