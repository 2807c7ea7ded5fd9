// Lag sums: shards of whole particles merged in any order give the table of
// one analysis of all of them; sums of different things, or shards that
// share a particle, are refused.
#include "engine/sums.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "engine/result_columns.h"
#include "tests/engine/records.h"

namespace msdisf {
namespace {

using testing::Records;

// Random walks of `particles` particles with gaps and drift; particle p gets id first_id + p.
Records walks(int particles, std::int64_t first_id, unsigned seed) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> step(0.3, 1.5);
  std::uniform_int_distribution<int> length(2, 300), skip(0, 9);
  Records r;
  for (int p = 0; p < particles; ++p) {
    double x = 1e3 * p, y = -50.0;
    std::int64_t frame = skip(random);
    for (int k = length(random); k > 0; --k) {
      x += step(random), y += step(random);
      frame += 1 + (skip(random) == 0 ? 3 : 0);
      r.x.push_back(x), r.y.push_back(skip(random) == 1 ? NAN : y);
      r.frame.push_back(frame), r.particle.push_back(first_id + p);
    }
  }
  return r;
}

void expect_same_table(const AnalysisResult& merged, const AnalysisResult& one) {
  ASSERT_EQ(merged.lag, one.lag);
  ASSERT_EQ(merged.pairs, one.pairs);
  const auto a = result_columns(merged), b = result_columns(one);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t c = 0; c < a.size(); ++c) {
    ASSERT_EQ(a[c].first, b[c].first);
    const bool scattering = a[c].first.rfind("isf", 0) == 0;
    for (std::size_t r = 0; r < one.rows(); ++r) {
      const double want = (*b[c].second)[r], got = (*a[c].second)[r];
      if (std::isnan(want)) {
        ASSERT_TRUE(std::isnan(got)) << a[c].first << " lag " << one.lag[r];
      } else {
        ASSERT_NEAR(got, want, 1e-12 * (scattering ? 1.0 : std::max(1.0, std::fabs(want)))) << a[c].first << " lag " << one.lag[r];
      }
    }
  }
}

TEST(LagSums, ShardsMergedInAnyOrderGiveTheTableOfOneCall) {
  const Records shards[] = {walks(7, 0, 1), walks(5, 100, 2), walks(9, 200, 3)};
  Records all;
  for (const Records& s : shards) {
    all.x.insert(all.x.end(), s.x.begin(), s.x.end()), all.y.insert(all.y.end(), s.y.begin(), s.y.end());
    all.frame.insert(all.frame.end(), s.frame.begin(), s.frame.end());
    all.particle.insert(all.particle.end(), s.particle.begin(), s.particle.end());
  }
  for (const Method method : {Method::kFast, Method::kOrdered, Method::kExact}) {
    for (const PairRule rule : {PairRule::kAllPairs, PairRule::kWindow}) {
      AnalysisOptions options{.pairs = rule, .lags = LagRequest::log_spaced(40, 400), .wave_numbers = {0.3, 2.0},
                              .method = method};
      const AnalysisResult one = analyse(all.data(), options);
      expect_same_table(finish(lag_sums(all.data(), options)), one);  // one shard: the same bits
      for (const auto& order : {std::array{0, 1, 2}, std::array{2, 0, 1}}) {
        LagSums merged = lag_sums(shards[order[0]].data(), options);
        for (int k = 1; k < 3; ++k) merge_into(merged, lag_sums(shards[order[k]].data(), options));
        expect_same_table(finish(merged), one);
        EXPECT_EQ(merged.particles.size(), 21u);
      }
    }
  }
  // Standard errors of particle groups: from merged sums as from one call,
  // wherever at least 20 particles have pairs; NaN from sums elsewhere.
  const AnalysisOptions with_errors{.lags = LagRequest::log_spaced(20, 200), .wave_numbers = {0.7}, .errors = true};
  const AnalysisResult one = analyse(all.data(), with_errors);
  LagSums merged = lag_sums(shards[2].data(), with_errors);
  for (const int k : {0, 1}) merge_into(merged, lag_sums(shards[k].data(), with_errors));
  const AnalysisResult pooled = finish(merged);
  long compared = 0;
  for (std::size_t r = 0; r < one.rows(); ++r) {
    const bool particles = pooled.errors.groups[r] >= 20;
    ASSERT_EQ(std::isnan(pooled.errors.msd[r]), !particles) << "lag " << one.lag[r];
    if (!particles) continue;
    ++compared;
    EXPECT_EQ(pooled.errors.groups[r], one.errors.groups[r]);
    for (const auto& [got, want] : {std::pair{pooled.errors.msd[r], one.errors.msd[r]},
                                    {pooled.errors.ngp[r], one.errors.ngp[r]},
                                    {pooled.errors.cos_x[0][r], one.errors.cos_x[0][r]},
                                    {pooled.errors.cos_r[0][r], one.errors.cos_r[0][r]}}) {
      EXPECT_NEAR(got, want, 1e-9 * want) << "lag " << one.lag[r];
    }
  }
  EXPECT_GT(compared, 5);
  LagSums plain = lag_sums(shards[0].data(), {.lags = LagRequest::log_spaced(20, 200), .wave_numbers = {0.7}});
  EXPECT_THROW(merge_into(plain, lag_sums(shards[1].data(), with_errors)), AnalysisError);
  const LagSums only_msd = lag_sums(all.data(), {.lags = LagRequest::up_to(50), .quantities = {true, false, false, false, false, false, false}});
  EXPECT_EQ(finish(only_msd).msd, analyse(all.data(), {.lags = LagRequest::up_to(50), .quantities = {true, false, false, false, false, false, false}}).msd);
}

