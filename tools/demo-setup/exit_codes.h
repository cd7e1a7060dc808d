// demo-setup's own exit codes (docs/exit-codes.md). They start at 200, clear of the stub's
// 101-124, so a test can tell which program failed.
#pragma once

#include <cstdint>

namespace DemoExitCode {
constexpr uint32_t SUCCESS = 0;
constexpr uint32_t BAD_COMMAND_LINE = 200;      // a switch from the stub is missing or empty
constexpr uint32_t BAD_FORWARDED_SWITCH = 201;  // --exit-code, --install-dir or --report is bad
constexpr uint32_t STUB_NOT_OPENED = 202;       // --pellorin-path names no loadable image
constexpr uint32_t ARCHIVE_NOT_FOUND = 203;     // no resource of that name and type
constexpr uint32_t NOT_A_7Z_ARCHIVE = 204;      // too short, or no 7z signature
constexpr uint32_t START_HEADER_CRC_MISMATCH = 205;  // the start header's CRC does not match
constexpr uint32_t INSTALL_FAILED = 206;             // the install directory or the copy failed
constexpr uint32_t REPORT_FAILED = 207;              // the report cannot be written
}  // namespace DemoExitCode
