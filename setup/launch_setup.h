// Setup's command line, its start, the wait for it and its exit code.
#pragma once

#include "core/exit_codes.h"
#include "core/fixed_wide_buffer.h"
#include "platform/win32.h"

// Setup's exit code, or SETUP_COMMAND_LINE_FAILED, SETUP_WAIT_FAILED, SETUP_FILE_NOT_FOUND,
// SETUP_PATH_NOT_FOUND or SETUP_LAUNCH_FAILED. stub_command_line is the stub's own, as the
// platform gave it, whose arguments setup receives after the three switches.
RunResult LaunchSetup(const WCHAR* stub_command_line, const PathBuffer& stub_path,
                      const PathBuffer& archive_name, const ResourceTypeBuffer& archive_type,
                      const PathBuffer& setup_path);

// Starts the program with the command line, waits without a limit, and gives its exit code or
// one of the three codes for a start that failed.
RunResult StartAndAwaitProcess(const WCHAR* program_path, WCHAR* command_line,
                               RunResult missing_file, RunResult missing_path,
                               RunResult other_failure);
