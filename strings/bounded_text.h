// Bounded operations on UTF-16 text in fixed buffers. They never write past the capacity they
// are given, never allocate and never touch the platform's last-error code.
#pragma once

#include <stddef.h>

#include "platform/win32.h"

// Units before the terminator, examining at most capacity - 1 of them.
size_t BoundedLength(const WCHAR* text, size_t capacity);

// True when the whole source with its terminator was stored; on overflow the destination
// holds the empty text.
bool BoundedCopy(WCHAR* destination, size_t capacity, const WCHAR* source);

// True when the whole source with its terminator was appended; on overflow the destination
// holds its previous text again.
bool BoundedAppend(WCHAR* destination, size_t capacity, const WCHAR* source);

// Position just after the last backslash among the first length units, or text itself.
WCHAR* AfterLastBackslash(WCHAR* text, size_t length);

// Two uppercase digits per byte, high half first, and a terminator.
bool EncodeHexUpper(const void* bytes, size_t count, WCHAR* destination, size_t capacity);
