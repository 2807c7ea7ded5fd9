// Throughput of the hot kernels: pairs per second of the plain pair kernel,
// the lane-per-lag moment kernel and the whole fast estimator; entries per
// second of the FFT scattering correlation; bytes per second of reading and
// writing. Sizes are swept so the complexity fit shows the growth.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "engine/analysis.h"
#include "engine/moment_kernel.h"
#include "job_table/estimators/single_trajectory_estimators.h"
#include "job_table/input/trajectory_readers.h"
#include "job_table/output/result_table.h"

namespace {

using namespace msdisf;

// A Brownian trajectory of n entries with 1 % gap markers, in a state.
std::unique_ptr<AnalysisState> brownian_state(long n) {
  auto state = std::make_unique<AnalysisState>(n + 2);
  std::mt19937_64 random(1);
  std::normal_distribution<double> step(0.0, 2.0);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  double x = 1000.0;
  double y = 1000.0;
  for (long i = 0; i < n; ++i) {
    x += step(random);
    y += step(random);
    const bool gap = uniform(random) < 0.01;
    state->X[i] = gap ? NAN : x;
    state->Y[i] = gap ? NAN : y;
  }
  state->N = static_cast<int>(n);
  return state;
}

double window_pairs(long n) { return static_cast<double>(n - 1) * static_cast<double>(n - 2) / 2.0; }

void run_window(benchmark::State& bench, Method method) {
  const long n = bench.range(0);
  auto state = brownian_state(n);
  std::ostringstream sink;
  Console console{sink, sink};
  for (auto _ : bench) {
    state->N = static_cast<int>(n);
    calculate_isf_and_msd(*state, "/nonexistent/table", console, {.method = method, .threads = 1});
    sink.str("");
  }
  bench.SetItemsProcessed(static_cast<int64_t>(bench.iterations() * window_pairs(n)));
  bench.SetComplexityN(n);
}

void BM_ExactWindowOneThread(benchmark::State& bench) { run_window(bench, Method::kExact); }
BENCHMARK(BM_ExactWindowOneThread)
    ->RangeMultiplier(2)
    ->Range(256, 1024)
    ->Complexity(benchmark::oNSquared)
    ->Unit(benchmark::kMillisecond);

void BM_FastWindowOneThread(benchmark::State& bench) { run_window(bench, Method::kOrdered); }
BENCHMARK(BM_FastWindowOneThread)
    ->RangeMultiplier(4)
    ->Range(1024, 65536)
    ->Complexity(benchmark::oNSquared)
    ->Unit(benchmark::kMillisecond);

void BM_MomentKernel(benchmark::State& bench) {
  const long n = bench.range(0);
  auto state = brownian_state(n);
  const detail::PaddedRange range(state->X, state->Y, n);
  std::vector<detail::LagMoments> sums(static_cast<std::size_t>(n));
  for (auto _ : bench) {
    detail::lag_moment_sums(range, 1, n, sums.data(), 1);
    benchmark::DoNotOptimize(sums.data());
  }
  bench.SetItemsProcessed(static_cast<int64_t>(bench.iterations() * window_pairs(n + 1)));
  bench.SetComplexityN(n);
}
BENCHMARK(BM_MomentKernel)
    ->RangeMultiplier(4)
    ->Range(1024, 65536)
    ->Complexity(benchmark::oNSquared)
    ->Unit(benchmark::kMillisecond);

// The whole engine on one trajectory, every lag and column.
void BM_EngineAllLags(benchmark::State& bench) {
  const long n = bench.range(0);
  auto state = brownian_state(n);
  std::vector<std::int64_t> frames(static_cast<std::size_t>(n));
  for (long i = 0; i < n; ++i) frames[static_cast<std::size_t>(i)] = i;
  const TrajectoryData data{{state->X, static_cast<std::size_t>(n)}, {state->Y, static_cast<std::size_t>(n)}, frames, {}};
  AnalysisOptions options;
  options.threads = 1;
  for (auto _ : bench) benchmark::DoNotOptimize(analyse(data, options).msd.data());
  bench.SetItemsProcessed(static_cast<int64_t>(bench.iterations() * n));
  bench.SetComplexityN(n);
}
BENCHMARK(BM_EngineAllLags)
    ->RangeMultiplier(4)
    ->Range(1024, 65536)
    ->Complexity(benchmark::oNSquared)
    ->Unit(benchmark::kMillisecond);

void BM_ReadSingleTrajectory(benchmark::State& bench) {
  const long lines = bench.range(0);
  const std::string path = (std::filesystem::temp_directory_path() / "msdisf_bench_input.dat").string();
  {
    std::ofstream out(path);
    std::mt19937_64 random(2);
    std::normal_distribution<double> normal(0.0, 100.0);
    for (long frame = 1; frame <= lines; ++frame) {
      char line[96];
      std::snprintf(line, sizeof line, "%.5f %.5f %ld\n", 500 + normal(random), 500 + normal(random), frame);
      out << line;
    }
  }
  AnalysisState state(lines + 2);
  state.RANK = 2;
  std::ostringstream sink;
  Console console{sink, sink};
  for (auto _ : bench) {
    benchmark::DoNotOptimize(read_simulation_data(state, path, console));
    sink.str("");
  }
  bench.SetBytesProcessed(static_cast<int64_t>(bench.iterations()) *
                          static_cast<int64_t>(std::filesystem::file_size(path)));
  std::filesystem::remove(path);
}
BENCHMARK(BM_ReadSingleTrajectory)->Arg(1 << 18)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_WriteResultTable(benchmark::State& bench) {
  const long rows = bench.range(0);
  auto state = brownian_state(rows + 1);
  std::ostringstream sink;
  Console console{sink, sink};
  calculate_isf_and_msd(*state, "/nonexistent/table", console, {.method = Method::kOrdered, .threads = 0});
  const std::string path = (std::filesystem::temp_directory_path() / "msdisf_bench_table.dat").string();
  for (auto _ : bench) benchmark::DoNotOptimize(print_data(*state, path, console));
  bench.SetBytesProcessed(static_cast<int64_t>(bench.iterations()) *
                          static_cast<int64_t>(std::filesystem::file_size(path)));
  std::filesystem::remove(path);
}
BENCHMARK(BM_WriteResultTable)->Arg(20000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
