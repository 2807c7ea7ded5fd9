// Tests for NumberScanner: every token must end and fail exactly where
// `std::istream >> double` ends and fails in the "C" locale, with the same
// bits. Checked on hand-picked tokens and on many generated texts.
#include "job_table/input/number_scanner.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "job_table/input/text_file.h"

namespace msdisf {
namespace {

struct Extraction {
  std::vector<std::uint64_t> bits;      // the values extracted before the first failure
  std::vector<std::ptrdiff_t> offsets;  // where each successful extraction left the input
};

Extraction by_stream(const std::string& text) {
  std::istringstream in(text);
  Extraction result;
  double value = 0.0;
  while (in >> value) {
    result.bits.push_back(std::bit_cast<std::uint64_t>(value));
    result.offsets.push_back(in.eof() ? static_cast<std::ptrdiff_t>(text.size())
                                      : static_cast<std::ptrdiff_t>(in.tellg()));
  }
  return result;
}

Extraction by_scanner(const std::string& text) {
  NumberScanner scanner(text.data(), text.data() + text.size());
  Extraction result;
  double value = 0.0;
  while (scanner.next(value)) {
    result.bits.push_back(std::bit_cast<std::uint64_t>(value));
    result.offsets.push_back(scanner.position() - text.data());
  }
  return result;
}

void expect_same_as_stream(const std::string& text) {
  const Extraction expected = by_stream(text);
  const Extraction actual = by_scanner(text);
  ASSERT_EQ(actual.bits, expected.bits) << "text: \"" << text << "\"";
  ASSERT_EQ(actual.offsets, expected.offsets) << "text: \"" << text << "\"";
}

TEST(NumberScanner, HandPickedTokensMatchTheStream) {
  for (const char* text : {"1.5abc",
                           "1.2.3",
                           "+.5",
                           "1e",
                           "1e+",
                           "1E-2x",
                           "-",
                           "+",
                           ".",
                           "-.",
                           ".e5",
                           "e5",
                           "5.",
                           "-0",
                           "007.50",
                           "inf",
                           "nan",
                           "-inf",
                           "NaN",
                           "infinity",
                           "1e999",
                           "-1e999",
                           "1e-999",
                           "4.9e-324",
                           "2.4703282292062328e-324",
                           "1.7976931348623157e308",
                           "1.7976931348623159e308",
                           "0x1p3",
                           "1,5",
                           "1 2\t3\n4\r\n5\v6\f7",
                           "  \n  ",
                           "",
                           "12e3.4",
                           "1e5e6",
                           "--1",
                           "+-1",
                           "1-2",
                           "3.14159265358979323846264338327950288",
                           "0.000000000000000000000000000000000000001e-290",
                           "123456789012345678901234567890e-10"}) {
    expect_same_as_stream(text);
  }
  expect_same_as_stream(std::string("12\0 3", 5));
}

TEST(NumberScanner, KnownTokensGiveKnownValues) {
  const std::string text = "1.5abc";
  NumberScanner scanner(text.data(), text.data() + text.size());
  double value = 0.0;
  ASSERT_TRUE(scanner.next(value));
  EXPECT_EQ(value, 1.5);
  EXPECT_EQ(std::string(scanner.position()), "abc");
  EXPECT_FALSE(scanner.next(value));
  EXPECT_EQ(value, 1.5);  // a failed extraction leaves the target alone
}

// Texts drawn from the characters that matter to the token rules.
std::string random_text(std::mt19937_64& random) {
  static const std::string alphabet = "0123456789012345678901234567890123456789..eE+-+- \t\n\r\n  abfinx";
  std::uniform_int_distribution<int> length(0, 24);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string text;
  for (int i = length(random); i > 0; --i) text += alphabet[pick(random)];
  return text;
}

// Well-formed numbers across the whole double range, printed many ways.
std::string random_number(std::mt19937_64& random) {
  std::uniform_int_distribution<std::uint64_t> bits;
  std::uniform_int_distribution<int> style(0, 5);
  std::uniform_int_distribution<int> exponent(-420, 420);
  const double value = std::bit_cast<double>(bits(random));
  char buffer[128];
  switch (style(random)) {
    case 0:
      std::snprintf(buffer, sizeof buffer, "%.17g", value);
      break;
    case 1:
      std::snprintf(buffer, sizeof buffer, "%.5f", std::fmod(value, 1e6));
      break;
    case 2:
      std::snprintf(buffer, sizeof buffer, "%.25e", value);
      break;
    case 3:
      std::snprintf(buffer, sizeof buffer, "%llue%d", static_cast<unsigned long long>(bits(random) % 100000000000ULL),
                    exponent(random));
      break;
    case 4:
      std::snprintf(buffer, sizeof buffer, "+%.3g", value);
      break;
    default:
      std::snprintf(buffer, sizeof buffer, "-.%llu", static_cast<unsigned long long>(bits(random)));
      break;
  }
  return buffer;
}

TEST(NumberScanner, GeneratedTextsMatchTheStream) {
  std::mt19937_64 random(20261209);
  for (int i = 0; i < 200000; ++i) expect_same_as_stream(random_text(random));
}

TEST(NumberScanner, GeneratedNumbersMatchTheStreamBitForBit) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 100000; ++i) {
    std::string text = random_number(random) + " " + random_number(random) + "\n" + random_number(random);
    expect_same_as_stream(text);
  }
}

TEST(LineCount, CountsLinesAsALineByLineReadDoes) {
  EXPECT_EQ(count_lines(""), 0);
  EXPECT_EQ(count_lines("a"), 1);
  EXPECT_EQ(count_lines("a\n"), 1);
  EXPECT_EQ(count_lines("a\nb"), 2);
  EXPECT_EQ(count_lines("\n"), 1);
  EXPECT_EQ(count_lines("a\n\n"), 2);
  EXPECT_EQ(count_lines("a\r\nb\r\n"), 2);
}

}  // namespace
}  // namespace msdisf
