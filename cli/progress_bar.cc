#include "cli/progress_bar.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "job_table/state/console.h"

namespace msdisf {

namespace {
constexpr int kWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
}  // namespace

std::string clock_text(double seconds) {
  const long total = std::lround(std::max(0.0, seconds));
  if (total >= 3600) return formatted("%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  return formatted("%ld:%02ld", total / 60, total % 60);
}

ProgressBar::ProgressBar(std::ostream& out, std::chrono::milliseconds delay)
    : out_(out), start_(std::chrono::steady_clock::now()), last_draw_(start_ - kRedrawInterval), delay_(delay) {}

void ProgressBar::update(double fraction) {
  const auto now = std::chrono::steady_clock::now();
  if (now - start_ < delay_) return;
  if (drawn_ && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  draw(fraction);
}

void ProgressBar::finish() { clear(); }

void ProgressBar::clear() {
  if (!drawn_) return;
  out_ << "\r\033[2K" << std::flush;
  drawn_ = false;
}

int LineStartHook::overflow(int c) {
  if (c == traits_type::eof()) return traits_type::not_eof(c);
  if (at_line_start_) before_line_();
  at_line_start_ = c == '\n';
  return target_->sputc(static_cast<char>(c));
}

std::streamsize LineStartHook::xsputn(const char* text, std::streamsize count) {
  for (std::streamsize i = 0; i < count; ++i) {
    if (overflow(static_cast<unsigned char>(text[i])) == traits_type::eof()) return i;
  }
  return count;
}

void ProgressBar::draw(double fraction) {
  drawn_ = true;
  fraction = std::clamp(fraction, 0.0, 1.0);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kWidth, '.');
  std::string left = "--:--";
  if (fraction > 0.0) left = clock_text(elapsed * (1.0 - fraction) / fraction);
  out_ << '\r' << '[' << bar << "] " << formatted("%3.0f%%", fraction * 100.0) << "  elapsed " << clock_text(elapsed)
       << "  left " << left << "   " << std::flush;
}

}  // namespace msdisf