TEST(LagSums, SumsOfDifferentThingsOrSharedParticlesAreRefused) {
  const Records a = walks(4, 0, 5), b = walks(4, 10, 6);
  const AnalysisOptions base{.lags = LagRequest::up_to(30), .wave_numbers = {1.0}};
  struct Case {
    const char* name;
    AnalysisOptions other;
    const Records* records;
    const char* message;
  };
  AnalysisOptions other_lags = base, other_q = base, other_rule = base;
  other_lags.lags = LagRequest::up_to(31);
  other_q.wave_numbers = {1.5};
  other_rule.pairs = PairRule::kWindow;
  const Case cases[] = {{"lags", other_lags, &b, "the sums differ in lags (row 31: no more lags against lag 31"},
                        {"wave numbers", other_q, &b, "the sums differ in wave numbers"},
                        {"estimator", other_rule, &b, "the sums differ in estimator"},
                        {"a shared particle", base, &a, "' is in both a.sums and b.sums"}};
  for (const Case& c : cases) {
    LagSums into = lag_sums(a.data(), base);
    into.sources = {"a.sums"};
    LagSums other = lag_sums(c.records->data(), c.other);
    other.sources = {"b.sums"};
    try {
      merge_into(into, other);
      ADD_FAILURE() << c.name << ": merged";
    } catch (const AnalysisError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << c.name << ": " << error.what();
    }
  }
  EXPECT_EQ(particle_key("007"), particle_key("7"));  // whole numbers by their digits
  EXPECT_NE(particle_key("5"), particle_key("c5"));
}

TEST(PerParticle, RowsAreOneCallPerParticle) {
  const Records flat = walks(12, 40, 9);
  // The same walks in three dimensions, with the per-axis columns.
  Records deep = flat;
  for (std::size_t i = 0; i < flat.x.size(); ++i) deep.z.push_back(0.5 * flat.x[i] - flat.y[i]);
  Quantities field;
  field.msd_axes = field.mean_axes = field.msd_centered = field.alpha2 = true;
  for (const auto& [rule, three] : {std::pair{PairRule::kAllPairs, false}, {PairRule::kPerTrajectory, false},
                                   {PairRule::kAllPairs, true}}) {
    const Records& all = three ? deep : flat;
    const AnalysisOptions options{.pairs = rule, .lags = LagRequest::log_spaced(30, 200), .wave_numbers = {0.5, 3.0},
                                  .method = Method::kOrdered, .quantities = three ? field : Quantities{}, .threads = 2};
    AnalysisOptions per = options;
    per.per_particle = true;
    const AnalysisResult rows = analyse(all.data(), per);
    per.threads = 1;  // the same rows on the calling thread alone
    const AnalysisResult alone_thread = analyse(all.data(), per);
    ASSERT_EQ(alone_thread.particle, rows.particle);
    ASSERT_EQ(alone_thread.msd, rows.msd);
    std::size_t at = 0;
    for (std::int64_t id = 40; id < 52; ++id) {
      Records one;
      for (std::size_t i = 0; i < all.x.size(); ++i) {
        if (all.particle[i] != id) continue;
        one.x.push_back(all.x[i]), one.y.push_back(all.y[i]), one.frame.push_back(all.frame[i]);
        if (three) one.z.push_back(all.z[i]);
      }
      const AnalysisResult alone = analyse(one.data(), options);
      for (std::size_t r = 0; r < alone.rows(); ++r) {
        if (alone.pairs[r] == 0) continue;
        ASSERT_LT(at, rows.rows());
        ASSERT_EQ(rows.particle[at], id);
        ASSERT_EQ(rows.lag[at], alone.lag[r]);
        ASSERT_EQ(rows.pairs[at], alone.pairs[r]);
        const auto a = result_columns(rows), b = result_columns(alone);
        for (std::size_t c = 0; c < a.size(); ++c) {
          const double want = (*b[c].second)[r], got = (*a[c].second)[at];
          ASSERT_TRUE(got == want || (std::isnan(got) && std::isnan(want)) ||
                      std::fabs(got - want) < 1e-12 * std::max(1.0, std::fabs(want)))
              << a[c].first << " particle " << id << " lag " << alone.lag[r] << ": " << got << " vs " << want;
        }
        ++at;
      }
    }
    EXPECT_EQ(at, rows.rows());
    EXPECT_EQ(rows.cos_z.empty(), !three);
    EXPECT_EQ(rows.alpha2.empty(), !three);
  }
}

}  // namespace
}  // namespace msdisf
