#include "job_table/estimators/single_trajectory_estimators.h"

#include <algorithm>
#include <array>

#include "job_table/estimators/engine_adapter.h"
#include "job_table/estimators/stopwatch.h"
#include "job_table/output/result_table.h"

namespace msdisf {

namespace {

struct OriginRule {
  const char* start_line;
  const char* finish_format;
  PairRule pairs;
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

// Lag L at index L - 1; a lag without pairs keeps the zero scattering values
// it was given.
void store_lag(AnalysisState& state, const OriginRule& rule, const AnalysisResult& result, long k) {
  store_moments(state, result, k);
  const long pairs = result.pairs[static_cast<std::size_t>(k)];
  if (rule.stores_counts) state.msdcounter[k] = static_cast<double>(pairs);
  if (pairs > 0) {
    store_scattering(state, result, k);
    return;
  }
  for (double** matrix : {state.isfx, state.isfy, state.isfr, state.isfx_im, state.isfy_im, state.isfr_im}) {
    for (int m = 0; m < kScaleCount; ++m) matrix[m][k] = 0.0;
  }
}

// The engine computes every lag first; the results then enter the state in
// segments that end at the progress lags, so progress lines and intermediate
// tables come in lag order, and an intermediate table holds the lags before
// its progress lag only.
void estimate_single(AnalysisState& state, const std::string& result_path, Console& console, const OriginRule& rule,
                     const EstimatorOptions& options) {
  const Stopwatch stopwatch;
  console.out << rule.start_line << std::endl;
  const long n = state.N;
  if (rule.stores_counts && n >= 0) {
    // Entries 0..N; the one past the last lag stays inside the arrays.
    std::fill(state.msdcounter, state.msdcounter + std::min(n + 1, state.capacity), 0.0);
  }
  const long last_lag = options.max_lag > 0 ? std::min(n - 1, options.max_lag) : n - 1;
  if (n > 1) {
    EntryRecords records;
    records.add(state, 0, n, 0);
    records.particle.clear();
    const AnalysisResult result = analyse(records.data(), engine_options(rule.pairs, last_lag, options));

    long lag_lo = 1;
    while (lag_lo <= last_lag) {
      long lag_hi = last_lag;
      for (const auto* list : {&rule.table_lags, &rule.progress_lags}) {
        for (const int shown : *list) {
          if (shown - 1 >= lag_lo && shown - 1 < lag_hi) lag_hi = shown - 1;
        }
      }
      for (long lag = lag_lo; lag <= lag_hi; ++lag) store_lag(state, rule, result, lag - 1);
      const int shown_lag = static_cast<int>(lag_hi + 1);
      if (is_one_of(shown_lag, rule.table_lags)) {
        console.out << formatted(kProgressFormat, shown_lag, state.N) << std::flush;
        if (options.intermediate_tables) print_data(state, result_path, console, last_lag);
      } else if (is_one_of(shown_lag, rule.progress_lags)) {
        console.out << formatted(kProgressFormat, shown_lag, state.N) << std::flush;
      }
      lag_lo = lag_hi + 1;
    }
  }
  console.out << formatted(rule.finish_format, stopwatch.elapsed_ms()) << std::flush;
}

// The all-origins routine may be asked to store its counts too.
OriginRule with_counts(OriginRule rule, const EstimatorOptions& options) {
  rule.stores_counts = rule.stores_counts || options.store_counts;
  return rule;
}

}  // namespace

void calculate_isf_and_msd(AnalysisState& state, const std::string& result_path, Console& console,
                           const EstimatorOptions& options) {
  static constexpr OriginRule rule{"Start Calculation of ISF and MSD",
                                   "Finished Calculation of ISF and MSD; Time: %d ms \n",
                                   PairRule::kWindow,
                                   true,
                                   {10000, 100000, 1000000, 0},
                                   {10, 100, 0, 0}};
  estimate_single(state, result_path, console, rule, options);
}

void calculate_isf_and_msd_fixedlag(AnalysisState& state, const std::string& result_path, Console& console,
                                    const EstimatorOptions& options) {
  static constexpr OriginRule rule{"Start Calculation of ISF and MSD fixedlag",
                                   "Finished Calculation of ISF and MSD; Time: %d ms \n",
                                   PairRule::kAllPairs,
                                   false,
                                   {10000, 100000, 200000, 225000},
                                   {10, 100, 1000, 0}};
  estimate_single(state, result_path, console, with_counts(rule, options), options);
}

}  // namespace msdisf
