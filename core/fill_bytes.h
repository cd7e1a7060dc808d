// The stub's only byte fill; memset forwards here in the Windows build.
#pragma once

#include <stddef.h>

void* FillBytes(void* destination, int value, size_t count);
