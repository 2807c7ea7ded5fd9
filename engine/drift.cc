#include "engine/drift.h"

#include <algorithm>
#include <cmath>

#include "engine/record_order.h"

namespace msdisf {

namespace {

// The index of each record's frame among the distinct frames.
std::vector<std::size_t> frame_indices(const TrajectoryData& data, const std::vector<std::int64_t>& frames) {
  std::vector<std::size_t> index(data.frame.size());
  for (std::size_t i = 0; i < index.size(); ++i) {
    index[i] = static_cast<std::size_t>(std::lower_bound(frames.begin(), frames.end(), data.frame[i]) - frames.begin());
  }
  return index;
}

bool one_particle(const TrajectoryData& data) {
  return data.particle.empty() ||
         std::all_of(data.particle.begin(), data.particle.end(), [&](std::int64_t p) { return p == data.particle[0]; });
}

}  // namespace

Drift ensemble_drift(const TrajectoryData& data) {
  const std::vector<std::size_t> order = detail::particle_frame_order(data);
  if (!data.x.empty() && one_particle(data)) {
    throw AnalysisError(AnalysisError::Kind::kInvalidOptions,
                        "the records are of one particle, whose drift would be its whole motion; subtracting the "
                        "ensemble drift needs several particles");
  }
  const auto axes = detail::axes_of(data);
  Drift drift;
  drift.frame.assign(data.frame.begin(), data.frame.end());
  std::sort(drift.frame.begin(), drift.frame.end());
  drift.frame.erase(std::unique(drift.frame.begin(), drift.frame.end()), drift.frame.end());
  const std::size_t frames = drift.frame.size();
  const std::vector<std::size_t> index = frame_indices(data, drift.frame);
  auto finite = [&axes](std::size_t i) {
    return std::all_of(axes.begin(), axes.end(), [i](std::span<const double> a) { return std::isfinite(a[i]); });
  };
  // step[a][k]: summed displacement along axis a from frame k to frame k + 1.
  std::vector<std::vector<double>> step(axes.size(), std::vector<double>(frames, 0.0));
  std::vector<long> count(frames, 0);
  for (std::size_t k = 1; k < order.size(); ++k) {
    const std::size_t a = order[k - 1], b = order[k];
    if (detail::particle_of(data, a) != detail::particle_of(data, b) || index[b] != index[a] + 1) continue;
    if (!finite(a) || !finite(b)) continue;
    for (std::size_t d = 0; d < axes.size(); ++d) step[d][index[a]] += axes[d][b] - axes[d][a];
    ++count[index[a]];
  }
  drift.axis.assign(axes.size(), std::vector<double>(frames, 0.0));
  for (std::size_t k = 0; k + 1 < frames; ++k) {
    if (count[k] == 0) ++drift.steps_without_particles;
    for (std::size_t d = 0; d < axes.size(); ++d) {
      const double mean = count[k] > 0 ? step[d][k] / static_cast<double>(count[k]) : 0.0;
      drift.axis[d][k + 1] = drift.axis[d][k] + mean;
    }
  }
  if (drift.steps_without_particles > 0) {
    drift.notes.push_back(std::to_string(drift.steps_without_particles) + " of " + std::to_string(frames - 1) +
                          " frame steps have no particle in both frames; the drift is held across them");
  }
  return drift;
}

std::vector<std::vector<double>> without_drift(const TrajectoryData& data, const Drift& drift) {
  const auto axes = detail::axes_of(data);
  const std::vector<std::size_t> index = frame_indices(data, drift.frame);
  std::vector<std::vector<double>> out(axes.size());
  for (std::size_t d = 0; d < axes.size(); ++d) {
    out[d].resize(axes[d].size());
    for (std::size_t i = 0; i < axes[d].size(); ++i) out[d][i] = axes[d][i] - drift.axis[d][index[i]];
  }
  return out;
}

}  // namespace msdisf
