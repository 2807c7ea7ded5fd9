#include "estimators/per_trajectory_estimator.h"

#include <algorithm>
#include <vector>

#include "estimators/moment_kernel.h"
#include "estimators/pair_kernel.h"
#include "estimators/parallel.h"
#include "estimators/scattering_correlator.h"
#include "estimators/stopwatch.h"

namespace msdisf {

namespace {

// The number of the entry after i; past the arrays there is no record.
double next_trajectory_number(const AnalysisState& state, long i) {
  return i + 1 < state.capacity ? state.TRAJNUMS[i + 1] : -1.0;
}

ScatteringTarget accumulator_target(const AnalysisState& state, long column) {
  return {state.isfx_accum,
          state.isfy_accum,
          state.isfr_accum,
          state.isfx_im_accum,
          state.isfy_im_accum,
          state.isfr_im_accum,
          column};
}

void pool_lag(AnalysisState& state, long k, const LagMoments& sums) {
  state.msd[k] += sums.s2;
  state.msdcounter[k] += sums.pairs;
  if (state.ALL) {
    state.md[k] += sums.s1;
    state.mcd[k] += sums.s3;
    state.mqd[k] += sums.s4;
  }
  for (int m = 0; m < kScaleCount; ++m) state.isf_counts[m][k] += sums.pairs;
}

// The plain kernel over trajectory b..last, lags spread over threads; each
// lag's column and pooled sums belong to one thread.
void exact_trajectory(AnalysisState& state, long b, long last, long lags, int threads) {
  const WaveNumbers waves;
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads) if (lags > 64)
  for (long j = 1; j <= lags; ++j) {
    const long k = j - 1;
    const ScatteringTarget column = accumulator_target(state, k);
    MomentSums sums;
    ScatteringSums scattering(column);
    for (long l = b; l + j < last; ++l) add_pair(state, l, l + j, waves, sums, scattering);
    scattering.store(column);
    pool_lag(state, k, LagMoments{sums.s1, sums.s2, sums.s3, sums.s4, static_cast<double>(sums.pairs)});
  }
}

// The pairs of b..last lie inside entries b..last-1, a range of last - b
// entries; lags 1..lags are computed.
void fast_trajectory(AnalysisState& state, long b, long last, long lags, int threads) {
  const PaddedRange range(state.X + b, state.Y + b, last - b);
  std::vector<LagMoments> sums(static_cast<std::size_t>(lags));
  lag_moment_sums(range, 1, lags + 1, sums.data(), threads);
  for (long j = 1; j <= lags; ++j) pool_lag(state, j - 1, sums[static_cast<std::size_t>(j - 1)]);
  add_scattering_by_correlation(state.X + b, state.Y + b, last - b, lags, accumulator_target(state, 0), nullptr,
                                threads);
}

void print_first_pair(const AnalysisState& state, long b, long last, Console& console) {
  if (b + 1 >= last || !valid_pair(state, b, b + 1)) return;
  const double dx = state.X[b + 1] - state.X[b];
  const double dy = state.Y[b + 1] - state.Y[b];
  console.out << formatted("i=%d, X[i]=%f, X[i+1]=%f, Y[i]=%f, Y[i+1]=%f, dx=%f, dy=%f\n", static_cast<int>(b),
                           state.X[b], state.X[b + 1], state.Y[b], state.Y[b + 1], dx, dy)
              << std::flush;
}

}  // namespace

void calculate_isf_and_msd_distincttrajs(AnalysisState& state, const std::string& /*result_path*/, Console& console,
                                         const EstimatorOptions& options) {
  const Stopwatch stopwatch;
  console.out << "Start Calculation of ISF and MSD for distinct trajectories" << std::endl;
  state.create_accumulators(state.N);
  const int threads = thread_count(options.threads);
  // With a lag limit L, lags 1..L+1 are computed so that the table, which
  // ends one lag before the lag count, holds lags 1..L.
  const long lag_cap = options.max_lag > 0 ? options.max_lag + 1 : state.N;

  long first = 0;
  long lag_count = 0;
  for (long i = 0; i < state.N; ++i) {
    const double number = state.TRAJNUMS[i];
    if (number == -1.0) {
      console.out << formatted("trajectory over as trajnum = %f at %i\n", number, static_cast<int>(i)) << std::flush;
      break;
    }
    const double next = next_trajectory_number(state, i);
    if (number != next || next == -1.0) {
      const long lags = std::min(i - first, lag_cap);
      if (lags > 0) {
        lag_count = std::max(lag_count, lags);
        print_first_pair(state, first, i, console);
        if (options.method == Method::kFast) {
          fast_trajectory(state, first, i, lags, threads);
        } else {
          exact_trajectory(state, first, i, lags, threads);
        }
      }
      first = i + 1;
      if (options.progress) options.progress(static_cast<double>(first) / static_cast<double>(state.N));
    }
  }

  for (int m = 0; m < kScaleCount; ++m) {
    for (long k = 0; k < lag_count; ++k) {
      const double count = state.isf_counts[m][k];
      if (!(count > 0.0)) continue;
      state.isfx[m][k] = state.isfx_accum[m][k] / count;
      state.isfy[m][k] = state.isfy_accum[m][k] / count;
      state.isfr[m][k] = state.isfr_accum[m][k] / count;
      state.isfx_im[m][k] = state.isfx_im_accum[m][k] / count;
      state.isfy_im[m][k] = state.isfy_im_accum[m][k] / count;
      state.isfr_im[m][k] = state.isfr_im_accum[m][k] / count;
    }
  }
  for (long k = 0; k < lag_count; ++k) {
    finalise_moments(state, k, state.md[k], state.msd[k], state.mcd[k], state.mqd[k], state.msdcounter[k]);
  }
  state.N = static_cast<int>(lag_count);
  console.out << formatted("Finished Calculation of ISF and MSD; Time: %d ms\n", stopwatch.elapsed_ms()) << std::flush;
}

}  // namespace msdisf
