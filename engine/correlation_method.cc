#include "engine/correlation_method.h"

#include "engine/lag_selection.h"

namespace msdisf::detail {

CorrelationMethod::CorrelationMethod(const ParticleSet& set, std::span<const long> lags, MomentNeeds needs, int waves,
                                     std::span<const ParticleCost> costs, double transform_budget)
    : lags_(lags), needs_(needs), transform_budget_(transform_budget) {
  std::vector<ParticleRecords> dense;
  for (std::size_t i = 0; i < set.particles().size(); ++i) {
    const ParticleRange& p = set.particles()[i];
    const auto at = static_cast<std::size_t>(p.begin);
    const ParticleRecords records{set.x().data() + at, set.y().data() + at, set.frame().data() + at, p.records()};
    if (costs[i].dense) {
      dense.push_back(records);
    } else {
      sparse_.push_back(records);
      work_ += costs[i].work;
    }
  }
  long entries = 0;
  for (const ParticleRecords& records : dense) entries += PaddedRange::entries(records.span() + 1);
  grid_x_ = ReusedArray<double>(entries);
  grid_y_ = ReusedArray<double>(entries);
  grid_valid_ = ReusedArray<long long>(entries);
  dense_.reserve(dense.size());
  long at = 0;
  for (const ParticleRecords& records : dense) {
    const auto i = static_cast<std::size_t>(at);
    dense_.emplace_back(records.x, records.y, records.frame, records.count,
                        PaddedRange::Storage{grid_x_.data() + i, grid_y_.data() + i, grid_valid_.data() + i});
    grids_.push_back(&dense_.back());
    at += PaddedRange::entries(records.span() + 1);
  }
  work_ += moment_correlation_work(grids_, lags, needs);
  if (waves > 0) {
    phases_.emplace(grids_, lags);
    work_ += phase_correlation_work(*phases_, waves);
  }
}

void CorrelationMethod::run(const SumsContext& context, const SumsView& out, int threads) const {
  // Sparse particles first: their exact sums count towards the scale of
  // the transforms' bounds.
  for (const ParticleRecords& records : sparse_) {
    if (context.control.stopped()) return;
    add_pair_sums(records, lags_within(lags_, records.span()), context, out);
  }
  const CorrelationContext correlation{context.plans, context.control, threads};
  correlate_moments(grids_, lags_, needs_, out, correlation);
  if (context.control.stopped()) return;
  if (phases_) {
    correlate_phases(*phases_, context.waves, std::span<const long>(out.pairs, lags_.size()), out, correlation,
                     transform_budget_);
  }
}

}  // namespace msdisf::detail
