// Turns the payload resources into setup's file in the work directory.
#pragma once

#include "core/exit_codes.h"
#include "core/fixed_wide_buffer.h"
#include "platform/win32.h"

RunResult ExtractPayload(HMODULE stub_module, const WCHAR* work_directory, PathBuffer& setup_path,
                         PathBuffer& archive_name, ResourceTypeBuffer& archive_type);
