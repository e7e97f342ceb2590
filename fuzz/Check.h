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

// For a target's own checks: what the fuzzer steers by is the coverage of
// the code under test, not of the checker, and a check run after every step
// over every slot would otherwise spend more time tracing its own compares
// than the step took.
#if defined(__clang__)
#define FUZZ_UNCOVERED __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_UNCOVERED
#endif
