#include "engine/unwrap.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/record_order.h"

namespace msdisf {

namespace {

constexpr const char* kAxisNames[] = {"x", "y", "z"};

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// Refuses coordinates along an axis that spread over more than a box
// length, naming the record farthest from the smallest coordinate.
void check_spread(const TrajectoryData& data, std::span<const double> coordinate, double length, int axis) {
  double low = std::numeric_limits<double>::infinity();
  std::size_t high = coordinate.size();
  for (std::size_t i = 0; i < coordinate.size(); ++i) {
    if (!std::isfinite(coordinate[i])) continue;
    low = std::min(low, coordinate[i]);
    if (high == coordinate.size() || coordinate[i] > coordinate[high]) high = i;
  }
  if (high == coordinate.size() || coordinate[high] - low <= length * (1.0 + 1e-12)) return;
  const std::string name = kAxisNames[axis];
  std::string particle = data.particle.empty() ? "" : "particle " + std::to_string(data.particle[high]) + " at ";
  throw AnalysisError(AnalysisError::Kind::kInvalidInput,
                      "record " + std::to_string(high) + ": " + particle + "frame " + std::to_string(data.frame[high]) +
                          ": " + name + " = " + number(coordinate[high]) + " lies more than the box length " +
                          number(length) + " above the smallest " + name + " (" + number(low) +
                          "): the positions are not wrapped into the box (already unwrapped ones need no box)",
                      static_cast<long>(high));
}

}  // namespace

Unwrapped unwrap(const TrajectoryData& data, std::span<const double> box) {
  const std::vector<std::size_t> order = detail::particle_frame_order(data);
  const auto axes = detail::axes_of(data);
  if (box.size() != axes.size()) {
    throw AnalysisError(AnalysisError::Kind::kInvalidOptions,
                        "the box needs one length per axis (" + std::to_string(axes.size()) + "), not " +
                            std::to_string(box.size()));
  }
  for (const double length : box) {
    if (!(length > 0.0) || !std::isfinite(length)) {
      throw AnalysisError(AnalysisError::Kind::kInvalidOptions, "box lengths must be positive, not " + number(length));
    }
  }
  for (std::size_t d = 0; d < axes.size(); ++d) check_spread(data, axes[d], box[d], static_cast<int>(d));
  Unwrapped out;
  out.axis.assign(axes.size(), std::vector<double>(data.x.size(), NAN));
  auto finite = [&axes](std::size_t i) {
    for (const auto a : axes) {
      if (!std::isfinite(a[i])) return false;
    }
    return true;
  };
  std::size_t previous = order.size();  // the particle's last record with a position, or none
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::size_t i = order[k];
    if (k > 0 && detail::particle_of(data, i) != detail::particle_of(data, order[k - 1])) previous = order.size();
    if (!finite(i)) continue;
    bool long_step = false;
    for (std::size_t d = 0; d < axes.size(); ++d) {
      if (previous == order.size()) {
        out.axis[d][i] = axes[d][i];
        continue;
      }
      const double step = axes[d][i] - axes[d][previous];
      const double image = step - box[d] * std::round(step / box[d]);
      long_step = long_step || std::fabs(image) > 0.25 * box[d];
      out.axis[d][i] = out.axis[d][previous] + image;
    }
    if (previous != order.size()) {
      ++out.steps;
      out.long_steps += long_step ? 1 : 0;
    }
    previous = i;
  }
  if (out.long_steps > 0) {
    out.notes.push_back(std::to_string(out.long_steps) + " of " + std::to_string(out.steps) +
                        " steps between consecutive positions move more than a quarter box along an axis (after the "
                        "minimum image): the trajectories are likely sampled too sparsely to unwrap reliably");
  }
  return out;
}

}  // namespace msdisf
