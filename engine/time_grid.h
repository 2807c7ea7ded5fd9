// Times turned into frame numbers on a grid of one time step.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace msdisf {

/// The frames of a column of times, and the step that made them.
struct TimeGrid {
  double dt = 0.0;
  /// dt was inferred from the times rather than given.
  bool inferred = false;
  std::vector<std::int64_t> frame;
};

/// Each time t becomes the nearest whole number of t / dt. With dt <= 0, dt
/// is the most common step between consecutive distinct times (steps within
/// 1e-6 of each other, relative, count as one; their mean is taken).
///
/// Throws AnalysisError(kInvalidInput, ..., record) for a time that is not
/// finite, lies more than 1 % of dt off the grid, or is too large a frame;
/// and for times whose step cannot be inferred (fewer than two distinct
/// times). Empty input gives an empty grid with dt as given.
TimeGrid frames_from_times(std::span<const double> time, double dt);

/// The most common step between consecutive distinct values of `time`
/// (finite values only); 0 when there are fewer than two distinct values.
double most_common_step(std::span<const double> time);

}  // namespace msdisf
