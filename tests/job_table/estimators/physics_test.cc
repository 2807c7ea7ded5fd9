// Checks the estimators against the known answers of the shipped Brownian
// sample data: MSD = 4*D*lag and <cos(q dx)> = <cos(q dy)> = exp(-q^2 D lag).
// Tolerances are four standard errors computed from the number of pairs:
//  - the time-averaged MSD of 2D Brownian motion from K overlapping windows
//    has relative variance (2 L^2 + 1) / (3 L K);
//  - a mean of K cosines, correlated over at most 2L - 1 neighbouring
//    windows, has variance at most var_pair * (2L - 1) / K, where for Gaussian
//    steps of variance s2 = 2 D L, var_pair = (1 + e^(-2 q^2 s2)) / 2 - e^(-q^2 s2).
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "job_table/estimators/per_trajectory_estimator.h"
#include "job_table/estimators/single_trajectory_estimators.h"
#include "job_table/input/trajectory_readers.h"
#include "tools/sample_data_parameters.h"

namespace msdisf {
namespace {

struct Analysed {
  std::unique_ptr<AnalysisState> state = std::make_unique<AnalysisState>(40000);
  std::ostringstream out, err;
  Console console{out, err};
};

void expect_brownian(const AnalysisState& state, double diffusion, std::initializer_list<long> lags) {
  for (const long lag : lags) {
    const long k = lag - 1;
    const double pairs = state.msdcounter[k];
    ASSERT_GT(pairs, 100.0) << "lag " << lag;
    const double expected_msd = 4.0 * diffusion * static_cast<double>(lag);
    const double relative_error = std::sqrt((2.0 * lag * lag + 1.0) / (3.0 * lag * pairs));
    EXPECT_NEAR(state.msd[k], expected_msd, 4.0 * relative_error * expected_msd) << "msd at lag " << lag;

    for (const int m : {0, 4, 9, 14}) {
      const double q = 1.0 / scales[static_cast<std::size_t>(m)];
      const double s2 = 2.0 * diffusion * static_cast<double>(lag);
      const double expected = std::exp(-q * q * diffusion * static_cast<double>(lag));
      const double var_pair = (1.0 + std::exp(-2.0 * q * q * s2)) / 2.0 - std::exp(-q * q * s2);
      const double tolerance = 4.0 * std::sqrt(var_pair * (2.0 * lag - 1.0) / pairs) + 1e-12;
      EXPECT_NEAR(state.isfx[m][k], expected, tolerance) << "isfx, scale " << scales[m] << ", lag " << lag;
      EXPECT_NEAR(state.isfy[m][k], expected, tolerance) << "isfy, scale " << scales[m] << ", lag " << lag;
    }
  }
}

TEST(BrownianSample, SingleTrajectoryFollowsFreeDiffusion) {
  Analysed run;
  run.state->RANK = 2;
  ASSERT_TRUE(
      read_simulation_data(*run.state, MSDISF_SOURCE_DIR "/data/" + std::string(sample::kRank2.path), run.console));
  EXPECT_EQ(run.state->N, sample::kRank2Frames);
  calculate_isf_and_msd(*run.state, "/nonexistent/table", run.console);
  expect_brownian(*run.state, sample::kRank2.diffusion, {1, 2, 5, 10, 30, 100, 300});
}

TEST(BrownianSample, PooledTrajectoriesFollowFreeDiffusion) {
  for (const sample::Distinct& file : {sample::kRank0, sample::kRank1}) {
    Analysed run;
    ASSERT_TRUE(read_experimental_data(*run.state, MSDISF_SOURCE_DIR "/data/" + std::string(file.path), run.console));
    calculate_isf_and_msd_distincttrajs(*run.state, "unused", run.console);
    expect_brownian(*run.state, file.diffusion, {1, 3, 10, 30, 100});
  }
}

TEST(BrownianSample, SimulationFollowsFreeDiffusion) {
  Analysed run;
  run.state->RANK = 4;
  ASSERT_TRUE(
      read_simulation_data(*run.state, MSDISF_SOURCE_DIR "/data/" + std::string(sample::kRank4.path), run.console));
  run.state->N = 2000;  // the first 2000 frames keep the test quick
  calculate_isf_and_msd(*run.state, "/nonexistent/table", run.console);
  expect_brownian(*run.state, sample::kRank4.diffusion, {1, 10, 100});
}

}  // namespace
}  // namespace msdisf
