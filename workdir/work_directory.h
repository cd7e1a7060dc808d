// The private, randomly named work directory beside the stub's executable.
#pragma once

#include "core/exit_codes.h"
#include "core/fixed_wide_buffer.h"
#include "core/owner.h"
#include "platform/win32.h"

// 0 when the directory exists; work_directory then ends with a backslash. Otherwise
// PATH_TOO_LONG, NO_WORK_DIRECTORY or WORK_DIRECTORY_SECURITY_FAILED, and nothing was created.
RunResult CreateUniqueWorkDirectory(const WCHAR* stub_directory, PathBuffer& work_directory);

// The path in the form that lifts Windows' default limits: "\\?\" before a drive path,
// "\\?\UNC\" for a share; a path that is already in that form (or names a device) is kept.
// False when it does not fit.
bool ToExtendedPath(const WCHAR* path, WCHAR* extended, size_t capacity);

// True with no descriptor where the volume keeps no access lists (or cannot be asked), true with
// one where it does; false when building it failed.
bool BuildDirectoryAccessList(const WCHAR* path, LocalBlock<void>& descriptor);

// The token's default owner as SID text.
bool GetTokenOwnerSidText(LocalBlock<WCHAR>& text);
