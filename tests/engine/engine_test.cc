// The analysis engine against a plain statement of its definition: per lag,
// each particle's pairs (frame difference = lag) in origin order, particle
// moment sums pooled in particle order, scattering terms summed pair by pair.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <random>

#include "engine/analysis.h"
#include "engine/lag_selection.h"
#include "tests/engine/records.h"

namespace msdisf {
namespace {

using testing::Records;

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// The definition, written for clarity rather than speed.
AnalysisResult reference(const Records& in, PairRule rule, const std::vector<long>& lags,
                         const std::vector<double>& waves) {
  std::map<std::int64_t, std::vector<std::size_t>> by_particle;
  for (std::size_t i = 0; i < in.x.size(); ++i) by_particle[in.particle.empty() ? 0 : in.particle[i]].push_back(i);
  for (auto& [id, rows] : by_particle) {
    std::sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) { return in.frame[a] < in.frame[b]; });
    if (rule == PairRule::kWindow && !rows.empty()) rows.erase(rows.begin());
    if (rule == PairRule::kPerTrajectory && !rows.empty()) rows.pop_back();
  }
  const std::size_t nq = waves.size(), rows = lags.size();
  std::vector<double> s1(rows), s2(rows), s3(rows), s4(rows);
  std::vector<long> n(rows);
  std::vector<double> sc[6];
  for (auto& g : sc) g.assign(nq * rows, 0.0);
  for (const auto& [id, members] : by_particle) {
    std::vector<double> p1(rows), p2(rows), p3(rows), p4(rows);
    for (std::size_t i = 0; i < members.size(); ++i) {
      for (std::size_t j = i + 1; j < members.size(); ++j) {
        const std::size_t a = members[i], b = members[j];
        const auto at = std::lower_bound(lags.begin(), lags.end(), in.frame[b] - in.frame[a]);
        if (at == lags.end() || *at != in.frame[b] - in.frame[a]) continue;
        if (std::isnan(in.x[a]) || std::isnan(in.y[a]) || std::isnan(in.x[b]) || std::isnan(in.y[b])) continue;
        const auto k = static_cast<std::size_t>(at - lags.begin());
        const double dx = in.x[b] - in.x[a], dy = in.y[b] - in.y[a];
        p2[k] = (dx * dx + dy * dy) + p2[k];
        ++n[k];
        p1[k] = p1[k] + (dx + dy);
        p3[k] = (dx * dx * dx + dy * dy * dy) + p3[k];
        p4[k] = (dx * dx * dx * dx + dy * dy * dy * dy) + p4[k];
        for (std::size_t m = 0; m < nq; ++m) {
          const double q = waves[m];
          const double args[3] = {dx * q, dy * q, q * (dx + dy)};
          for (int d = 0; d < 3; ++d) {
            sc[d][m * rows + k] += std::cos(args[d]);
            sc[d + 3][m * rows + k] += std::sin(args[d]);
          }
        }
      }
    }
    for (std::size_t k = 0; k < rows; ++k) {
      s1[k] = s1[k] + p1[k];
      s2[k] = s2[k] + p2[k];
      s3[k] = s3[k] + p3[k];
      s4[k] = s4[k] + p4[k];
    }
  }
  AnalysisResult r;
  r.lag = lags;
  r.wave_numbers = waves;
  const auto groups = std::array{&r.cos_x, &r.cos_y, &r.cos_r, &r.sin_x, &r.sin_y, &r.sin_r};
  for (auto* g : groups) g->assign(nq, {});
  for (std::size_t k = 0; k < rows; ++k) {
    const double D = static_cast<double>(n[k]);
    r.pairs.push_back(n[k]);
    r.msd.push_back(s2[k] / D);
    r.md.push_back(s1[k] / D);
    r.mcd.push_back(s3[k] / D);
    r.mqd.push_back(s4[k] / D);
    r.ngp.push_back((2.0 / 3.0) * r.mqd.back() / (r.msd.back() * r.msd.back()) - 1.0);
    r.skewness.push_back(r.mcd.back() - (r.msd.back() * 3.0) * r.md.back() +
                         ((r.md.back() + r.md.back()) * r.md.back()) * r.md.back());
    for (int g = 0; g < 6; ++g) {
      for (std::size_t m = 0; m < nq; ++m) (*groups[static_cast<std::size_t>(g)])[m].push_back(sc[g][m * rows + k] / D);
    }
  }
  return r;
}

