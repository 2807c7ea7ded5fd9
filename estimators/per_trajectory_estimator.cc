#include "estimators/per_trajectory_estimator.h"

#include <algorithm>

#include "estimators/pair_kernel.h"
#include "estimators/stopwatch.h"

namespace msdisf {

namespace {

// The number of the entry after i; past the arrays there is no record.
double next_trajectory_number(const AnalysisState& state, long i) {
  return i + 1 < state.capacity ? state.TRAJNUMS[i + 1] : -1.0;
}

// Adds the pairs of trajectory b..last into the accumulators and pooled sums.
void accumulate_trajectory(AnalysisState& state, long b, long last, const WaveNumbers& waves, Console& console) {
  const long lags = last - b;
  const ScatteringTarget accumulators{state.isfx_accum,    state.isfy_accum,    state.isfr_accum, state.isfx_im_accum,
                                      state.isfy_im_accum, state.isfr_im_accum, 0};
  for (long j = 1; j <= lags; ++j) {
    const long k = j - 1;
    ScatteringTarget column = accumulators;
    column.column = k;
    MomentSums sums;
    for (long l = b; l + j < last; ++l) {
      if (!valid_pair(state, l, l + j)) continue;
      const double dx = state.X[l + j] - state.X[l];
      const double dy = state.Y[l + j] - state.Y[l];
      if (j == 1 && l == b) {
        console.out << formatted("i=%d, X[i]=%f, X[i+1]=%f, Y[i]=%f, Y[i+1]=%f, dx=%f, dy=%f\n", static_cast<int>(l),
                                 state.X[l], state.X[l + 1], state.Y[l], state.Y[l + 1], dx, dy)
                    << std::flush;
      }
      add_moments(sums, dx, dy, state.ALL);
      add_scattering(column, waves, dx, dy);
      for (int m = 0; m < kScaleCount; ++m) state.isf_counts[m][k] += 1.0;
    }
    state.msd[k] += sums.s2;
    state.msdcounter[k] += static_cast<double>(sums.pairs);
    if (state.ALL) {
      state.md[k] += sums.s1;
      state.mcd[k] += sums.s3;
      state.mqd[k] += sums.s4;
    }
  }
}

}  // namespace

void calculate_isf_and_msd_distincttrajs(AnalysisState& state, const std::string& /*result_path*/,
                                          Console& console) {
  const Stopwatch stopwatch;
  console.out << "Start Calculation of ISF and MSD for distinct trajectories" << std::endl;
  state.create_accumulators(state.N);
  const WaveNumbers waves;

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
      const long lags = i - first;
      if (lags > 0) {
        lag_count = std::max(lag_count, lags);
        accumulate_trajectory(state, first, i, waves, console);
      }
      first = i + 1;
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
  console.out << formatted("Finished Calculation of ISF and MSD; Time: %d ms\n", stopwatch.elapsed_ms())
              << std::flush;
}

}  // namespace msdisf
