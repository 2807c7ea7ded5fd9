// A table large enough to be parsed in pieces on several threads reads as
// one pass would: every record with its own line number, the first unusable
// line named, skipped lines counted in order.
#include "io/record_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <variant>

namespace msdisf {
namespace {

struct Text {
  std::string text = "frame,particle,x,y\n";
  std::vector<long> record_lines;
  long lines = 1;
  void add(const std::string& line, bool record) {
    text += line + "\n";
    ++lines;
    if (record) record_lines.push_back(lines);
  }
};

Text big_table(const std::vector<long>& bad_lines) {
  Text t;
  for (long i = 0; i < 250000; ++i) {
    if (i % 40000 == 7) t.add(i % 80000 == 7 ? "# a comment" : "", false);
    const bool bad = std::find(bad_lines.begin(), bad_lines.end(), t.lines + 1) != bad_lines.end();
    t.add(std::to_string(i % 1000) + "," + std::to_string(i / 1000) + "," + (bad ? "abc" : std::to_string(i)) + ",0.5",
          !bad);
  }
  return t;
}

TEST(RecordTable, LargeTablesReadInPiecesAsInOnePass) {
  const Text clean = big_table({});
  ASSERT_GT(clean.text.size(), std::size_t{1} << 22);
  const auto read = read_record_table(clean.text, {});
  ASSERT_TRUE(std::holds_alternative<RecordTable>(read));
  const RecordTable& table = std::get<RecordTable>(read);
  ASSERT_EQ(table.line, clean.record_lines);
  for (std::size_t i = 0; i < table.x.size(); i += 997) {
    EXPECT_EQ(table.x[i], static_cast<double>(i));
    EXPECT_EQ(table.frame[i], static_cast<std::int64_t>(i % 1000));
    EXPECT_EQ(table.particle[i], static_cast<std::int64_t>(i / 1000));
  }

  const std::vector<long> bad = {120003, 240001};
  const Text broken = big_table(bad);
  const auto failed = read_record_table(broken.text, {});
  ASSERT_TRUE(std::holds_alternative<RecordTableError>(failed));
  EXPECT_EQ(std::get<RecordTableError>(failed).message, "line 120003, column 'x': 'abc' is not a number");

  const auto skipped = read_record_table(broken.text, {.skip_bad_lines = true});
  ASSERT_TRUE(std::holds_alternative<RecordTable>(skipped));
  const RecordTable& kept = std::get<RecordTable>(skipped);
  EXPECT_EQ(kept.skipped, 2);
  EXPECT_EQ(kept.first_skipped, bad);
  EXPECT_EQ(kept.line, broken.record_lines);
}

TEST(RecordTable, LargeHeaderlessTablesKeepTheirFirstRecord) {
  // x y t lines after a comment: the first content line is already a record.
  std::string text = "# x y t\n";
  for (long i = 0; i < 300000; ++i) text += std::to_string(i) + ".5 0.25 " + std::to_string(i + 1) + "\n";
  ASSERT_GT(text.size(), std::size_t{1} << 22);
  const auto read = read_record_table(text, {});
  ASSERT_TRUE(std::holds_alternative<RecordTable>(read));
  const RecordTable& table = std::get<RecordTable>(read);
  ASSERT_EQ(table.x.size(), 300000u);
  EXPECT_EQ(table.line.front(), 2);
  EXPECT_EQ(table.line.back(), 300001);
  EXPECT_EQ(table.x.front(), 0.5);
  EXPECT_EQ(table.time.back(), 300000.0);  // the comment names the column t: times
}

TEST(RecordTable, NumbersReadAsTheirCorrectlyRoundedValues) {
  // Short forms, the edges of exact arithmetic (2^53, 19 digits, 10^22) and
  // random decimals of every length must give what strtod gives.
  std::vector<std::string> tokens = {"0",    "-0.0",  "+2.5", "007.50", "1e5", ".5", "5.", "-1.5E-3", "0.1",
                                     "9007199254740992",      "9007199254740993",     "1234567890123456789",
                                     "0.0000000000000000000001", "0.00000000000000000000001", "1.7976931348623157e308"};
  std::mt19937_64 random(7);
  for (int i = 0; i < 3000; ++i) {
    const std::string digits = std::to_string(random() >> (random() % 64));
    const std::size_t point = random() % (digits.size() + 1);
    std::string token = i % 2 ? "-" : "";
    token.append(point == 0 ? "0" : digits.substr(0, point));
    token.append(".");
    token.append(point == digits.size() ? "0" : digits.substr(point));
    tokens.push_back(token);
  }
  std::string text = "x,y,frame\n";
  for (std::size_t i = 0; i < tokens.size(); ++i) text += tokens[i] + ",0," + std::to_string(i) + "\n";
  const auto read = read_record_table(text, {});
  ASSERT_TRUE(std::holds_alternative<RecordTable>(read));
  const RecordTable& table = std::get<RecordTable>(read);
  ASSERT_EQ(table.x.size(), tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const double expected = std::strtod(tokens[i].c_str(), nullptr);
    EXPECT_EQ(std::memcmp(&table.x[i], &expected, sizeof(double)), 0) << tokens[i];
  }
}

}  // namespace
}  // namespace msdisf
