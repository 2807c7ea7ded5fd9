#include "job_table/input/number_scanner.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace msdisf {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_sign(char c) { return c == '+' || c == '-'; }

}  // namespace

bool convert_number_token(const char* begin, const char* end, double& value) {
  // Fast path: a correctly rounded conversion of the whole token. It rejects a
  // leading '+', which changes nothing about the value.
  const char* digits = begin != end && *begin == '+' ? begin + 1 : begin;
  double parsed = 0.0;
  const auto [stop, error] = std::from_chars(digits, end, parsed, std::chars_format::general);
  if (error == std::errc() && stop == end) {
    value = parsed;
    return true;
  }
  // Everything else (incomplete tokens, overflow, underflow) takes the
  // stream's own rule: strtod must take the whole token and not give infinity.
  const std::string text(begin, end);
  char* sanity = nullptr;
  const double converted = std::strtod(text.c_str(), &sanity);
  if (sanity == text.c_str() || *sanity != '\0' || std::isinf(converted)) return false;
  value = converted;
  return true;
}

bool NumberScanner::next(double& value) {
  while (pos_ != end_ && is_space(*pos_)) ++pos_;
  if (pos_ == end_) return false;
  const char* const start = pos_;
  const char* p = pos_;
  if (is_sign(*p)) ++p;
  bool found_mantissa = false;
  bool found_decimal = false;
  bool found_exponent = false;
  while (p != end_) {
    const char c = *p;
    if (c == '.' && !found_decimal && !found_exponent) {
      found_decimal = true;
    } else if (is_digit(c)) {
      found_mantissa = true;
    } else if ((c == 'e' || c == 'E') && !found_exponent && found_mantissa) {
      found_exponent = true;
      ++p;
      if (p == end_) break;
      if (!is_sign(*p)) continue;  // look at this character again as a digit
    } else {
      break;
    }
    ++p;
  }
  pos_ = p;
  return convert_number_token(start, p, value);
}

}  // namespace msdisf