void expect_matches(const AnalysisResult& got, const AnalysisResult& want, const std::string& what) {
  ASSERT_EQ(got.lag, want.lag) << what;
  ASSERT_EQ(got.pairs, want.pairs) << what;
  for (std::size_t r = 0; r < want.rows(); ++r) {
    const double got_m[] = {got.msd[r], got.md[r], got.mcd[r], got.mqd[r], got.ngp[r], got.skewness[r]};
    const double want_m[] = {want.msd[r], want.md[r], want.mcd[r], want.mqd[r], want.ngp[r], want.skewness[r]};
    for (int c = 0; c < 6; ++c) ASSERT_PRED2(same_bits, got_m[c], want_m[c]) << what << " lag " << want.lag[r];
    const auto gg = std::array{&got.cos_x, &got.cos_y, &got.cos_r, &got.sin_x, &got.sin_y, &got.sin_r};
    const auto wg = std::array{&want.cos_x, &want.cos_y, &want.cos_r, &want.sin_x, &want.sin_y, &want.sin_r};
    for (int g = 0; g < 6; ++g) {
      for (std::size_t m = 0; m < want.wave_numbers.size(); ++m) {
        const double a = (*gg[g])[m][r], b = (*wg[g])[m][r];
        if (std::isnan(b)) {
          ASSERT_TRUE(std::isnan(a)) << what;
        } else {
          ASSERT_NEAR(a, b, 1e-9) << what << " group " << g << " q " << m << " lag " << want.lag[r];
        }
      }
    }
  }
}

// Particles of random lengths, random missing positions and frame gaps (some
// huge), offset by `offset`, rows shuffled.
Records random_particles(std::mt19937_64& random, int particles, long longest, double offset, bool huge_jumps) {
  Records in;
  std::uniform_int_distribution<long> length(1, longest);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> step(0.0, 3.0);
  for (int p = 0; p < particles; ++p) {
    const long n = length(random);
    std::int64_t frame = static_cast<std::int64_t>(unit(random) * 50) - 20;
    double x = offset + 100.0 * p, y = -offset;
    for (long i = 0; i < n; ++i) {
      frame += unit(random) < 0.1 ? 2 + static_cast<std::int64_t>(unit(random) * 3) : 1;
      if (huge_jumps && unit(random) < 0.05) frame += 1000000;
      x += step(random);
      y += step(random);
      const bool missing = unit(random) < 0.08;
      in.x.push_back(missing ? NAN : x);
      in.y.push_back(y);
      in.frame.push_back(frame);
      in.particle.push_back(p * 7 - 30);
    }
  }
  std::vector<std::size_t> order(in.x.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), random);
  Records out;
  for (const std::size_t i : order) {
    out.x.push_back(in.x[i]);
    out.y.push_back(in.y[i]);
    out.frame.push_back(in.frame[i]);
    out.particle.push_back(in.particle[i]);
  }
  return out;
}

