// Wall-clock milliseconds for the estimators' timing lines.
#pragma once

#include <sys/time.h>

namespace msdisf {

class Stopwatch {
 public:
  Stopwatch() { gettimeofday(&start_, nullptr); }

  /// Elapsed milliseconds as whole-millisecond stamps of start and end:
  /// (end s * 1000 + end us / 1000) - (start s * 1000 + start us / 1000).
  int elapsed_ms() const {
    timeval end{};
    gettimeofday(&end, nullptr);
    const long end_ms = end.tv_sec * 1000 + end.tv_usec / 1000;
    const long start_ms = start_.tv_sec * 1000 + start_.tv_usec / 1000;
    return static_cast<int>(end_ms - start_ms);
  }

 private:
  timeval start_{};
};

}  // namespace msdisf
