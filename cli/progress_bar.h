// A one-line progress bar with elapsed time and an estimate of the time left,
// redrawn in place with a carriage return. Meant for a terminal only.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <streambuf>
#include <string>

namespace msdisf {

class ProgressBar {
 public:
  /// Nothing is drawn until `delay` has passed, so short runs show no bar.
  explicit ProgressBar(std::ostream& out, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  /// Redraws for `fraction` (0 to 1) done, at most a few times a second.
  void update(double fraction);
  /// Erases the bar for good: the run is over.
  void finish();
  /// Erases the bar, so that a line of other output can take its place; the
  /// next update draws it again.
  void clear();

 private:
  void draw(double fraction);
  std::ostream& out_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  std::chrono::milliseconds delay_;
  bool drawn_ = false;
};

/// A stream buffer that passes everything on to `target` and calls
/// `before_line` whenever a new line begins: messages written to the same
/// terminal as a progress bar first erase the bar.
class LineStartHook : public std::streambuf {
 public:
  LineStartHook(std::streambuf* target, std::function<void()> before_line)
      : target_(target), before_line_(std::move(before_line)) {}

 protected:
  int overflow(int c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override { return target_->pubsync(); }

 private:
  std::streambuf* target_;
  std::function<void()> before_line_;
  bool at_line_start_ = true;
};

/// "m:ss" (or "h:mm:ss") for a number of seconds.
std::string clock_text(double seconds);

}  // namespace msdisf
