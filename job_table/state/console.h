// The two text channels every stage reports on. The driver binds them to
// standard output and standard error; tests bind them to string streams.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <ostream>
#include <string>

namespace msdisf {

struct Console {
  std::ostream& out;
  std::ostream& err;
};

/// printf-style formatting into a string, for the messages whose exact form is
/// fixed by a printf format (progress, timing and debug lines).
[[gnu::format(printf, 1, 2)]] inline std::string formatted(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length < 0) return {};
  if (static_cast<std::size_t>(length) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(length));
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  text.pop_back();
  return text;
}

}  // namespace msdisf
