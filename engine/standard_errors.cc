#include "engine/standard_errors.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "engine/cost_model.h"
#include "engine/lag_selection.h"
#include "engine/phase_channels.h"
#include "engine/phase_sincos.h"

namespace msdisf::detail {

namespace {

// The finest windows of one lag are at most this many per particle, so that
// the scratch of a long trajectory's short lags stays small.
constexpr long kMostWindows = 65536;

// One pass sums up to three per-pair terms: r^2, dx^4 + dy^4 and r^4, or the
// cos parts along x, y and x + y of one wave number, or J0(q r).
constexpr int kTerms = 3;
using Terms = std::array<double, kTerms>;

// Sums over groups of the deviations e = S - ref * n of each term's group sum
// S from a reference mean: enough for the variance of the ratio mean of each
// term and of the ngp. Deviations from a mean close to the final one keep
// the expanded sums of squares free of cancellation.
struct Spread {
  long groups = 0;
  double n = 0.0, nn = 0.0;
  Terms e{}, ee{}, en{};
  double e01 = 0.0, e02 = 0.0;

  void add(double count, const Terms& sums, const Terms& ref) {
    ++groups;
    n += count;
    nn += count * count;
    Terms dev;
    for (int k = 0; k < kTerms; ++k) {
      dev[k] = sums[k] - ref[k] * count;
      e[k] += dev[k];
      ee[k] += dev[k] * dev[k];
      en[k] += dev[k] * count;
    }
    e01 += dev[0] * dev[1];
    e02 += dev[0] * dev[2];
  }

  // sum over groups of (e_i - d_i n)(e_j - d_j n), with d the deviation of
  // the pooled mean from the reference.
  double centred(int i, int j) const {
    const double di = e[i] / n, dj = e[j] / n;
    const double eij = i == j ? ee[i] : i + j == 1 ? e01 : e02;
    return eij - di * en[j] - dj * en[i] + di * dj * nn;
  }

  double scale() const { return static_cast<double>(groups) / static_cast<double>(groups - 1) / (n * n); }

  double variance(int k) const { return groups < 2 ? NAN : std::max(0.0, centred(k, k)) * scale(); }

