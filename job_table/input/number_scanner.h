// Reads white-space separated numbers from text exactly as formatted stream
// extraction of a double does in the "C" locale, without a stream.
//
// A token is taken the way the stream takes it: white space (blank, tab,
// line end, vertical tab, form feed, carriage return) is skipped, then an
// optional sign, digits with at most one decimal point, and an exponent
// marker (only after a digit) with an optional sign and digits. The token ends
// at the first character that does not fit; "1.5abc" gives 1.5 and leaves
// "abc", "1.2.3" gives 1.2 and leaves ".3". The token fails when its text is
// not a complete number ("-", ".", "1e", "e5"), when it overflows to infinity
// ("1e999"), or when no token is left. Words such as inf and nan fail.
// A value that underflows ("1e-999") is read as its rounded value, 0 or a
// subnormal, as the stream reads it.
#pragma once

#include <cstddef>

namespace msdisf {

class NumberScanner {
 public:
  NumberScanner(const char* begin, const char* end) : pos_(begin), end_(end) {}

  /// Extracts the next number into `value`; false when the extraction fails,
  /// and `value` is then left unchanged.
  bool next(double& value);

  /// Where the next extraction starts.
  const char* position() const { return pos_; }

 private:
  const char* pos_;
  const char* end_;
};

/// Converts a complete token as the stream's conversion step does; false when
/// the text is not a whole number or overflows.
bool convert_number_token(const char* begin, const char* end, double& value);

}  // namespace msdisf
