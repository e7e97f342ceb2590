#pragma once
// What a fuzz target asserts beyond "no crash": a property that fails stops
// the run with the condition and the input's size, and libFuzzer (or the
// replay under CTest) keeps the input.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                        \
  do {                                                                               \
    if (!(condition)) {                                                              \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)
