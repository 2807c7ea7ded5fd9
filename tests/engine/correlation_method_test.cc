// The correlation method against sums formed in extended precision: counts
// exact, each moment <w^k> within 1e-10 * msd^(k/2), each scattering mean
// within 1e-10, on inputs chosen to defeat FFT sums (large offsets, tiny
// steps next to large excursions, rest, one jump).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "engine/analysis.h"
#include "engine/moment_correlation.h"
#include "engine/phase_correlation.h"
#include "tests/engine/records.h"

namespace msdisf {
namespace {

using testing::Records;

struct Exact {
  std::vector<long> pairs;
  std::vector<long double> m1, m2, m3, m4;
  std::vector<std::vector<long double>> cos, sin;  // [3 * wave + direction][row]
};

// Per lag, every pair of each particle, in long double; records come
// grouped by particle and sorted by frame.
Exact exact_means(const Records& in, const std::vector<long>& lags, const std::vector<double>& waves) {
  const std::size_t rows = lags.size();
  Exact e{std::vector<long>(rows),
          std::vector<long double>(rows),
          std::vector<long double>(rows),
          std::vector<long double>(rows),
          std::vector<long double>(rows),
          {},
          {}};
  e.cos.assign(3 * waves.size(), std::vector<long double>(rows));
  e.sin = e.cos;
  for (std::size_t a = 0; a < in.x.size(); ++a) {
    for (std::size_t b = a + 1; b < in.x.size() && in.particle[b] == in.particle[a]; ++b) {
      if (std::isnan(in.x[a]) || std::isnan(in.x[b])) continue;
      const auto at = std::lower_bound(lags.begin(), lags.end(), in.frame[b] - in.frame[a]);
      if (at == lags.end() || *at != in.frame[b] - in.frame[a]) continue;
      const auto r = static_cast<std::size_t>(at - lags.begin());
      const long double dx = static_cast<long double>(in.x[b]) - in.x[a];
      const long double dy = static_cast<long double>(in.y[b]) - in.y[a];
      ++e.pairs[r];
      e.m1[r] += dx + dy;
      e.m2[r] += dx * dx + dy * dy;
      e.m3[r] += dx * dx * dx + dy * dy * dy;
      e.m4[r] += dx * dx * dx * dx + dy * dy * dy * dy;
      for (std::size_t m = 0; m < waves.size(); ++m) {
        const long double args[3] = {waves[m] * dx, waves[m] * dy, waves[m] * (dx + dy)};
        for (int d = 0; d < 3; ++d) {
          // Arguments below 4e4 rounded to double err by < 1e-11.
          double sine = 0.0, cosine = 0.0;
          ::sincos(static_cast<double>(args[d]), &sine, &cosine);
          e.cos[3 * m + d][r] += cosine;
          e.sin[3 * m + d][r] += sine;
        }
      }
    }
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const long double n = e.pairs[r];
    for (auto* column : {&e.m1, &e.m2, &e.m3, &e.m4}) (*column)[r] /= n;
    for (auto& column : e.cos) column[r] /= n;
    for (auto& column : e.sin) column[r] /= n;
  }
  return e;
}

enum class Motion { kBrownian, kCaged, kAtRest, kOneJump, kBallistic, kAntiDiagonal };

// `particles` trajectories of `frames` frames, a share `missing` of positions
// missing.
Records trajectories(Motion motion, int particles, long frames, double offset, std::uint64_t seed,
                     double missing = 0.02) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> step(0.0, 1.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Records r;
  for (int p = 0; p < particles; ++p) {
    double x = offset + 10.0 * p, y = offset;
    for (long f = 0; f < frames; ++f) {
      switch (motion) {
        case Motion::kBrownian:
          x += step(random);
          y += step(random);
          break;
        // Tiny rattling in a cage that creeps: displacements of 1e-5 to
        // 1e-3 next to excursions of several units.
        case Motion::kCaged:
          x = offset + 2e-3 * static_cast<double>(f) + 1e-5 * step(random);
          y = offset - 1e-3 * static_cast<double>(f) + 1e-5 * step(random);
          break;
        case Motion::kAtRest:
          break;
        case Motion::kOneJump:
          if (f == frames / 2) x += 1e3;
          break;
        case Motion::kBallistic:
          x += 0.5;
          y -= 0.25;
          break;
        // x + y stays put, so u + v is rounding next to u and v.
        case Motion::kAntiDiagonal: {
          const double s = step(random);
          x += s;
          y -= s;
          break;
        }
      }
      r.x.push_back(unit(random) < missing ? NAN : x);
      r.y.push_back(y);
      r.frame.push_back(f);
      r.particle.push_back(p);
    }
  }
  return r;
}

// The pooled means of the correlation paths with the transforms taken
// wherever the bound allows, so that small inputs reach every level.
AnalysisResult by_transforms(const Records& in, const std::vector<long>& lags, const std::vector<double>& waves,
                             int threads) {
  std::vector<std::unique_ptr<detail::PaddedRange>> grids;
  std::vector<const detail::PaddedRange*> views;
  for (std::size_t first = 0; first < in.x.size();) {
    std::size_t end = first;
    while (end < in.x.size() && in.particle[end] == in.particle[first]) ++end;
    grids.push_back(std::make_unique<detail::PaddedRange>(in.x.data() + first, in.y.data() + first,
                                                          in.frame.data() + first, static_cast<long>(end - first)));
    views.push_back(grids.back().get());
    first = end;
  }
  const long rows = static_cast<long>(lags.size());
  detail::SumsBuffer sums(rows, static_cast<int>(waves.size()), true);
  const detail::SumsView& view = sums.view();
  static const AnalysisOptions no_callbacks;
  detail::PlanCache plans;
  detail::RunControl control(no_callbacks, 1.0);
  const detail::CorrelationContext context{plans, control, threads, true};
  detail::correlate_moments(views, lags, {}, view, context);
  const detail::PhaseLayout layout(views, lags);
  detail::correlate_phases(layout, waves, std::span<const long>(view.pairs, lags.size()), view, context, 1e9);
  AnalysisResult r;
  r.lag = lags;
  r.wave_numbers = waves;
  for (long row = 0; row < rows; ++row) {
    const double n = static_cast<double>(view.pairs[row]);
    r.pairs.push_back(view.pairs[row]);
    r.md.push_back(view.s1[row] / n);
    r.msd.push_back(view.s2[row] / n);
    r.mcd.push_back(view.s3[row] / n);
    r.mqd.push_back(view.s4[row] / n);
  }
  const auto groups = std::array{&r.cos_x, &r.cos_y, &r.cos_r, &r.sin_x, &r.sin_y, &r.sin_r};
  for (int g = 0; g < detail::kGroups; ++g) {
    for (std::size_t m = 0; m < waves.size(); ++m) {
      const double* column = view.column(g, static_cast<int>(m));
      std::vector<double> means;
      for (long row = 0; row < rows; ++row) means.push_back(column[row] / static_cast<double>(view.pairs[row]));
      groups[static_cast<std::size_t>(g)]->push_back(means);
    }
  }
  return r;
}

void expect_within_promise(const AnalysisResult& got, const Exact& want, const std::string& what) {
  ASSERT_EQ(got.pairs, want.pairs) << what;
  for (std::size_t r = 0; r < got.rows(); ++r) {
    if (want.pairs[r] == 0) continue;
    const double msd = static_cast<double>(want.m2[r]);
    const double moments[] = {got.md[r], got.msd[r], got.mcd[r], got.mqd[r]};
    const long double exact[] = {want.m1[r], want.m2[r], want.m3[r], want.m4[r]};
    for (int k = 1; k <= 4; ++k) {
      const double allowed = 1e-10 * std::pow(msd, 0.5 * k);
      ASSERT_LE(std::fabs(moments[k - 1] - static_cast<double>(exact[k - 1])), allowed)
          << what << ", moment " << k << ", lag " << got.lag[r];
    }
    for (std::size_t m = 0; m < got.wave_numbers.size(); ++m) {
      const std::vector<double>* groups[] = {&got.cos_x[m], &got.cos_y[m], &got.cos_r[m],
                                             &got.sin_x[m], &got.sin_y[m], &got.sin_r[m]};
      for (int d = 0; d < 3; ++d) {
        ASSERT_NEAR((*groups[d])[r], static_cast<double>(want.cos[3 * m + d][r]), 1e-10) << what << " lag " << r;
        ASSERT_NEAR((*groups[3 + d])[r], static_cast<double>(want.sin[3 * m + d][r]), 1e-10) << what;
      }
    }
  }
}

TEST(CorrelationMethod, KeepsItsPromiseOnAdversarialInput) {
  struct Case {
    const char* name;
    Motion motion;
    int particles;
    long frames;
    double offset;
    LagRequest lags;
  };
  const Case cases[] = {
      {"brownian", Motion::kBrownian, 1, 2000, 0.0, LagRequest::all()},
      {"brownian offset 1e6", Motion::kBrownian, 1, 2000, 1e6, LagRequest::all()},
      {"brownian offset 1e12", Motion::kBrownian, 2, 1500, 1e12, LagRequest::all()},
      {"brownian offset 1e17", Motion::kBrownian, 1, 1000, 1e17, LagRequest::all()},
      {"many short particles", Motion::kBrownian, 300, 40, 1e6, LagRequest::all()},
      {"caged, tiny steps", Motion::kCaged, 3, 1000, 1e3, LagRequest::all()},
      {"at rest", Motion::kAtRest, 2, 1000, 5.0, LagRequest::all()},
      {"one long jump", Motion::kOneJump, 1, 2000, 0.0, LagRequest::all()},
      {"ballistic", Motion::kBallistic, 1, 2000, 1e6, LagRequest::log_spaced(50)},
      {"along the anti-diagonal", Motion::kAntiDiagonal, 2, 800, 1e3, LagRequest::all()},
  };
  const std::vector<double> waves = {0.05, 1.0, 30.0};
  // With gaps, the mask is transformed; without, its terms come from
  // prefix sums.
  for (const Case& c : cases) {
    for (const double missing : {0.02, 0.0}) {
      const Records in = trajectories(c.motion, c.particles, c.frames, c.offset, 11, missing);
      for (const int threads : {1, 2}) {
        const AnalysisResult got = analyse(in.data(), {.lags = c.lags, .wave_numbers = waves, .threads = threads});
        const Exact want = exact_means(in, got.lag, waves);
        const std::string what =
            std::string(c.name) + (missing > 0.0 ? ", gaps" : ", no gaps") + ", threads " + std::to_string(threads);
        expect_within_promise(got, want, what);
        expect_within_promise(by_transforms(in, got.lag, waves, threads), want, what + ", transforms first");
      }
    }
  }
}

TEST(CorrelationMethod, LongAndShortParticlesWithTheLargestLagsSummedDirectly) {
  // Log-spaced lags over a long particle: the transforms cover only the
  // smaller lags, and the larger ones are summed directly in every grid.
  Records in = trajectories(Motion::kBrownian, 1, 30000, 1e6, 5);
  const Records short_ones = trajectories(Motion::kBallistic, 30, 2500, -1e6, 6);
  for (std::size_t i = 0; i < short_ones.x.size(); ++i) {
    in.x.push_back(short_ones.x[i]), in.y.push_back(short_ones.y[i]);
    in.frame.push_back(short_ones.frame[i]), in.particle.push_back(short_ones.particle[i] + 1);
  }
  const std::vector<double> waves = {0.3, 7.0};
  const AnalysisResult got = analyse(in.data(), {.lags = LagRequest::log_spaced(60), .wave_numbers = waves});
  const Exact want = exact_means(in, got.lag, waves);
  expect_within_promise(got, want, "analyse");
  expect_within_promise(by_transforms(in, got.lag, waves, 2), want, "transforms first");
}

TEST(CorrelationMethod, TheSameBitsOnOneThreadAndOnTwo) {
  // Many packs of short particles and one long particle, with errors: packs
  // pooled in order, x + y factors formed the same way whatever the threads.
  Records in = trajectories(Motion::kBrownian, 400, 60, 1e3, 8);
  const Records long_one = trajectories(Motion::kCaged, 1, 5000, -1e3, 9);
  for (std::size_t i = 0; i < long_one.x.size(); ++i) {
    in.x.push_back(long_one.x[i]), in.y.push_back(long_one.y[i]);
    in.frame.push_back(long_one.frame[i]), in.particle.push_back(1000);
  }
  auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
  };
  // The long particle alone: its channels spread over the threads.
  for (int repeat = 0; repeat < 3; ++repeat) {
    const auto alone = [&](int threads) { return analyse(long_one.data(), {.threads = threads}); };
    const AnalysisResult one = alone(1), two = alone(2);
    for (std::size_t m = 0; m < one.wave_numbers.size(); ++m) EXPECT_TRUE(same(one.cos_r[m], two.cos_r[m])) << m;
  }
  auto run = [&](int threads) {
    return analyse(in.data(), {.lags = LagRequest::log_spaced(40), .errors = true, .threads = threads});
  };
  const AnalysisResult one = run(1), two = run(2);
  EXPECT_EQ(one.pairs, two.pairs);
  for (const auto column : {&AnalysisResult::msd, &AnalysisResult::mqd, &AnalysisResult::md, &AnalysisResult::mcd}) {
    EXPECT_TRUE(same(one.*column, two.*column));
  }
  for (std::size_t m = 0; m < one.wave_numbers.size(); ++m) {
    EXPECT_TRUE(same(one.cos_r[m], two.cos_r[m]) && same(one.sin_r[m], two.sin_r[m])) << m;
    EXPECT_TRUE(same(one.errors.cos_r[m], two.errors.cos_r[m])) << m;
  }
  EXPECT_TRUE(same(one.errors.msd, two.errors.msd) && same(one.errors.ngp, two.errors.ngp));
}

TEST(CorrelationMethod, UnwantedColumnsAreEmptyAndTheRestKeepThePromise) {
  // With gaps and without: the msd alone takes other transforms in each
  // (without, two forward and one inverse).
  for (const double missing : {0.02, 0.0}) {
    const Records in = trajectories(Motion::kBrownian, 1, 6000, 1e6, 3, missing);
    Quantities only_msd{.mqd = false, .ngp = false, .skewness = false, .md = false, .mcd = false, .scattering = false};
    const AnalysisResult msd = analyse(in.data(), {.quantities = only_msd});
    EXPECT_TRUE(msd.mqd.empty() && msd.ngp.empty() && msd.md.empty() && msd.cos_x.empty() && msd.wave_numbers.empty());
    const Exact want = exact_means(in, msd.lag, {});
    ASSERT_EQ(msd.pairs, want.pairs) << missing;
    for (std::size_t r = 0; r < msd.rows(); ++r) {
      const double exact = static_cast<double>(want.m2[r]);
      ASSERT_NEAR(msd.msd[r], exact, 1e-10 * exact) << missing << " lag " << msd.lag[r];
    }
  }
}

}  // namespace
}  // namespace msdisf
