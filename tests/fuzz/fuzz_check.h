// The check that stops a fuzzer with a message when the code under test breaks a promise.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>

#define FUZZ_CHECK(condition, ...)                                                    \
  do {                                                                                \
    if (!(condition)) {                                                               \
      fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #condition); \
      fprintf(stderr, __VA_ARGS__);                                                   \
      fprintf(stderr, "\n");                                                          \
      abort();                                                                        \
    }                                                                                 \
  } while (0)

// A reader's problem is one line: something, and no line break in it.
#define FUZZ_CHECK_ONE_LINE(text)                                                        \
  FUZZ_CHECK(!(text).empty() && (text).find_first_of("\r\n") == std::string::npos, "%s", \
             (text).c_str())
