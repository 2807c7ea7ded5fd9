// The correlation method over a whole particle set: particles dense on their
// frame grid go through the pooled correlations (moment_correlation.h,
// phase_correlation.h); sparse ones, whose few records span many frames,
// are summed pair by pair, which is exact.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "engine/moment_correlation.h"
#include "engine/particle_set.h"
#include "engine/particle_sums.h"
#include "engine/phase_correlation.h"

namespace msdisf::detail {

class CorrelationMethod {
 public:
  /// `costs` holds each particle's cost by the ordered method, in set order.
  CorrelationMethod(const ParticleSet& set, std::span<const long> lags, MomentNeeds needs, int waves,
                    std::span<const ParticleCost> costs, double transform_budget);

  /// Rough work, for progress (nanoseconds).
  double work() const { return work_; }

  /// Adds the pooled sums to `out`, which must start at zero.
  void run(const SumsContext& context, const SumsView& out, int threads) const;

 private:
  std::span<const long> lags_;
  MomentNeeds needs_;
  double transform_budget_;
  // The dense particles' grids, laid end to end in three arrays: one
  // allocation each rather than three per particle.
  ReusedArray<double> grid_x_;
  ReusedArray<double> grid_y_;
  ReusedArray<long long> grid_valid_;
  std::vector<PaddedRange> dense_;
  std::vector<const PaddedRange*> grids_;
  std::vector<ParticleRecords> sparse_;
  std::optional<PhaseLayout> phases_;
  double work_ = 0.0;
};

}  // namespace msdisf::detail
