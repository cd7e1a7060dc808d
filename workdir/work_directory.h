// The private, randomly named work directory beside the stub's executable.
#pragma once

#include "platform/win32.h"
#include "strings/fixed_wide_buffer.h"
#include "stub/run_result.h"

// True when the directory exists; work_directory then ends with a backslash and result is 0.
// Otherwise result is PATH_TOO_LONG, NO_WORK_DIRECTORY or WORK_DIRECTORY_SECURITY_FAILED and
// nothing was created.
bool CreateUniqueWorkDirectory(const WCHAR* base_directory, PathBuffer& work_directory,
                               RunResult& result);

// True with no descriptor where the volume keeps no access lists (or cannot be asked); true with
// a descriptor the caller releases with LocalFree; false when building it failed.
bool BuildDirectoryAccessList(const WCHAR* path, PSECURITY_DESCRIPTOR& descriptor);

// The token's default owner as SID text, released by the caller with LocalFree.
bool GetTokenOwnerSidText(WCHAR*& text);
