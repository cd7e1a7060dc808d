// The run sequence and the process entry point.
#pragma once

#include "core/exit_codes.h"
#include "platform/win32.h"

RunResult RunStub(HMODULE stub_module);

extern "C" [[noreturn]] void StubEntry();
