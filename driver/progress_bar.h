// A one-line progress bar with elapsed time and an estimate of the time left,
// redrawn in place with a carriage return. Meant for a terminal only.
#pragma once

#include <chrono>
#include <ostream>

namespace msdisf {

class ProgressBar {
 public:
  explicit ProgressBar(std::ostream& out);
  /// Redraws for `fraction` (0 to 1) done, at most a few times a second.
  void update(double fraction);
  /// Draws 100 % and ends the line.
  void finish();

 private:
  void draw(double fraction);
  std::ostream& out_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

/// "m:ss" (or "h:mm:ss") for a number of seconds.
std::string clock_text(double seconds);

}  // namespace msdisf
