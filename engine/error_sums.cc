#include "engine/error_sums.h"

#include <algorithm>
#include <cmath>

#include "engine/lag_selection.h"
#include "engine/parallel.h"
#include "engine/particle_sums.h"
#include "engine/standard_errors.h"

namespace msdisf::detail {

namespace {

// Columns of ErrorSums: msd, mqd, then the cos sums.
constexpr int kMomentColumns = 2;

struct Folder {
  ErrorSums& sums;
  int waves;

  // Adds one particle's own sums (rows [0, rows) of `own`).
  void fold(const SumsView& own, long rows) const {
    for (long r = 0; r < rows; ++r) {
      const double n = static_cast<double>(own.pairs[r]);
      if (own.pairs[r] == 0) continue;
      const auto at = static_cast<std::size_t>(r);
      sums.groups[at] += 1.0;
      sums.nn[at] += n * n;
      const double* moments[kMomentColumns] = {own.s2, own.s4};
      for (int c = 0; c < kMomentColumns; ++c) add(c, at, moments[c][r], n);
      sums.s2s4[at] += own.s2[r] * own.s4[r];
      for (int d = 0; d < 3 && waves > 0; ++d) {
        for (int w = 0; w < waves; ++w) add(kMomentColumns + d * waves + w, at, own.column(kCosX + d, w)[r], n);
      }
    }
  }

  void add(int column, std::size_t at, double s, double n) const {
    sums.ss[static_cast<std::size_t>(column)][at] += s * s;
    sums.sn[static_cast<std::size_t>(column)][at] += s * n;
  }
};

}  // namespace

ErrorSums error_sums(const ParticleSet& set, std::span<const long> lags, std::span<const double> waves,
                     const Quantities& wanted, RunControl& control, int threads) {
  const std::size_t rows = lags.size();
  const int wave_count = wanted.scattering ? static_cast<int>(waves.size()) : 0;
  ErrorSums sums;
  sums.groups.assign(rows, 0.0);
  sums.nn.assign(rows, 0.0);
  sums.s2s4.assign(rows, 0.0);
  const auto columns = static_cast<std::size_t>(kMomentColumns + 3 * wave_count);
  sums.ss.assign(columns, std::vector<double>(rows, 0.0));
  sums.sn = sums.ss;
  const Folder folder{sums, wave_count};
  PlanCache plans;
  const SumsContext context{waves.first(static_cast<std::size_t>(wave_count)), Method::kOrdered, plans, control,
                            1e9};
  const auto& particles = set.particles();
  const long count = static_cast<long>(particles.size());
  // Batches of particles in parallel, each into its own buffer, folded in
  // particle order.
  const long batch = std::max<long>(4L * threads, 16);
  std::vector<SumsBuffer> buffers;
  for (long b = 0; b < std::min(batch, count); ++b) buffers.emplace_back(static_cast<long>(rows), wave_count, true);
  for (long first = 0; first < count && !control.stopped(); first += batch) {
    const long last = std::min(count, first + batch);
    for_items(last - first, threads, [&](long item) {
      const long i = first + item;
      if (control.stopped()) return;
      control.guarded([&] {
        const ParticleRange& p = particles[static_cast<std::size_t>(i)];
        const std::span<const long> own = lags_within(lags, set.span(p));
        SumsBuffer& buffer = buffers[static_cast<std::size_t>(i - first)];
        buffer.clear(static_cast<long>(own.size()));
        const auto at = static_cast<std::size_t>(p.begin);
        const ParticleRecords records{set.x().data() + at, set.y().data() + at, set.frame().data() + at,
                                      p.records()};
        add_particle_sums(records, own, context, buffer.view(), 1);
      });
    });
    control.rethrow();
    for (long i = first; i < last; ++i) {
      const std::span<const long> own = lags_within(lags, set.span(particles[static_cast<std::size_t>(i)]));
      folder.fold(buffers[static_cast<std::size_t>(i - first)].view(), static_cast<long>(own.size()));
    }
  }
  return sums;
}

void add_error_sums(ErrorSums& into, const ErrorSums& from) {
  for (std::size_t r = 0; r < into.groups.size(); ++r) {
    into.groups[r] += from.groups[r];
    into.nn[r] += from.nn[r];
    into.s2s4[r] += from.s2s4[r];
  }
  for (std::size_t c = 0; c < into.ss.size(); ++c) {
    for (std::size_t r = 0; r < into.groups.size(); ++r) {
      into.ss[c][r] += from.ss[c][r];
      into.sn[c][r] += from.sn[c][r];
    }
  }
}

StandardErrors errors_from_sums(const ErrorSums& sums, const AnalysisResult& result) {
  StandardErrors errors;
  const std::size_t rows = result.rows();
  for (const double g : sums.groups) errors.groups.push_back(static_cast<long>(g));
  const Quantities& q = result.quantities;
  const auto waves = result.wave_numbers.size();
  const bool scattering = sums.ss.size() > kMomentColumns && waves > 0;
  if (q.msd) errors.msd.assign(rows, NAN);
  if (q.ngp) errors.ngp.assign(rows, NAN);
  if (scattering) {
    for (auto* group : {&errors.cos_x, &errors.cos_y, &errors.cos_r}) group->assign(waves, std::vector<double>(rows, NAN));
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const double groups = sums.groups[r];
    if (groups < static_cast<double>(kParticleGroups)) continue;
    const double n = static_cast<double>(result.pairs[r]);
    const double scale = groups / (groups - 1.0) / (n * n);
    // sum over particles of (S_i - m n_i)(T_i - p n_i), from the sums of
    // squares and products.
    auto centred = [&](std::size_t c, double m) { return sums.ss[c][r] - 2.0 * m * sums.sn[c][r] + m * m * sums.nn[r]; };
    const double msd = result.msd.empty() ? NAN : result.msd[r];
    if (q.msd) errors.msd[r] = std::sqrt(std::max(0.0, centred(0, msd)) * scale);
    if (q.ngp && !result.mqd.empty()) {
      const double mqd = result.mqd[r];
      const double cross = sums.s2s4[r] - msd * sums.sn[1][r] - mqd * sums.sn[0][r] + msd * mqd * sums.nn[r];
      const double a = (2.0 / 3.0) / (msd * msd), b = (4.0 / 3.0) * mqd / (msd * msd * msd);
      const double spread = a * a * centred(1, mqd) + b * b * centred(0, msd) - 2.0 * a * b * cross;
      errors.ngp[r] = std::sqrt(std::max(0.0, spread) * scale);
    }
    if (!scattering) continue;
    const std::vector<std::vector<double>>* means[] = {&result.cos_x, &result.cos_y, &result.cos_r};
    std::vector<std::vector<double>>* out[] = {&errors.cos_x, &errors.cos_y, &errors.cos_r};
    for (std::size_t d = 0; d < 3; ++d) {
      for (std::size_t w = 0; w < waves; ++w) {
        const double m = (*means[d])[w][r];
        (*out[d])[w][r] = std::sqrt(std::max(0.0, centred(kMomentColumns + d * waves + w, m)) * scale);
      }
    }
  }
  return errors;
}

}  // namespace msdisf::detail
