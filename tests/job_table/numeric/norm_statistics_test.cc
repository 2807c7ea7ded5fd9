// Tests for the norm statistics: hand-computed examples, the missing-point
// rule of the autocorrelation, and its German report.
#include "job_table/numeric/norm_statistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace msdisf {
namespace {

using Points = std::vector<std::pair<double, double>>;

TEST(MeanAndVariance, HandComputedValues) {
  EXPECT_EQ(mean({1, 2, 3, 4}), 2.5);
  EXPECT_EQ(variance({1, 2, 3, 4}, 2.5), 1.25);
  EXPECT_EQ(variance({1, 2, 3, 4}, 0.0), 7.5);  // the centre is used as given
  EXPECT_TRUE(std::isnan(mean({})));
  EXPECT_TRUE(std::isnan(variance({}, 0.0)));
  EXPECT_TRUE(std::isnan(mean({1.0, NAN})));
}

TEST(MeanAndVariance, VarianceIsExactAboutALargeOffset) {
  // Two-pass about the given centre: no cancellation from a large offset.
  EXPECT_EQ(variance({1e9 + 1, 1e9 + 2, 1e9 + 3, 1e9 + 4}, 1e9 + 2.5), 1.25);
}

TEST(AutocorrelationTime, SumsTheLeadingPositiveRun) {
  EXPECT_DOUBLE_EQ(calculate_autocorrelation_time({1, 0.5, 0.2, -0.1, 0.3}), 1.7);
  EXPECT_EQ(calculate_autocorrelation_time({-1, 2}), 0.0);
  EXPECT_EQ(calculate_autocorrelation_time({0.5, NAN, 0.5}), 0.5);
  EXPECT_EQ(calculate_autocorrelation_time({}), 0.0);
}

TEST(Autocorrelation2D, NormalisedByAllPairsOfEachLag) {
  std::ostringstream out;
  const std::vector<double> short_run = autocorrelation_2D({{3, 4}, {0, 1}, {0, 3}}, 2, out);
  ASSERT_EQ(short_run.size(), 2u);
  EXPECT_DOUBLE_EQ(short_run[0], 1.0);
  EXPECT_DOUBLE_EQ(short_run[1], -0.75);

  const std::vector<double> long_run = autocorrelation_2D({{3, 4}, {0, 1}, {0, 3}}, 5, out);
  ASSERT_EQ(long_run.size(), 5u);
  EXPECT_EQ(long_run[2], 0.0);           // (5-3)(3-3) / (1 * var)
  EXPECT_TRUE(std::isnan(long_run[3]));  // k = n: 0 / 0
  EXPECT_EQ(long_run[4], 0.0);           // k > n: 0 / negative
  EXPECT_TRUE(std::signbit(long_run[4]));
}

TEST(Autocorrelation2D, MissingPointsCountInNButNotInTheSums) {
  std::ostringstream out;
  const std::vector<double> result = autocorrelation_2D({{3, 4}, {NAN, 0}, {0, 3}}, 3, out);
  const double m = 8.0 / 3.0;
  const double var = ((5 - m) * (5 - m) + (3 - m) * (3 - m)) / 3.0;
  EXPECT_NE(out.str().find("Mittelwert der Normen: 2.66667\n"), std::string::npos);
  EXPECT_DOUBLE_EQ(result[0], ((5 - m) * (5 - m) + (3 - m) * (3 - m)) / (3.0 * var));
  EXPECT_EQ(result[1], 0.0);  // both pairs touch the missing point
  EXPECT_DOUBLE_EQ(result[2], (5 - m) * (3 - m) / (1.0 * var));
}

TEST(Autocorrelation2D, ConstantNormsGiveNaNEverywhere) {
  std::ostringstream out;
  for (const double value : autocorrelation_2D({{2, 0}, {0, 2}, {-2, 0}}, 3, out)) EXPECT_TRUE(std::isnan(value));
}

TEST(Autocorrelation2D, ReportsInputAndProgress) {
  std::ostringstream out;
  autocorrelation_2D({{3, 4}, {0.5, 1}}, 0, out);
  EXPECT_EQ(out.str(),
            "N (Anzahl der Punkte): 2\n"
            "Trajektorie (X, Y):\n"
            "(3, 4)\n"
            "(0.5, 1)\n"
            "Berechne Mittelwert und Varianz...\n"
            "Mittelwert der Normen: 3.05902\n"
            "Varianz der Normen: 3.76742\n"
            "Berechne Autokorrelationsfunktion...\n");
}

TEST(Autocorrelation2D, EmptyInputAndNegativeLag) {
  std::ostringstream out;
  const std::vector<double> result = autocorrelation_2D({}, 2, out);
  EXPECT_TRUE(std::isnan(result[0]));
  EXPECT_NE(out.str().find("N (Anzahl der Punkte): 0\nTrajektorie (X, Y):\nBerechne"), std::string::npos);

  std::ostringstream silent;
  EXPECT_THROW(autocorrelation_2D({{1, 1}}, -1, silent), std::length_error);
  EXPECT_EQ(silent.str(), "");
}

}  // namespace
}  // namespace msdisf
