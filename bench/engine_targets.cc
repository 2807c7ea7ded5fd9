// Whole-engine timings for the sizes users bring: one long trajectory with
// log-spaced lags, many short trajectories, and every lag of a medium one.
// Each case runs in a child process so that its peak memory is its own.
//   engine_targets [case ...]   (default: every case; "=name" for one, a part of names for several)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_records.h"
#include "engine/analysis.h"

namespace {

using namespace msdisf;

using bench::brownian;
using bench::Records;
using bench::seconds_of;

struct Case {
  const char* name;
  long particles;
  long frames;
  LagRequest lags;
  Method method;
  int threads;
};

void run_case(const Case& c) {
  const Records records = brownian(c.particles, c.frames);
  AnalysisResult result;
  const double seconds = seconds_of([&] {
    result = analyse(records.data(), {.lags = c.lags, .method = c.method, .threads = c.threads});
  });
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("| %s | %.3f | %zu | %.0f |\n", c.name, seconds, result.rows(),
              static_cast<double>(usage.ru_maxrss) / 1024.0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const Case cases[] = {
      {"1e7 frames, 200 log lags", 1, 10000000, LagRequest::log_spaced(200), Method::kFast, 0},
      {"20000 particles x 100 frames, all lags", 20000, 100, LagRequest::all(), Method::kFast, 0},
      {"20000 particles x 100 frames, all lags, ordered", 20000, 100, LagRequest::all(), Method::kOrdered, 0},
      {"1000 particles x 1000 frames, all lags", 1000, 1000, LagRequest::all(), Method::kFast, 0},
      {"1000 particles x 1000 frames, all lags, ordered", 1000, 1000, LagRequest::all(), Method::kOrdered, 0},
      {"1e5 frames, all lags", 1, 100000, LagRequest::all(), Method::kFast, 0},
      {"1e5 frames, all lags, ordered", 1, 100000, LagRequest::all(), Method::kOrdered, 0},
      {"1e5 frames, all lags, 1 thread", 1, 100000, LagRequest::all(), Method::kFast, 1},
      {"1e6 frames, all lags", 1, 1000000, LagRequest::all(), Method::kFast, 0},
      {"1e4 frames, all lags, plain kernel, 1 thread", 1, 10000, LagRequest::all(), Method::kExact, 1},
      {"1e4 frames, all lags", 1, 10000, LagRequest::all(), Method::kFast, 0},
  };
  std::printf("| case | seconds | rows | peak RSS (MiB) |\n|---|---|---|---|\n");
  for (const Case& c : cases) {
    bool wanted = argc == 1;
    for (int i = 1; i < argc; ++i) {
      // "=name" picks one case by its whole name, anything else by a part.
      wanted = wanted || (argv[i][0] == '=' ? std::strcmp(c.name, argv[i] + 1) == 0
                                            : std::strstr(c.name, argv[i]) != nullptr);
    }
    if (!wanted) continue;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      run_case(c);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
  }
}
