// The run sequence and the process entry point.
#pragma once

#include "platform/win32.h"
#include "stub/run_result.h"

RunResult RunStub(HMODULE stub_module);

extern "C" [[noreturn]] void StubEntry();
