#include "engine/record_order.h"

#include <algorithm>
#include <numeric>
#include <string>

namespace msdisf::detail {

std::vector<std::span<const double>> axes_of(const TrajectoryData& data) {
  std::vector<std::span<const double>> axes = {data.x};
  if (data.dimensions() >= 2) axes.push_back(data.y);
  if (data.dimensions() == 3) axes.push_back(data.z);
  return axes;
}

std::vector<std::size_t> particle_frame_order(const TrajectoryData& data) {
  const std::size_t n = data.x.size();
  bool same = data.frame.size() == n && (data.particle.empty() || data.particle.size() == n);
  for (const auto axis : axes_of(data)) same = same && axis.size() == n;
  if (!same) throw AnalysisError(AnalysisError::Kind::kInvalidInput, "the positions, frames and particle ids differ in length");
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&data](std::size_t a, std::size_t b) {
    const std::int64_t pa = particle_of(data, a), pb = particle_of(data, b);
    return pa != pb ? pa < pb : data.frame[a] < data.frame[b];
  });
  return order;
}

}  // namespace msdisf::detail
