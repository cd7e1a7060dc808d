// Turns the payload resources into setup's file in the work directory.
#pragma once

#include "platform/win32.h"
#include "strings/fixed_wide_buffer.h"
#include "stub/run_result.h"

RunResult ExtractPayload(HMODULE stub_module, const WCHAR* work_directory, PathBuffer& setup_path,
                         PathBuffer& archive_name, ResourceTypeBuffer& archive_type);
