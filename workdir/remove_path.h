// Removal of one file or empty directory by its delete disposition, with bounded retries.
#pragma once

#include "platform/win32.h"

// True when the path no longer exists at the end; never follows a link, never recurses.
bool RemovePathWithRetries(const WCHAR* path);
