#include "web/Snapshot.h"

#include <time.h>

std::int64_t MonotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}
