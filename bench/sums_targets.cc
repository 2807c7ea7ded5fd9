// In-process timings of the lag-sums path and of per-particle results.
//
//   sums_targets [-r REPS] [-t THREADS] [-v] [case ...]
//     default: every case, 7 repetitions, every processor; "=name" for one
//     case, a part of names for several; -v: each pair's laps on standard error
//
// "sums" cases: finish(lag_sums(data, options)) against analyse(data, options)
// on the same data and options (every column, the default wave numbers and
// method, every lag; every processor unless -t). After one untimed call of
// each, REPS pairs are timed back to back, the order inside a pair
// alternating (A B, B A, A B, ...) so that drift on the shared machine falls
// on both sides; each pair gives one ratio, sums + finish over analyse. The
// sums side is timed in three laps (lag_sums, finish, freeing the sums) whose
// sum is its time. The table gives the median and the smallest and largest of
// each, the laps' medians, and whether the two results agree bit for bit.
//
// "per-particle" cases: analyse with options.per_particle = true; the first
// call of the process (every page touched for the first time) and the median,
// smallest and largest of REPS later calls.
//
// Each case runs in a child process of its own, so that its peak memory is its
// own. Data: Brownian particles (D = 1) with 1 % of positions missing, rows
// sorted by frame with the particles interleaved, as in engine_targets.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_records.h"
#include "engine/analysis.h"
#include "engine/sums.h"

namespace {

using namespace msdisf;

using bench::brownian;
using bench::Records;
using bench::seconds_of;

struct Spread {
  double median, low, high;
};

Spread spread_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  const double median = n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
  return {median, values.front(), values.back()};
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double p, double q) {
           return std::bit_cast<std::uint64_t>(p) == std::bit_cast<std::uint64_t>(q);
         });
}

bool same_groups(const std::vector<std::vector<double>>& a, const std::vector<std::vector<double>>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t w = 0; w < a.size(); ++w) {
    if (!same_bits(a[w], b[w])) return false;
  }
  return true;
}

bool same_result(const AnalysisResult& a, const AnalysisResult& b) {
  return a.lag == b.lag && a.pairs == b.pairs && same_bits(a.msd, b.msd) && same_bits(a.mqd, b.mqd) &&
         same_bits(a.ngp, b.ngp) && same_bits(a.skewness, b.skewness) && same_bits(a.md, b.md) &&
         same_bits(a.mcd, b.mcd) && same_groups(a.cos_x, b.cos_x) && same_groups(a.cos_y, b.cos_y) &&
         same_groups(a.cos_r, b.cos_r) && same_groups(a.sin_x, b.sin_x) && same_groups(a.sin_y, b.sin_y) &&
         same_groups(a.sin_r, b.sin_r);
}

double peak_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

enum class Kind { kSums, kPerParticle, kThreeDimensions };

struct Case {
  const char* name;
  Kind kind;
  long particles;
  long frames;
};

void run_sums(const Case& c, int reps, int threads, bool verbose) {
  const Records records = brownian(c.particles, c.frames);
  AnalysisOptions options;  // every column, default wave numbers and method, every lag
  options.threads = threads;
  AnalysisResult direct, summed;
  direct = analyse(records.data(), options);  // untimed: plans and buffers made once
  summed = finish(lag_sums(records.data(), options));
  const bool identical = same_result(direct, summed);
  const std::size_t rows = direct.rows();
  std::vector<double> a_times, b_times, ratios, sums_times, finish_times, free_times;
  for (int i = 0; i < reps; ++i) {
    direct = AnalysisResult();
    summed = AnalysisResult();
    const auto time_a = [&] { return seconds_of([&] { direct = analyse(records.data(), options); }); };
    // finish(lag_sums(...)) in three laps: the sums, the table (taking the
    // sums' columns over, as finish(lag_sums(...)) does), freeing the rest.
    const auto time_b = [&] {
      LagSums sums;
      const double made = seconds_of([&] { sums = lag_sums(records.data(), options); });
      const double finished = seconds_of([&] { summed = finish(std::move(sums)); });
      const double freed = seconds_of([&] { sums = LagSums(); });
      sums_times.push_back(made);
      finish_times.push_back(finished);
      free_times.push_back(freed);
      return made + finished + freed;
    };
    double a = 0.0, b = 0.0;
    if (i % 2 == 0) {
      a = time_a();
      b = time_b();
    } else {
      b = time_b();
      a = time_a();
    }
    a_times.push_back(a);
    b_times.push_back(b);
    ratios.push_back(b / a);
    if (verbose) {
      std::fprintf(stderr, "%s, pair %d (%s first): analyse %.3f, lag_sums %.3f + finish %.3f + freeing %.3f\n", c.name,
                   i + 1, i % 2 == 0 ? "analyse" : "sums", a, sums_times.back(), finish_times.back(),
                   free_times.back());
    }
  }
  const Spread a = spread_of(a_times), b = spread_of(b_times), r = spread_of(ratios);
  std::printf(
      "| %s | %zu | %.3f (%.3f–%.3f) | %.3f (%.3f–%.3f) | %.3f (%.3f–%.3f) | %.3f / %.3f / %.3f | %s | %.0f |\n",
      c.name, rows, a.median, a.low, a.high, b.median, b.low, b.high, r.median, r.low, r.high,
      spread_of(sums_times).median, spread_of(finish_times).median, spread_of(free_times).median,
      identical ? "yes" : "NO", peak_mib());
  std::fflush(stdout);
}

