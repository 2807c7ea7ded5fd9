// A table of many blocks comes out in row order, the same on any number of
// threads, every value reading back as the double it was; a failed write
// stops the table.
#include "io/analysis_table.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <random>
#include <sstream>
#include <string>

namespace msdisf {
namespace {

AnalysisResult two_column_result(std::size_t rows) {
  AnalysisResult r;
  r.quantities.ngp = r.quantities.skewness = r.quantities.md = r.quantities.mcd = r.quantities.scattering = false;
  std::mt19937_64 random(3);
  std::uniform_real_distribution<double> exponent(-300.0, 300.0);
  for (std::size_t i = 0; i < rows; ++i) {
    r.lag.push_back(static_cast<long>(i));
    r.pairs.push_back(static_cast<long>(rows - i));
    r.msd.push_back(i % 1000 == 7 ? NAN : std::pow(10.0, exponent(random)) * (i % 2 ? -1.0 : 1.0));
    r.mqd.push_back(static_cast<double>(random() % 100000) / 1000.0);
  }
  return r;
}

std::string table_text(const AnalysisResult& result, int threads) {
  std::string text;
  AnalysisTableFormat format;
  format.threads = threads;
  EXPECT_TRUE(write_analysis_table(result, format, [&text](std::string_view piece) { return text += piece, true; }));
  return text;
}

double read_double(const std::string& field) {
  double value = 0.0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  EXPECT_TRUE(error == std::errc() && end == field.data() + field.size()) << field;
  return value;
}

TEST(AnalysisTable, ManyBlocksComeInRowOrderOnAnyThreadCount) {
  const AnalysisResult result = two_column_result(100000);  // several blocks of rows
  const std::string text = table_text(result, 1);
  EXPECT_EQ(table_text(result, 2), text);
  EXPECT_EQ(table_text(result, 3), text);
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "lag\tpairs\tmsd\tmqd");
  for (std::size_t r = 0; r < result.rows(); ++r) {
    ASSERT_TRUE(std::getline(lines, line)) << "row " << r;
    std::istringstream fields(line);
    std::string lag, pairs, msd, mqd;
    std::getline(fields, lag, '\t'), std::getline(fields, pairs, '\t');
    std::getline(fields, msd, '\t'), std::getline(fields, mqd, '\t');
    ASSERT_EQ(lag, std::to_string(r));
    ASSERT_EQ(pairs, std::to_string(result.pairs[r]));
    if (std::isnan(result.msd[r])) {
      ASSERT_EQ(msd, "nan");
    } else {
      ASSERT_EQ(read_double(msd), result.msd[r]) << msd;
    }
    ASSERT_EQ(read_double(mqd), result.mqd[r]) << mqd;
  }
  EXPECT_FALSE(std::getline(lines, line));
}

// Ids holding the separator, a quote or a line end are quoted fields.
TEST(AnalysisTable, ParticleIdsAreWholeFields) {
  AnalysisResult result = two_column_result(4);
  result.particle = {0, 1, 2, 3};
  AnalysisTableFormat format;
  format.separator = ',';
  format.particle_names = {"a,b", "say \"hi\"", "plain", "two\nlines"};
  std::string text;
  ASSERT_TRUE(write_analysis_table(result, format, [&text](std::string_view piece) { return text += piece, true; }));
  std::vector<std::string> first_fields;
  for (std::size_t at = text.find('\n') + 1; at < text.size();) {
    const bool quoted = text[at] == '"';
    std::size_t end = quoted ? at + 1 : text.find(',', at);
    while (quoted && !(text[end] == '"' && text[end + 1] != '"')) end += text[end] == '"' ? 2 : 1;
    first_fields.push_back(text.substr(at, end + (quoted ? 1 : 0) - at));
    at = text.find('\n', end) + 1;
  }
  EXPECT_EQ(first_fields, (std::vector<std::string>{"\"a,b\"", "\"say \"\"hi\"\"\"", "plain", "\"two\nlines\""}));
}

TEST(AnalysisTable, StopsAtTheFirstFailedWrite) {
  const AnalysisResult result = two_column_result(100000);
  AnalysisTableFormat format;
  format.threads = 2;
  int calls = 0;
  const bool written = write_analysis_table(result, format, [&calls](std::string_view) { return ++calls < 2; });
  EXPECT_FALSE(written);
  EXPECT_EQ(calls, 2);  // the header, then the first block, and nothing after the failure
}

}  // namespace
}  // namespace msdisf