TEST(Engine, MatchesThePlainDefinition) {
  struct Case {
    const char* name;
    int particles;
    long longest;
    double offset;
    bool huge_jumps;
    PairRule rule;
    LagRequest lags;
    std::vector<double> waves;
  };
  const Case cases[] = {
      {"one long particle, all lags", 1, 1500, 0.0, false, PairRule::kAllPairs, LagRequest::all(), {}},
      {"many particles, all lags", 40, 60, 50.0, false, PairRule::kAllPairs, LagRequest::all(), {}},
      {"window rule", 5, 300, 0.0, false, PairRule::kWindow, LagRequest::up_to(120), {0.3, 2.0}},
      {"per-trajectory rule", 25, 80, 0.0, false, PairRule::kPerTrajectory, LagRequest::all(), {}},
      {"log lags", 3, 2000, 0.0, false, PairRule::kAllPairs, LagRequest::log_spaced(30), {}},
      {"explicit list past the span",
       6,
       200,
       0.0,
       false,
       PairRule::kAllPairs,
       LagRequest::list({9, 1, 3, 400, 3}),
       {1.0}},
      {"huge frame jumps",
       8,
       120,
       0.0,
       true,
       PairRule::kAllPairs,
       LagRequest::list({1, 2, 3, 1000000, 1000001, 2000002}),
       {}},
      {"offset 1e6", 4, 700, 1e6, false, PairRule::kAllPairs, LagRequest::log_spaced(40), {}},
      {"offset 1e12", 4, 700, 1e12, false, PairRule::kAllPairs, LagRequest::log_spaced(40), {}},
      {"offset 1e17", 2, 700, 1e17, false, PairRule::kAllPairs, LagRequest::up_to(50), {0.2, 7.0}},
      {"wide wave numbers", 2, 600, 0.0, false, PairRule::kAllPairs, LagRequest::log_spaced(20), {1e-6, 1e4, -3.0}},
      // One or two lags go through the plain loop rather than the lane kernel.
      {"one lag", 3, 900, 1e3, false, PairRule::kAllPairs, LagRequest::list({7}), {}},
      {"two lags", 3, 900, 0.0, false, PairRule::kAllPairs, LagRequest::list({2, 500}), {0.5}},
      // Lags with thousands of origins fewer than the first get blocks of their own.
      {"lags thousands apart",
       4,
       9000,
       0.0,
       false,
       PairRule::kAllPairs,
       LagRequest::list({1, 2, 3, 5000, 5001, 6000, 7000}),
       {}},
  };
  std::mt19937_64 random(42);
  for (const Case& c : cases) {
    const Records in = random_particles(random, c.particles, c.longest, c.offset, c.huge_jumps);
    AnalysisOptions options;
    options.pairs = c.rule;
    options.lags = c.lags;
    options.wave_numbers = c.waves;
    const AnalysisResult first = analyse(in.data(), {.pairs = c.rule, .lags = c.lags, .wave_numbers = c.waves});
    const std::vector<double> waves = first.wave_numbers;
    const AnalysisResult want = reference(in, c.rule, first.lag, waves);
    for (const Method method : {Method::kOrdered, Method::kExact}) {
      for (const int threads : {1, 2}) {
        options.method = method;
        options.threads = threads;
        expect_matches(
            analyse(in.data(), options), want,
            std::string(c.name) + (method == Method::kOrdered ? " fast " : " exact ") + std::to_string(threads));
      }
    }
  }
}

TEST(Engine, LagSelection) {
  const std::vector<long> log = detail::log_spaced_lags(200, 10000000);
  EXPECT_EQ(log.size(), 200u);
  EXPECT_EQ(log.front(), 1);
  EXPECT_EQ(log.back(), 10000000);
  EXPECT_TRUE(std::adjacent_find(log.begin(), log.end(), std::greater_equal<long>()) == log.end());
  EXPECT_EQ(detail::log_spaced_lags(10, 5), (std::vector<long>{1, 2, 3, 4, 5}));
  EXPECT_EQ(detail::log_spaced_lags(4, 1000), (std::vector<long>{1, 10, 100, 1000}));
  EXPECT_EQ(detail::select_lags(LagRequest::up_to(50), 20).size(), 20u);
  EXPECT_THROW(detail::select_lags(LagRequest::list({3, 0}), 20), AnalysisError);
}

AnalysisError::Kind error_kind(const Records& in, const AnalysisOptions& options = {}) {
  try {
    analyse(in.data(), options);
  } catch (const AnalysisError& error) {
    return error.kind;
  }
  ADD_FAILURE() << "no error";
  return AnalysisError::Kind::kCancelled;
}

