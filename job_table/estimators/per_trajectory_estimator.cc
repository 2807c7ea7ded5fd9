#include "job_table/estimators/per_trajectory_estimator.h"

#include <algorithm>
#include <cmath>

#include "job_table/estimators/engine_adapter.h"
#include "job_table/estimators/stopwatch.h"

namespace msdisf {

namespace {

// The number of the entry after i; past the arrays there is no record.
double next_trajectory_number(const AnalysisState& state, long i) {
  return i + 1 < state.capacity ? state.TRAJNUMS[i + 1] : -1.0;
}

bool valid_pair(const AnalysisState& state, long a, long b) {
  return !std::isnan(state.X[a]) && !std::isnan(state.X[b]) && !std::isnan(state.Y[a]) && !std::isnan(state.Y[b]);
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
  // With a lag limit L, lags 1..L+1 are computed so that the table, which
  // ends one lag before the lag count, holds lags 1..L.
  const long lag_cap = options.max_lag > 0 ? options.max_lag + 1 : state.N;

  // The scan decides which trajectories enter the results; each closed one
  // becomes one particle whose frames are its entry indices.
  EntryRecords records;
  long first = 0;
  long lag_count = 0;
  std::int64_t trajectories = 0;
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
        records.add(state, first, i + 1, trajectories++);
      }
      first = i + 1;
    }
  }

  if (lag_count > 0) {
    const AnalysisResult result =
        analyse(records.data(), engine_options(PairRule::kPerTrajectory, lag_count, options));
    for (long k = 0; k < lag_count; ++k) {
      const long pairs = result.pairs[static_cast<std::size_t>(k)];
      state.msdcounter[k] += static_cast<double>(pairs);
      for (int m = 0; m < kScaleCount; ++m) state.isf_counts[m][k] += static_cast<double>(pairs);
      // A lag without pairs keeps its scattering values.
      if (pairs > 0) store_scattering(state, result, k);
      store_moments(state, result, k);
    }
  }
  state.N = static_cast<int>(lag_count);
  console.out << formatted("Finished Calculation of ISF and MSD; Time: %d ms\n", stopwatch.elapsed_ms()) << std::flush;
}

}  // namespace msdisf
