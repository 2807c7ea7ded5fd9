#include "engine/correlation_method.h"

#include <algorithm>

#include "engine/phase_correlation.h"

namespace msdisf::detail {

namespace {

// The requested lags a particle can have: those up to its span.
std::span<const long> lags_within(std::span<const long> lags, long span) {
  return lags.first(static_cast<std::size_t>(std::upper_bound(lags.begin(), lags.end(), span) - lags.begin()));
}

}  // namespace

CorrelationMethod::CorrelationMethod(const ParticleSet& set, std::span<const long> lags, MomentNeeds needs, int waves,
                                     int threads, double transform_budget)
    : set_(set), lags_(lags), needs_(needs), transform_budget_(transform_budget) {
  for (const ParticleRange& p : set.particles()) {
    const auto at = static_cast<std::size_t>(p.begin);
    const ParticleRecords records{set.x().data() + at, set.y().data() + at, set.frame().data() + at, p.records()};
    const std::span<const long> own = lags_within(lags, set.span(p));
    const ParticleCost cost = particle_cost(records, own, waves, Method::kFast, threads, transform_budget);
    if (cost.dense) {
      dense_.push_back(std::make_unique<PaddedRange>(records.x, records.y, records.frame, records.count));
      grids_.push_back(dense_.back().get());
    } else {
      sparse_.push_back(records);
      work_ += cost.work;
    }
  }
  work_ += moment_correlation_work(grids_, lags, needs) + phase_correlation_work(grids_, lags, waves);
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
  correlate_phases(grids_, lags_, context.waves, std::span<const long>(out.pairs, lags_.size()), out, correlation,
                   transform_budget_);
}

}  // namespace msdisf::detail
