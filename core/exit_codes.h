// A step's outcome: 0 lets the run go on, anything else ends it and becomes the exit code.
#pragma once

#include <stdint.h>

using RunResult = uint32_t;

// The stub's own exit codes (docs/exit-codes.md). Any other value comes from setup.
namespace StubExitCode {
constexpr RunResult SUCCESS = 0;
constexpr RunResult CONFIGURATION_FAILED = 101;
constexpr RunResult SETUP_COMMAND_LINE_FAILED = 105;
// The stub's own path, which setup's command line names, cannot be had; it keeps the code that
// installers have always given for it.
constexpr RunResult OWN_PATH_UNAVAILABLE = 105;
constexpr RunResult SETUP_WAIT_FAILED = 107;
constexpr RunResult PATH_TOO_LONG = 108;
constexpr RunResult NO_WORK_DIRECTORY = 109;
constexpr RunResult ARCHIVE_NOT_FOUND = 112;
constexpr RunResult SETUP_EXTRACTION_FAILED = 115;
constexpr RunResult RESOURCE_WRITE_FAILED = 116;
constexpr RunResult WORK_DIRECTORY_SECURITY_FAILED = 117;
constexpr RunResult UNSUPPORTED_SWITCH = 118;
constexpr RunResult SETUP_FILE_NOT_FOUND = 122;
constexpr RunResult SETUP_PATH_NOT_FOUND = 123;
constexpr RunResult SETUP_LAUNCH_FAILED = 124;
}  // namespace StubExitCode
