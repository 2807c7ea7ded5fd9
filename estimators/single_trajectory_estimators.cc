#include "estimators/single_trajectory_estimators.h"

#include <algorithm>
#include <array>

#include "estimators/pair_kernel.h"
#include "estimators/stopwatch.h"
#include "output/result_table.h"

namespace msdisf {

namespace {

struct OriginRule {
  const char* start_line;
  const char* finish_format;
  long first_origin;
  bool stores_counts;
  // Shown lags (L + 1) with a progress line and an intermediate table, then
  // those with a progress line only; unused places hold 0, which no lag shows.
  std::array<int, 4> table_lags;
  std::array<int, 4> progress_lags;
};

constexpr const char* kProgressFormat = "progress: processing msd and isf for lag %i of %i\n";

bool is_one_of(int value, const std::array<int, 4>& list) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

void estimate_single(AnalysisState& state, const std::string& result_path, Console& console, const OriginRule& rule) {
  const Stopwatch stopwatch;
  console.out << rule.start_line << std::endl;
  const long n = state.N;
  if (rule.stores_counts && n >= 0) {
    // Entries 0..N; the one past the last lag stays inside the arrays.
    std::fill(state.msdcounter, state.msdcounter + std::min(n + 1, state.capacity), 0.0);
  }
  const WaveNumbers waves;
  const ScatteringTarget target{state.isfx, state.isfy, state.isfr, state.isfx_im, state.isfy_im, state.isfr_im, 0};
  for (long lag = 1; lag < n; ++lag) {
    const long k = lag - 1;
    for (int m = 0; m < kScaleCount; ++m) {
      state.isfx[m][k] = state.isfy[m][k] = state.isfr[m][k] = 0.0;
      state.isfx_im[m][k] = state.isfy_im[m][k] = state.isfr_im[m][k] = 0.0;
    }
    MomentSums sums;
    ScatteringTarget column = target;
    column.column = k;
    for (long a = rule.first_origin; a + lag < n; ++a) {
      if (!valid_pair(state, a, a + lag)) continue;
      const double dx = state.X[a + lag] - state.X[a];
      const double dy = state.Y[a + lag] - state.Y[a];
      add_moments(sums, dx, dy, state.ALL);
      add_scattering(column, waves, dx, dy);
    }
    const double divisor = static_cast<double>(sums.pairs);
    finalise_moments(state, k, sums.s1, sums.s2, sums.s3, sums.s4, divisor);
    if (divisor > 0.0) {
      for (int m = 0; m < kScaleCount; ++m) {
        for (double** matrix : {state.isfx, state.isfy, state.isfr, state.isfx_im, state.isfy_im, state.isfr_im}) {
          matrix[m][k] = matrix[m][k] / divisor;
        }
      }
    }
    if (rule.stores_counts) state.msdcounter[k] = divisor;

    const int shown_lag = static_cast<int>(lag + 1);
    if (is_one_of(shown_lag, rule.table_lags)) {
      console.out << formatted(kProgressFormat, shown_lag, state.N) << std::flush;
      print_data(state, result_path, console);
    } else if (is_one_of(shown_lag, rule.progress_lags)) {
      console.out << formatted(kProgressFormat, shown_lag, state.N) << std::flush;
    }
  }
  console.out << formatted(rule.finish_format, stopwatch.elapsed_ms()) << std::flush;
}

}  // namespace

void calculate_isf_and_msd(AnalysisState& state, const std::string& result_path, Console& console) {
  static constexpr OriginRule rule{"Start Calculation of ISF and MSD",
                               "Finished Calculation of ISF and MSD; Time: %d ms \n",
                               1,
                               true,
                               {10000, 100000, 1000000, 0},
                               {10, 100, 0, 0}};
  estimate_single(state, result_path, console, rule);
}

void calculate_isf_and_msd_fixedlag(AnalysisState& state, const std::string& result_path, Console& console) {
  static constexpr OriginRule rule{"Start Calculation of ISF and MSD fixedlag",
                               "Finished Calculation of ISF and MSD; Time: %d ms \n",
                               0,
                               false,
                               {10000, 100000, 200000, 225000},
                               {10, 100, 1000, 0}};
  estimate_single(state, result_path, console, rule);
}

}  // namespace msdisf