  // Of f Q / M^2 - 1, with M the mean of term 0 and Q that of term `quartic`
  // (ngp: dx^4 + dy^4 and f = 2/3; alpha2 in two dimensions: r^4 and
  // f = 1/2). Linearised, it moves by a dQ - b dM.
  double quartic_ratio_variance(const Terms& ref, int quartic, double f) const {
    if (groups < 2) return NAN;
    const double msd = ref[0] + e[0] / n, mean_quartic = ref[quartic] + e[quartic] / n;
    const double a = f / (msd * msd), b = 2.0 * f * mean_quartic / (msd * msd * msd);
    const double spread =
        a * a * centred(quartic, quartic) + b * b * centred(0, 0) - 2.0 * a * b * centred(0, quartic);
    return std::max(0.0, spread) * scale();
  }
};

// Every grouping of one lag: the particles, and windows of 2^(shift + level)
// origin frames for each level.
struct LagGroups {
  Spread particles;
  std::vector<Spread> windows;
  int shift = 0;
};

struct Window {
  long index;
  double n;
  Terms s;
};

int ceil_log2(long value) { return value <= 1 ? 0 : std::bit_width(static_cast<unsigned long>(value - 1)); }

LagGroups groups_of_lag(long lag, long longest_span) {
  LagGroups groups;
  const long finest = (longest_span + kMostWindows - 1) / kMostWindows;
  groups.shift = ceil_log2(std::max(kWindowLags * lag, finest));
  int levels = 1;
  while (groups.shift + levels < 62 && (1L << (groups.shift + levels)) <= longest_span + 1) ++levels;
  groups.windows.resize(static_cast<std::size_t>(levels));
  return groups;
}

// Calls visit(a, b) for every pair of records of particle p whose frames
// differ by `lag`, in origin order.
template <typename Visit>
void for_each_pair(const ParticleSet& set, const ParticleRange& p, long lag, Visit&& visit) {
  if (p.records() == set.span(p) + 1) {
    // Every frame present: the pair of a is a + lag.
    for (long a = p.begin; a + lag < p.end; ++a) visit(a, a + lag);
    return;
  }
  const std::int64_t* frame = set.frame().data();
  long j = p.begin;
  for (long a = p.begin; a < p.end; ++a) {
    const std::int64_t target = frame[a] + lag;
    while (j < p.end && frame[j] < target) ++j;
    if (j == p.end) break;
    if (frame[j] == target) visit(a, j);
  }
}

// One lag's share of a pass: its reference means and the groups its pairs
// go to, by particle alone or, with `by_windows`, by windows of origins too.
struct LagTarget {
  long lag;
  const Terms& ref;
  LagGroups& groups;
  bool by_windows;
};

// Adds the finest windows of one particle to every level of `groups`,
// merging them level by level in place, and the whole particle to its own
// grouping.
void add_windows(std::vector<Window>& windows, const Terms& ref, LagGroups& groups) {
  for (std::size_t level = 0; level < groups.windows.size(); ++level) {
    // Windows of this level are pairs of the previous level's, merged in place.
    std::size_t merged = 0;
    for (std::size_t i = 0; i < windows.size(); ++i) {
      Window w = windows[i];
      if (level > 0) w.index >>= 1;
      if (merged > 0 && windows[merged - 1].index == w.index) {
        Window& into = windows[merged - 1];
        into.n += w.n;
        for (int k = 0; k < kTerms; ++k) into.s[k] += w.s[k];
      } else {
        windows[merged++] = w;
      }
    }
    windows.resize(merged);
    for (const Window& w : windows) groups.windows[level].add(w.n, w.s, ref);
  }
  Window total{0, 0.0, {}};
  for (const Window& w : windows) {
    total.n += w.n;
    for (int k = 0; k < kTerms; ++k) total.s[k] += w.s[k];
  }
  groups.particles.add(total.n, total.s, ref);
}

// Adds one particle's pairs at the target's lag to its groups. `terms(a, b,
// t)` forms the terms of the pair (a, b) and returns false when the pair is
// invalid.
template <typename TermsOf>
void add_particle(const ParticleSet& set, const ParticleRange& p, const LagTarget& target, std::vector<Window>& windows,
                  TermsOf&& terms) {
  const std::int64_t* frame = set.frame().data();
  LagGroups& groups = target.groups;
  windows.clear();
  if (!target.by_windows) {
    Window total{0, 0.0, {}};
    for_each_pair(set, p, target.lag, [&](long a, long b) {
      Terms t;
      if (!terms(a, b, t)) return;
      total.n += 1.0;
      for (int k = 0; k < kTerms; ++k) total.s[k] += t[k];
    });
    if (total.n > 0.0) groups.particles.add(total.n, total.s, target.ref);
    return;
  }
  for_each_pair(set, p, target.lag, [&](long a, long b) {
    Terms t;
    if (!terms(a, b, t)) return;
    const long index = static_cast<long>(frame[a] - frame[p.begin]) >> groups.shift;
    if (windows.empty() || windows.back().index != index) windows.push_back({index, 0.0, {}});
    Window& w = windows.back();
    w.n += 1.0;
    for (int k = 0; k < kTerms; ++k) w.s[k] += t[k];
  });
  if (!windows.empty()) add_windows(windows, target.ref, groups);
}

// The standard error of one term's mean (from `variance_of` a grouping) and
// the number of groups behind it.
template <typename VarianceOf>
std::pair<double, long> standard_error(const LagGroups& groups, VarianceOf&& variance_of) {
  if (groups.particles.groups >= kParticleGroups) {
    return {std::sqrt(variance_of(groups.particles)), groups.particles.groups};
  }
  const auto& levels = groups.windows;
  std::size_t l = 0;
  while (l + 1 < levels.size() && levels[l + 1].groups >= kPlateauGroups) {
    const double here = variance_of(levels[l]), next = variance_of(levels[l + 1]);
    const double uncertainty = std::sqrt(2.0 / static_cast<double>(levels[l].groups - 1));
    if (!(next > here * (1.0 + uncertainty))) break;
    ++l;
  }
  return {std::sqrt(variance_of(levels[l])), levels[l].groups};
}

double reference(const std::vector<double>& column, std::size_t r) {
  return column.size() > r && std::isfinite(column[r]) ? column[r] : 0.0;
}

// Phase factors of each record along x, y and x + y at wave number q,
// relative to its particle's first valid position; six doubles per record.
void fill_factors(const ParticleSet& set, double q, std::vector<double>& factors, int threads) {
  const long records = static_cast<long>(set.x().size());
  factors.resize(static_cast<std::size_t>(records) * 6);
  const double* x = set.x().data();
  const double* y = set.y().data();
  const auto& particles = set.particles();
#pragma omp parallel num_threads(threads)
  {
    std::vector<double> phases;
    std::vector<double> cos_sin;
#pragma omp for schedule(dynamic, 1)
    for (std::size_t i = 0; i < particles.size(); ++i) {
      const ParticleRange& p = particles[i];
      long first = p.begin;
      while (first < p.end && (std::isnan(x[first]) || std::isnan(y[first]))) ++first;
      const double x0 = first < p.end ? x[first] : 0.0, y0 = first < p.end ? y[first] : 0.0;
      const long count = p.records();
      phases.resize(static_cast<std::size_t>(count));
      cos_sin.resize(static_cast<std::size_t>(count) * 2);
      for (int d = 0; d < 3; ++d) {
        bool in_range = true;
        for (long a = 0; a < count; ++a) {
          const double phi = phase_of(d, q, x[p.begin + a], y[p.begin + a], x0, y0);
          phases[static_cast<std::size_t>(a)] = std::isnan(phi) ? 0.0 : phi;
          in_range = in_range && std::fabs(phases[static_cast<std::size_t>(a)]) <= kSincosRange;
        }
        if (in_range) {
          phase_sincos(phases.data(), count, cos_sin.data());
        } else {
          for (long a = 0; a < count; ++a) {
            ::sincos(phases[static_cast<std::size_t>(a)], &cos_sin[static_cast<std::size_t>(2 * a + 1)],
                     &cos_sin[static_cast<std::size_t>(2 * a)]);
          }
        }
        for (long a = 0; a < count; ++a) {
          double* f = &factors[static_cast<std::size_t>((p.begin + a) * 6 + 2 * d)];
          f[0] = cos_sin[static_cast<std::size_t>(2 * a)];
          f[1] = cos_sin[static_cast<std::size_t>(2 * a + 1)];
        }
      }
    }
  }
}

std::size_t records_of(const ParticleSet& set) { return set.x().size(); }

// Particles are visited in batches of about this many records, every lag
// per batch, so that a batch's phase factors stay in cache across the lags.
constexpr long kBatchRecords = 4096;

// Runs one pass over every lag, then `finish(row, groups)` turns each lag's
// groups into errors. Each lag's groups are filled in particle order, by one
// thread at a time, so the errors do not depend on the threads.
template <typename TermsOf, typename Finish>
void run_pass(const ParticleSet& set, const std::vector<long>& lags, const std::vector<Terms>& refs,
              RunControl& control, int threads, TermsOf&& terms, Finish&& finish) {
  const long longest = set.longest_span();
  const auto& particles = set.particles();
  const long rows = static_cast<long>(lags.size());
  // Windows only matter when too few particles have pairs at a lag; spans
  // bound that number from above, and a lag found short afterwards is redone.
  std::vector<long> spans;
  for (const ParticleRange& p : particles) spans.push_back(set.span(p));
  std::sort(spans.begin(), spans.end());
  std::vector<LagGroups> groups(lags.size());
  std::vector<char> by_windows(lags.size());
  for (std::size_t r = 0; r < lags.size(); ++r) {
    const auto reaching = spans.end() - std::lower_bound(spans.begin(), spans.end(), lags[r]);
    by_windows[r] = reaching < kParticleGroups;
    if (by_windows[r]) groups[r] = groups_of_lag(lags[r], longest);
  }
  auto add_range = [&](std::size_t r, std::size_t first, std::size_t last, std::vector<Window>& windows) {
    double records = 0.0;
    for (std::size_t i = first; i < last; ++i) {
      if (set.span(particles[i]) < lags[r]) continue;
      add_particle(set, particles[i], {lags[r], refs[r], groups[r], by_windows[r] != 0}, windows, terms);
      records += static_cast<double>(particles[i].records());
    }
    return records;
  };
  for (std::size_t first = 0; first < particles.size() && !control.stopped();) {
    std::size_t last = first;
    for (long records = 0; last < particles.size() && records < kBatchRecords; ++last) {
      records += particles[last].records();
    }
#pragma omp parallel num_threads(threads)
    {
      std::vector<Window> windows;
#pragma omp for schedule(dynamic, 1)
      for (long r = 0; r < rows; ++r) {
        if (control.stopped()) continue;
        control.guarded(
            [&] { control.advance(kErrorRecordCost * add_range(static_cast<std::size_t>(r), first, last, windows)); });
      }
    }
    first = last;
  }
#pragma omp parallel num_threads(threads)
  {
    std::vector<Window> windows;
#pragma omp for schedule(dynamic, 1)
    for (long r = 0; r < rows; ++r) {
      const auto row = static_cast<std::size_t>(r);
      if (control.stopped()) continue;
      control.guarded([&] {
        if (!by_windows[row] && groups[row].particles.groups < kParticleGroups) {
          groups[row] = groups_of_lag(lags[row], longest);
          by_windows[row] = 1;
          add_range(row, 0, particles.size(), windows);
        }
        finish(row, groups[row]);
      });
    }
  }
}

}  // namespace

double standard_error_work(const ParticleSet& set, const std::vector<long>& lags, int waves, const Quantities& wanted) {
  const double passes = ((wanted.msd || wanted.ngp || wanted.alpha2) ? 1.0 : 0.0) + (wanted.scattering ? waves : 0) +
                        (wanted.fs ? waves : 0);
  double records = 0.0;
  for (const ParticleRange& p : set.particles()) {
    const std::size_t within = lags_within(lags, set.span(p)).size();
    records += static_cast<double>(within) * static_cast<double>(p.records());
  }
  return kErrorRecordCost * passes * records;
}

double standard_error_bytes(const ParticleSet& set, std::size_t rows, int threads) {
  return 48.0 * static_cast<double>(records_of(set)) + 200.0 * static_cast<double>(rows) +
         static_cast<double>(threads) * static_cast<double>(kMostWindows) * sizeof(Window);
}

void add_standard_errors(const ParticleSet& set, AnalysisResult& result, RunControl& control, int threads) {
  const std::size_t rows = result.rows();
  const Quantities& wanted = result.quantities;
  const std::size_t waves = result.wave_numbers.size();
  StandardErrors& errors = result.errors;
  const bool moments = wanted.msd || wanted.ngp || wanted.alpha2;
  const bool isotropic = wanted.fs && result.fs.size() == waves && waves > 0;
  if (!moments && (!wanted.scattering || waves == 0) && !isotropic) return;
  errors.groups.assign(rows, 0);
  const double* x = set.x().data();
  const double* y = set.y().data();
  bool grouped = false;  // errors.groups filled by an earlier pass
  std::vector<Terms> refs(rows, Terms{});

  if (moments) {
    if (wanted.msd) errors.msd.assign(rows, NAN);
    if (wanted.ngp) errors.ngp.assign(rows, NAN);
    if (wanted.alpha2) errors.alpha2.assign(rows, NAN);
    for (std::size_t r = 0; r < rows; ++r) {
      // alpha2 = (1/2) <r^4> / msd^2 - 1 in two dimensions
      const double msd = reference(result.msd, r), alpha2 = reference(result.alpha2, r);
      refs[r] = {msd, reference(result.mqd, r), 2.0 * (alpha2 + 1.0) * msd * msd};
    }
    auto terms = [&](long a, long b, Terms& t) {
      const double dx = x[b] - x[a], dy = y[b] - y[a];
      t[0] = dx * dx + dy * dy;
      t[1] = dx * dx * dx * dx + dy * dy * dy * dy;
      t[2] = t[0] * t[0];
      return !std::isnan(t[0]);
    };
    run_pass(set, result.lag, refs, control, threads, terms, [&](std::size_t r, const LagGroups& g) {
      const Terms& ref = refs[r];
      const auto [msd_se, groups] = standard_error(g, [](const Spread& s) { return s.variance(0); });
      if (wanted.msd) errors.msd[r] = msd_se;
      if (wanted.ngp) {
        errors.ngp[r] =
            standard_error(g, [&](const Spread& s) { return s.quartic_ratio_variance(ref, 1, 2.0 / 3.0); }).first;
      }
      if (wanted.alpha2) {
        errors.alpha2[r] = standard_error(g, [&](const Spread& s) { return s.quartic_ratio_variance(ref, 2, 0.5); }).first;
      }
      errors.groups[r] = groups;
    });
    grouped = true;
  }

  if (isotropic) {
    errors.fs.assign(waves, std::vector<double>(rows, NAN));
    for (std::size_t w = 0; w < waves && !control.stopped(); ++w) {
      const double q = result.wave_numbers[w];
      for (std::size_t r = 0; r < rows; ++r) refs[r] = {reference(result.fs[w], r), 0.0, 0.0};
      auto bessel = [&](long a, long b, Terms& t) {
        const double dx = x[b] - x[a], dy = y[b] - y[a];
        t = {::j0(q * std::sqrt(dx * dx + dy * dy)), 0.0, 0.0};
        return !std::isnan(t[0]);
      };
      const bool first_pass = !grouped && w == 0;
      run_pass(set, result.lag, refs, control, threads, bessel, [&](std::size_t r, const LagGroups& g) {
        const auto [se, groups] = standard_error(g, [](const Spread& s) { return s.variance(0); });
        // Rows whose fs the directions did not serve have no error either.
        errors.fs[w][r] = std::isnan(result.fs[w][r]) ? NAN : se;
        if (first_pass) errors.groups[r] = groups;
      });
    }
    grouped = true;
  }

  if (wanted.scattering) {
    for (auto* group : {&errors.cos_x, &errors.cos_y, &errors.cos_r}) group->assign(waves, std::vector<double>(rows, NAN));
    std::vector<double> factors;
    for (std::size_t w = 0; w < waves && !control.stopped(); ++w) {
      fill_factors(set, result.wave_numbers[w], factors, threads);
      for (std::size_t r = 0; r < rows; ++r) {
        refs[r] = {reference(result.cos_x[w], r), reference(result.cos_y[w], r), reference(result.cos_r[w], r)};
      }
      const double* f = factors.data();
      auto cosines = [&](long a, long b, Terms& t) {
        if (std::isnan(x[a] + y[a] + x[b] + y[b])) return false;
        const double* fa = f + a * 6;
        const double* fb = f + b * 6;
        for (int d = 0; d < 3; ++d) t[static_cast<std::size_t>(d)] = fa[2 * d] * fb[2 * d] + fa[2 * d + 1] * fb[2 * d + 1];
        return true;
      };
      const bool first_pass = !grouped && w == 0;
      run_pass(set, result.lag, refs, control, threads, cosines, [&](std::size_t r, const LagGroups& g) {
        std::vector<std::vector<double>>* columns[] = {&errors.cos_x, &errors.cos_y, &errors.cos_r};
        for (int d = 0; d < 3; ++d) {
          const auto [se, groups] = standard_error(g, [d](const Spread& s) { return s.variance(d); });
          (*columns[d])[w][r] = se;
          if (first_pass && d == 0) errors.groups[r] = groups;
        }
      });
    }
  }
}

}  // namespace msdisf::detail
