#include "engine/time_grid.h"

#include <algorithm>
#include <cmath>
#include <charconv>
#include <string>

#include "engine/analysis.h"

namespace msdisf {

namespace {

// Frame numbers beyond this could overflow frame + lag.
constexpr double kLargestFrame = 4.0e18;

std::string shortest(double v) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, v);
  return error == std::errc() ? std::string(text, end) : std::string("?");
}

}  // namespace

double most_common_step(std::span<const double> time) {
  std::vector<double> values;
  values.reserve(time.size());
  for (const double t : time) {
    if (std::isfinite(t)) values.push_back(t);
  }
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  if (values.size() < 2) return 0.0;
  std::vector<double> steps(values.size() - 1);
  for (std::size_t i = 1; i < values.size(); ++i) steps[i - 1] = values[i] - values[i - 1];
  std::sort(steps.begin(), steps.end());
  // The longest run of steps within 1e-6 (relative) of the run's first.
  std::size_t best_first = 0, best_count = 0;
  for (std::size_t first = 0; first < steps.size();) {
    std::size_t last = first;
    while (last < steps.size() && steps[last] - steps[first] <= 1e-6 * steps[first]) ++last;
    if (last - first > best_count) best_first = first, best_count = last - first;
    first = last;
  }
  double sum = 0.0;
  for (std::size_t i = best_first; i < best_first + best_count; ++i) sum += steps[i];
  return sum / static_cast<double>(best_count);
}

TimeGrid frames_from_times(std::span<const double> time, double dt) {
  TimeGrid grid;
  grid.dt = dt;
  if (time.empty()) return grid;
  if (!(dt > 0.0)) {
    grid.dt = most_common_step(time);
    grid.inferred = true;
    if (!(grid.dt > 0.0)) {
      throw AnalysisError(AnalysisError::Kind::kInvalidInput,
                          "the times hold fewer than two distinct values, so no time step can be inferred; give dt");
    }
  }
  grid.frame.resize(time.size());
  for (std::size_t i = 0; i < time.size(); ++i) {
    const double steps = time[i] / grid.dt;
    const double frame = std::nearbyint(steps);
    const auto record = static_cast<long>(i);
    if (!std::isfinite(steps) || std::fabs(frame) > kLargestFrame) {
      throw AnalysisError(AnalysisError::Kind::kInvalidInput,
                          "time " + shortest(time[i]) + " is not a usable time for dt = " + shortest(grid.dt), record);
    }
    const double off = std::fabs(steps - frame);
    if (off > 0.01) {
      throw AnalysisError(AnalysisError::Kind::kInvalidInput,
                          "time " + shortest(time[i]) + " lies " + std::to_string(std::lround(off * 100)) +
                              " % of a step off the grid of dt = " + shortest(grid.dt) +
                              (grid.inferred ? " (inferred from the most common step; give dt)" : ""),
                          record);
    }
    grid.frame[i] = static_cast<std::int64_t>(frame);
  }
  return grid;
}

}  // namespace msdisf