TEST(Engine, RefusesWhatItCannotDo) {
  using Kind = AnalysisError::Kind;
  Records repeated{{1, 2, 3}, {0, 0, 0}, {5, 6, 5}, {1, 1, 1}};
  try {
    analyse(repeated.data());
    FAIL();
  } catch (const AnalysisError& error) {
    EXPECT_EQ(error.kind, Kind::kInvalidInput);
    EXPECT_EQ(error.record, 0);
    EXPECT_EQ(error.other_record, 2);
    EXPECT_STREQ(error.what(), "records 0 and 2 both hold particle 1 at frame 5");
  }
  const std::int64_t huge = std::int64_t{1} << 50;  // ids too spread for the counting sort
  EXPECT_EQ(error_kind({{1, 2, 3}, {0, 0, 0}, {5, 6, 5}, {huge, 0, huge}}), Kind::kInvalidInput);
  EXPECT_EQ(error_kind({{1, 2}, {0}, {1, 2}, {}}), Kind::kInvalidInput);
  EXPECT_EQ(error_kind({{1, INFINITY}, {0, 0}, {1, 2}, {}}), Kind::kInvalidInput);
  const Records sparse{{0, 1, 2}, {0, 0, 0}, {1, 2, 20000002}, {}};
  EXPECT_EQ(error_kind(sparse), Kind::kTooLarge);  // 2*10^7 rows
  const AnalysisResult cheap = analyse(sparse.data(), {.lags = LagRequest::log_spaced(100)});
  EXPECT_EQ(cheap.pairs[0], 1);
  EXPECT_EQ(cheap.pairs.back(), 1);
  EXPECT_EQ(error_kind(sparse, {.lags = LagRequest::list({0})}), Kind::kInvalidOptions);
  const Records far{{0, 1, 1}, {0, 0, 0}, {0, 1, std::int64_t{1} << 62}, {}};
  EXPECT_EQ(error_kind(far), Kind::kTooLarge);
  EXPECT_EQ(error_kind(far, {.lags = LagRequest::list({(long{1} << 62) + 1})}), Kind::kInvalidOptions);
  EXPECT_EQ(analyse(far.data(), {.lags = LagRequest::log_spaced(10)}).pairs.back(), 1);
  EXPECT_EQ(error_kind(sparse, {.threads = -1}), Kind::kInvalidOptions);
  EXPECT_EQ(error_kind(sparse, {.lags = LagRequest::up_to(5), .cancelled = [] { return true; }}), Kind::kCancelled);
  const AnalysisResult capped = analyse(sparse.data(), {.lags = LagRequest::up_to(5), .threads = 100000});
  ASSERT_EQ(capped.notes.size(), 1u);
  EXPECT_NE(capped.notes[0].find("asked for 100000"), std::string::npos);
  EXPECT_EQ(analyse(Records{}.data()).rows(), 0u);
}

TEST(Engine, MemoryExhaustionIsAnError) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than any limit would leave";
#endif
  // In a child whose address space is too small for the work arrays.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Records in;
    for (long i = 0; i < 1000000; ++i) {
      in.x.push_back(std::sin(0.001 * static_cast<double>(i)));
      in.y.push_back(0.0);
      in.frame.push_back(i);
    }
    // Room for the grid and a transform buffer, not for planning the transform.
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    const auto room = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + (90L << 20));
    const rlimit limit{room, room};
    setrlimit(RLIMIT_AS, &limit);
    try {
      analyse(in.data(), {.lags = LagRequest::log_spaced(400), .threads = 1, .memory_limit = std::size_t{1} << 40});
    } catch (const AnalysisError& error) {
      _exit(error.kind == AnalysisError::Kind::kOutOfMemory ? 0 : 2);
    }
    _exit(3);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of a signal";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Engine, ProgressEndsAtOneAndTwoAnalysesRunAtOnce) {
  std::mt19937_64 random(5);
  const Records in = random_particles(random, 30, 400, 0.0, false);
  double last = 0.0;
  const AnalysisResult alone = analyse(in.data(), {.progress = [&last](double f) { last = f; }});
  EXPECT_DOUBLE_EQ(last, 1.0);
  // With standard errors the work they add is counted too: never past 1, never back.
  std::vector<double> seen;
  analyse(in.data(),
          {.lags = LagRequest::log_spaced(20), .errors = true, .progress = [&](double f) { seen.push_back(f); }});
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_DOUBLE_EQ(seen.back(), 1.0);
  EXPECT_LE(*std::max_element(seen.begin(), seen.end()), 1.0);
  Records spread = in;  // the same particles under ids far apart: the same result
  for (auto& id : spread.particle) id = id * (std::int64_t{1} << 40) + 3;
  const AnalysisResult far_ids = analyse(spread.data());
  EXPECT_EQ(far_ids.pairs, alone.pairs);
  for (std::size_t r = 0; r < alone.rows(); ++r) EXPECT_PRED2(same_bits, far_ids.mqd[r], alone.mqd[r]);
  AnalysisResult a, b;
  std::thread other([&] { a = analyse(in.data()); });
  b = analyse(in.data());
  other.join();
  EXPECT_EQ(a.pairs, alone.pairs);
  EXPECT_EQ(b.msd.size(), alone.msd.size());
  for (std::size_t r = 0; r < alone.rows(); ++r) {
    EXPECT_PRED2(same_bits, a.msd[r], alone.msd[r]);
    EXPECT_PRED2(same_bits, b.mqd[r], alone.mqd[r]);
  }
}

}  // namespace
}  // namespace msdisf
