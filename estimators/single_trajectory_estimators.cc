#include "estimators/single_trajectory_estimators.h"

#include <algorithm>
#include <array>
#include <vector>

#include "estimators/moment_kernel.h"
#include "estimators/pair_kernel.h"
#include "estimators/parallel.h"
#include "estimators/scattering_correlator.h"
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

std::array<double**, 6> scattering_matrices(const AnalysisState& state) {
  return {state.isfx, state.isfy, state.isfr, state.isfx_im, state.isfy_im, state.isfr_im};
}

// Divides lag index k's scattering sums by its pair count; a lag without
// pairs keeps the zeros it was given.
void finalise_scattering(AnalysisState& state, long k, double count) {
  if (!(count > 0.0)) return;
  for (double** matrix : scattering_matrices(state)) {
    for (int m = 0; m < kScaleCount; ++m) matrix[m][k] = matrix[m][k] / count;
  }
}

void store_lag(AnalysisState& state, const OriginRule& rule, long k, const LagMoments& sums) {
  finalise_moments(state, k, sums.s1, sums.s2, sums.s3, sums.s4, sums.pairs);
  if (rule.stores_counts) state.msdcounter[k] = sums.pairs;
}

// The all-origins routine may be asked to store its counts too.
OriginRule with_counts(OriginRule rule, const EstimatorOptions& options) {
  rule.stores_counts = rule.stores_counts || options.store_counts;
  return rule;
}

// The plain kernel for lags [lag_lo, lag_hi]: every pair's terms in origin order.
void exact_segment(AnalysisState& state, const OriginRule& rule, long lag_lo, long lag_hi, int threads) {
  const long n = state.N;
  const WaveNumbers waves;
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
  for (long lag = lag_lo; lag <= lag_hi; ++lag) {
    const long k = lag - 1;
    const ScatteringTarget column{state.isfx, state.isfy, state.isfr, state.isfx_im, state.isfy_im, state.isfr_im, k};
    MomentSums sums;
    ScatteringSums scattering(column);
    for (long a = rule.first_origin; a + lag < n; ++a) add_pair(state, a, a + lag, waves, sums, scattering);
    scattering.store(column);
    const double pairs = static_cast<double>(sums.pairs);
    store_lag(state, rule, k, LagMoments{sums.s1, sums.s2, sums.s3, sums.s4, pairs});
    finalise_scattering(state, k, pairs);
  }
}

void fast_segment(AnalysisState& state, const OriginRule& rule, const PaddedRange& range, long lag_lo, long lag_hi,
                  int threads) {
  std::vector<LagMoments> sums(static_cast<std::size_t>(lag_hi - lag_lo + 1));
  lag_moment_sums(range, lag_lo, lag_hi + 1, sums.data(), threads);
  for (long lag = lag_lo; lag <= lag_hi; ++lag)
    store_lag(state, rule, lag - 1, sums[static_cast<std::size_t>(lag - lag_lo)]);
}

// Scattering values of lags 1..last_lag, final before any moment is computed.
void fast_scattering(AnalysisState& state, const OriginRule& rule, long last_lag, int threads) {
  const long first = rule.first_origin;
  std::vector<double> counts(static_cast<std::size_t>(last_lag), 0.0);
  const ScatteringTarget target{state.isfx, state.isfy, state.isfr, state.isfx_im, state.isfy_im, state.isfr_im, 0};
  add_scattering_by_correlation(state.X + first, state.Y + first, state.N - first, last_lag, target, counts.data(),
                                threads);
  for (long k = 0; k < last_lag; ++k) finalise_scattering(state, k, counts[static_cast<std::size_t>(k)]);
}

// Candidate pairs of lags 1..lag when entries first..n-1 are origins and ends.
double pairs_up_to(long lag, long first, long n) {
  const double length = static_cast<double>(n - first);
  const double l = static_cast<double>(std::min(lag, n - first));
  return l * length - l * (l + 1.0) / 2.0;
}

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
    const int threads = thread_count(options.threads);
    for (double** matrix : scattering_matrices(state)) {
      for (int m = 0; m < kScaleCount; ++m) std::fill(matrix[m], matrix[m] + last_lag, 0.0);
    }
    const bool fast = options.method == Method::kFast;
    if (fast) fast_scattering(state, rule, last_lag, threads);
    const double total_pairs = pairs_up_to(last_lag, rule.first_origin, n);
    const PaddedRange range =
        fast ? PaddedRange(state.X + rule.first_origin, state.Y + rule.first_origin, n - rule.first_origin)
             : PaddedRange(nullptr, nullptr, 0);

    // Segments end at the lags whose successor is shown in a progress line.
    long lag_lo = 1;
    while (lag_lo <= last_lag) {
      long lag_hi = last_lag;
      for (const auto* list : {&rule.table_lags, &rule.progress_lags}) {
        for (const int shown : *list) {
          if (shown - 1 >= lag_lo && shown - 1 < lag_hi) lag_hi = shown - 1;
        }
      }
      // Blocks of lags within the segment, so that progress can be reported.
      const long block = fast ? 1024 : 64;
      for (long lo = lag_lo; lo <= lag_hi; lo += block) {
        const long hi = std::min(lag_hi, lo + block - 1);
        if (fast) {
          fast_segment(state, rule, range, lo, hi, threads);
        } else {
          exact_segment(state, rule, lo, hi, threads);
        }
        if (options.progress) options.progress(pairs_up_to(hi, rule.first_origin, n) / total_pairs);
      }
      const int shown_lag = static_cast<int>(lag_hi + 1);
      if (is_one_of(shown_lag, rule.table_lags)) {
        console.out << formatted(kProgressFormat, shown_lag, state.N) << std::flush;
        print_data(state, result_path, console, last_lag);
      } else if (is_one_of(shown_lag, rule.progress_lags)) {
        console.out << formatted(kProgressFormat, shown_lag, state.N) << std::flush;
      }
      lag_lo = lag_hi + 1;
    }
  }
  console.out << formatted(rule.finish_format, stopwatch.elapsed_ms()) << std::flush;
}

}  // namespace

void calculate_isf_and_msd(AnalysisState& state, const std::string& result_path, Console& console,
                           const EstimatorOptions& options) {
  static constexpr OriginRule rule{"Start Calculation of ISF and MSD",
                                   "Finished Calculation of ISF and MSD; Time: %d ms \n",
                                   1,
                                   true,
                                   {10000, 100000, 1000000, 0},
                                   {10, 100, 0, 0}};
  estimate_single(state, result_path, console, rule, options);
}

void calculate_isf_and_msd_fixedlag(AnalysisState& state, const std::string& result_path, Console& console,
                                    const EstimatorOptions& options) {
  static constexpr OriginRule rule{"Start Calculation of ISF and MSD fixedlag",
                                   "Finished Calculation of ISF and MSD; Time: %d ms \n",
                                   0,
                                   false,
                                   {10000, 100000, 200000, 225000},
                                   {10, 100, 1000, 0}};
  estimate_single(state, result_path, console, with_counts(rule, options), options);
}

}  // namespace msdisf
