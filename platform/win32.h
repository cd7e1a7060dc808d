// The one door to the operating system. Stub code includes this and nothing else of the OS.
// On Windows it brings the toolchain's headers; on the host it brings our emulation's
// declarations of the same subset, with the same names, types and values.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <fdi.h>
#include <sddl.h>
#include <shellapi.h>

// The platform's random generator; the toolchain exports it but declares it nowhere.
extern "C" __declspec(dllimport) BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

#define WIDE_TEXT_(text) L##text
#else
#include "platform/emulated/win32.h"

#define WIDE_TEXT_(text) u##text
#endif

// A UTF-16 literal on both sides: L"..." where WCHAR is wchar_t, u"..." where it is char16_t.
#define WTEXT(text) WIDE_TEXT_(text)