void run_per_particle(const Case& c, int reps, int threads) {
  const Records records = brownian(c.particles, c.frames);
  AnalysisOptions options;
  options.per_particle = true;
  options.threads = threads;
  AnalysisResult result;
  const double first = seconds_of([&] { result = analyse(records.data(), options); });
  const std::size_t rows = result.rows();
  std::vector<double> times;
  for (int i = 0; i < reps; ++i) {
    result = AnalysisResult();
    times.push_back(seconds_of([&] { result = analyse(records.data(), options); }));
  }
  const Spread t = spread_of(times);
  std::printf("| %s | %zu | %.3f | %.3f (%.3f–%.3f) | %.0f |\n", c.name, rows, first, t.median, t.low, t.high,
              peak_mib());
  std::fflush(stdout);
}

// analyse of the walks with a third axis against the same walks in two,
// paired and alternating in order.
void run_three_dimensions(const Case& c, int reps, int threads) {
  const Records flat = brownian(c.particles, c.frames);
  Records deep = flat;
  std::mt19937_64 random(11);
  std::normal_distribution<double> step(0.0, std::sqrt(2.0));
  double z = 1000.0;
  for (std::size_t i = 0; i < flat.x.size(); ++i) deep.z.push_back(std::isnan(flat.x[i]) ? NAN : (z += step(random)));
  AnalysisOptions options;
  options.threads = threads;
  AnalysisResult result = analyse(deep.data(), options);  // untimed: plans and buffers made once
  result = analyse(flat.data(), options);
  std::vector<double> two, three, ratios;
  for (int i = 0; i < reps; ++i) {
    const auto time_of = [&](const Records& r) {
      return seconds_of([&] { result = analyse(r.data(), options); });
    };
    const double a = i % 2 == 0 ? time_of(flat) : 0.0;
    const double b = time_of(deep);
    const double a2 = i % 2 == 0 ? a : time_of(flat);
    two.push_back(a2), three.push_back(b), ratios.push_back(b / a2);
  }
  const Spread a = spread_of(two), b = spread_of(three), r = spread_of(ratios);
  std::printf("| %s | %zu | %.3f (%.3f–%.3f) | %.3f (%.3f–%.3f) | %.3f (%.3f–%.3f) | %.0f |\n", c.name,
              result.rows(), a.median, a.low, a.high, b.median, b.low, b.high, r.median, r.low, r.high, peak_mib());
  std::fflush(stdout);
}

bool wanted(const Case& c, const std::vector<const char*>& filters) {
  if (filters.empty()) return true;
  for (const char* f : filters) {
    if (f[0] == '=' ? std::strcmp(c.name, f + 1) == 0 : std::strstr(c.name, f) != nullptr) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 7;
  bool verbose = false;
  int threads = 0;
  std::vector<const char*> filters;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-v") == 0) {
      verbose = true;
    } else if (std::strcmp(argv[i], "-t") == 0 && i + 1 < argc) {
      threads = std::max(0, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else {
      filters.push_back(argv[i]);
    }
  }
  const Case cases[] = {
      {"sums: 1e5 frames", Kind::kSums, 1, 100000},
      {"sums: 1e6 frames", Kind::kSums, 1, 1000000},
      {"sums: 1000 particles x 1000 frames", Kind::kSums, 1000, 1000},
      {"sums: 20000 particles x 100 frames", Kind::kSums, 20000, 100},
      {"per-particle: 20000 particles x 100 frames", Kind::kPerParticle, 20000, 100},
      {"per-particle: 1000 particles x 1000 frames", Kind::kPerParticle, 1000, 1000},
      {"3D: 1e6 frames", Kind::kThreeDimensions, 1, 1000000},
  };
  std::printf("%d repetitions; every lag, every column, default method and wave numbers; threads: %s\n\n", reps,
              threads == 0 ? "every processor" : std::to_string(threads).c_str());
  Kind header_for = Kind::kPerParticle;
  bool first_header = true;
  for (const Case& c : cases) {
    if (!wanted(c, filters)) continue;
    if (first_header || c.kind != header_for) {
      const char* header =
          c.kind == Kind::kSums
              ? "%s| case | rows | analyse s: median (min–max) | lag_sums + finish s: median (min–max) | "
                "ratio: median (min–max) | medians: lag_sums / finish / freeing the sums | identical | peak "
                "RSS (MiB) |\n"
                "|---|---|---|---|---|---|---|---|\n"
              : c.kind == Kind::kPerParticle
                    ? "%s| case | rows | first call s | later calls s: median (min–max) | peak RSS (MiB) |\n"
                      "|---|---|---|---|---|\n"
                    : "%s| case | rows | 2D analyse s: median (min–max) | 3D analyse s: median (min–max) | "
                      "ratio 3D / 2D: median (min–max) | peak RSS (MiB) |\n"
                      "|---|---|---|---|---|---|\n";
      std::printf(header, first_header ? "" : "\n");
      header_for = c.kind;
      first_header = false;
    }
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      if (c.kind == Kind::kSums) {
        run_sums(c, reps, threads, verbose);
      } else if (c.kind == Kind::kThreeDimensions) {
        run_three_dimensions(c, reps, threads);
      } else {
        run_per_particle(c, reps, threads);
      }
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("| %s | failed (status %d) |\n", c.name, status);
  }
}
