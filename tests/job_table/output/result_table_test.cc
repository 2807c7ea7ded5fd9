// Tests for the result table writer: the header, the 96-column rows, the
// exact "%.7f" formatting, all-or-nothing replacement, and a round trip
// through the number scanner.
#include "job_table/output/result_table.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <random>
#include <sstream>

#include "job_table/input/number_scanner.h"
#include "tests/support/temp_dir.h"

namespace msdisf {
namespace {

using testing::read_file;
using testing::TempDir;

std::string printf_fixed7(double value) { return formatted("%.7f", value); }

std::string ours(double value) {
  std::string text;
  append_fixed7(text, value);
  return text;
}

TEST(FixedSevenFormat, MatchesPrintfOnSpecialValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const double value : {0.0,
                             -0.0,
                             nan,
                             -nan,
                             inf,
                             -inf,
                             0.0 / std::sin(0.0),
                             1.0,
                             -1.0,
                             0.5,
                             1e-8,
                             5e-8,
                             -5e-8,
                             4.9e-324,
                             1.7976931348623157e308,
                             -1.7976931348623157e308,
                             123456789.123456789,
                             0.00000005,
                             0.00000015,
                             0.00000025,
                             2.00000005,
                             1e22,
                             1e23}) {
    EXPECT_EQ(ours(value), printf_fixed7(value)) << std::hexfloat << value;
  }
}

TEST(FixedSevenFormat, MatchesPrintfOnRandomDoublesAndTies) {
  std::mt19937_64 random(3);
  std::uniform_int_distribution<std::uint64_t> bits;
  std::uniform_int_distribution<int> exponent(-40, 40);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (int i = 0; i < 200000; ++i) {
    const double any = std::bit_cast<double>(bits(random));
    ASSERT_EQ(ours(any), printf_fixed7(any)) << std::hexfloat << any;
    const double scaled = unit(random) * std::pow(10.0, exponent(random));
    ASSERT_EQ(ours(scaled), printf_fixed7(scaled)) << std::hexfloat << scaled;
    // Exact binary ties at the eighth decimal and beyond: k / 2^j.
    const double tie = std::ldexp(static_cast<double>(bits(random) % 100000000), -(8 + i % 20));
    ASSERT_EQ(ours(tie), printf_fixed7(tie)) << std::hexfloat << tie;
  }
}

TEST(ResultHeader, LabelsEveryColumnWithTheShortScaleFormat) {
  std::string header;
  append_header(header);
  EXPECT_EQ(header.rfind("lag \t  msd \t mqd \t ngp \t skewness \tisfx[5.36] \tisfx[7.5] \tisfx[10.18] \t", 0), 0u);
  EXPECT_NE(header.find("isfx[267.86] \tisfy[5.36] \t"), std::string::npos);
  const std::string tail = "isfr_im[251.79] \tisfr_im[267.86] \tcounter\n";
  EXPECT_EQ(header.substr(header.size() - tail.size()), tail);
  EXPECT_EQ(std::count(header.begin(), header.end(), '\t'), 95);
}

class ResultTableFile : public ::testing::Test {
 protected:
  ResultTableFile() : state(8), path((dir.path() / "table.dat").string()) {}
  bool write() { return print_data(state, path, console); }
  std::vector<std::string> lines() const {
    std::istringstream text(read_file(path));
    std::vector<std::string> result;
    for (std::string line; std::getline(text, line);) result.push_back(line);
    return result;
  }
  TempDir dir;
  AnalysisState state;
  std::string path;
  std::ostringstream out, err;
  Console console{out, err};
};

TEST_F(ResultTableFile, HoldsTheHeaderOnlyForNOfZeroOrOne) {
  for (const int n : {0, 1, -1}) {
    state.N = n;
    ASSERT_TRUE(write());
    std::string header;
    append_header(header);
    EXPECT_EQ(read_file(path), header);
  }
}

TEST_F(ResultTableFile, WritesOneLineOf96ValuesPerLag) {
  state.N = 3;
  state.msd[0] = 1.5;
  state.mqd[1] = -2.25;
  state.ngp[0] = 0.0 / std::sin(0.0);  // the NaN of 0 / 0
  state.isfx[0][0] = 0.123456789;
  state.isfr_im[14][1] = -1e-9;
  state.msdcounter[0] = 42;
  ASSERT_TRUE(write());
  const auto rows = lines();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(
      rows[1].rfind("1.0000000\t1.5000000\t0.0000000\t" + printf_fixed7(state.ngp[0]) + "\t0.0000000\t0.1234568\t", 0),
      0u)
      << rows[1];
  EXPECT_EQ(rows[1].substr(rows[1].size() - 11), "\t42.0000000");
  EXPECT_EQ(rows[2].rfind("2.0000000\t0.0000000\t-2.2500000\t", 0), 0u);
  EXPECT_EQ(rows[2].substr(rows[2].size() - 21), "\t-0.0000000\t0.0000000");
  for (std::size_t r = 1; r < rows.size(); ++r) EXPECT_EQ(std::count(rows[r].begin(), rows[r].end(), '\t'), 95);
  EXPECT_EQ(read_file(path).back(), '\n');
}

TEST_F(ResultTableFile, ValuesReadBackWithinTheLastPrintedDigit) {
  std::mt19937_64 random(1);
  std::normal_distribution<double> normal(0.0, 100.0);
  state.N = 6;
  double** matrices[] = {state.isfx, state.isfy, state.isfr, state.isfx_im, state.isfy_im, state.isfr_im};
  for (long k = 0; k < 5; ++k) {
    state.msd[k] = normal(random);
    state.mqd[k] = normal(random);
    for (double** matrix : matrices) {
      for (int m = 0; m < kScaleCount; ++m) matrix[m][k] = normal(random) / 1000.0;
    }
  }
  ASSERT_TRUE(write());
  const std::string text = read_file(path);
  NumberScanner scanner(text.data() + text.find('\n'), text.data() + text.size());
  for (long k = 0; k < 5; ++k) {
    double value = 0.0;
    ASSERT_TRUE(scanner.next(value));
    EXPECT_EQ(value, static_cast<double>(k + 1));
    ASSERT_TRUE(scanner.next(value));
    EXPECT_NEAR(value, state.msd[k], 5e-8);
    ASSERT_TRUE(scanner.next(value));
    EXPECT_NEAR(value, state.mqd[k], 5e-8);
    scanner.next(value);
    scanner.next(value);
    for (double** matrix : matrices) {
      for (int m = 0; m < kScaleCount; ++m) {
        ASSERT_TRUE(scanner.next(value));
        EXPECT_NEAR(value, matrix[m][k], 5e-8);
      }
    }
    scanner.next(value);
  }
}

TEST_F(ResultTableFile, ASecondCallReplacesTheFirstTable) {
  state.N = 5;
  ASSERT_TRUE(write());
  state.N = 2;
  ASSERT_TRUE(write());
  EXPECT_EQ(lines().size(), 2u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temporary left
}

TEST_F(ResultTableFile, AMissingDirectoryIsReportedAndCreatesNothing) {
  path = (dir.path() / "absent" / "table.dat").string();
  state.N = 3;
  EXPECT_FALSE(write());
  EXPECT_EQ(err.str(), "Failed to open the file " + path + "\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "absent"));
}

TEST_F(ResultTableFile, AFailedReplacementLeavesNoTemporaryAndReportsIt) {
  std::filesystem::create_directory(path);  // a table cannot replace a directory
  state.N = 3;
  EXPECT_FALSE(write());
  EXPECT_EQ(err.str(), "Failed to write the file " + path + "\n");
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

}  // namespace
}  // namespace msdisf
