// The time of the FFTs one analysis runs, against the analysis itself.
//
//   fft_floor FRAMES PARTICLES QUANTITIES [REPS]
//     QUANTITIES: a list as --quantities takes it (msd, msd,alpha2, job-table,
//     ...) or "default" for the front ends' default columns; REPS: 7
//
// Data: PARTICLES Brownian particles (D = 1) of FRAMES frames each, no gaps,
// every lag, the fast method, every processor, the OpenMP wait policy of the
// front ends. One untimed analysis counts
// the transforms the engine executes, by kind, size and whether in place:
// the program is linked with --wrap around FFTW's 1-d planners and new-array
// execute calls, so every plan the engine makes is known by its size and
// every execution is counted. The floor is those transforms executed again
// from the engine's own PlanCache (the same plans: same sizes, FFTW_ESTIMATE),
// one after another on one thread, divided by the processor count: the
// transforms' time if they were shared perfectly over every processor.
// REPS pairs then time one batch of the transforms and one analysis, the
// order inside a pair alternating; printed are the transforms, the medians
// of both and the median of the per-pair ratios analysis / floor.
//
// The transforms run on zeros: FFTW's arithmetic takes the same time
// whatever the values short of subnormal numbers, which zeros never produce,
// and the values neither grow nor overflow from one repetition to the next.
#include <fftw3.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bench/bench_records.h"
#include "cli/spin_briefly.h"
#include "engine/analysis.h"
#include "engine/fft_plans.h"
#include "engine/option_text.h"

namespace {

enum class Kind { kRealForward, kRealBackward, kComplexForward, kComplexBackward };

const char* name_of(Kind kind) {
  switch (kind) {
    case Kind::kRealForward:
      return "r2c";
    case Kind::kRealBackward:
      return "c2r";
    case Kind::kComplexForward:
      return "c2c-forward";
    case Kind::kComplexBackward:
      return "c2c-backward";
  }
  return "?";
}

struct Planned {
  Kind kind;
  long size;
};

// One kind of transform of one analysis, and how often it ran.
struct Transform {
  Kind kind;
  long size;
  bool in_place;
  long count;
};

// What the wrappers record: every plan made, and while counting, every
// execution by (kind, size, in place). Executions come from several threads.
struct Recorder {
  std::mutex lock;
  std::map<fftw_plan, Planned> plans;
  std::map<std::tuple<Kind, long, bool>, long> executed;
  std::atomic<bool> counting{false};

  void planned(fftw_plan plan, Kind kind, long size) {
    const std::lock_guard<std::mutex> guard(lock);
    if (plan != nullptr) plans[plan] = {kind, size};
  }
  void ran(fftw_plan plan, const void* in, const void* out) {
    if (!counting.load(std::memory_order_relaxed)) return;
    const std::lock_guard<std::mutex> guard(lock);
    const Planned& p = plans.at(plan);
    ++executed[{p.kind, p.size, in == out}];
  }
};

Recorder& recorder() {
  static Recorder r;
  return r;
}

}  // namespace

// The linker sends the engine's calls of these FFTW functions here
// (-Wl,--wrap=NAME); __real_NAME is FFTW's own.
extern "C" {
fftw_plan __real_fftw_plan_dft_1d(int n, fftw_complex* in, fftw_complex* out, int sign, unsigned flags);
fftw_plan __real_fftw_plan_dft_r2c_1d(int n, double* in, fftw_complex* out, unsigned flags);
fftw_plan __real_fftw_plan_dft_c2r_1d(int n, fftw_complex* in, double* out, unsigned flags);
void __real_fftw_execute_dft(const fftw_plan p, fftw_complex* in, fftw_complex* out);
void __real_fftw_execute_dft_r2c(const fftw_plan p, double* in, fftw_complex* out);
void __real_fftw_execute_dft_c2r(const fftw_plan p, fftw_complex* in, double* out);

fftw_plan __wrap_fftw_plan_dft_1d(int n, fftw_complex* in, fftw_complex* out, int sign, unsigned flags) {
  fftw_plan plan = __real_fftw_plan_dft_1d(n, in, out, sign, flags);
  recorder().planned(plan, sign == FFTW_FORWARD ? Kind::kComplexForward : Kind::kComplexBackward, n);
  return plan;
}
fftw_plan __wrap_fftw_plan_dft_r2c_1d(int n, double* in, fftw_complex* out, unsigned flags) {
  fftw_plan plan = __real_fftw_plan_dft_r2c_1d(n, in, out, flags);
  recorder().planned(plan, Kind::kRealForward, n);
  return plan;
}
fftw_plan __wrap_fftw_plan_dft_c2r_1d(int n, fftw_complex* in, double* out, unsigned flags) {
  fftw_plan plan = __real_fftw_plan_dft_c2r_1d(n, in, out, flags);
  recorder().planned(plan, Kind::kRealBackward, n);
  return plan;
}
void __wrap_fftw_execute_dft(const fftw_plan p, fftw_complex* in, fftw_complex* out) {
  recorder().ran(p, in, out);
  __real_fftw_execute_dft(p, in, out);
}
void __wrap_fftw_execute_dft_r2c(const fftw_plan p, double* in, fftw_complex* out) {
  recorder().ran(p, in, out);
  __real_fftw_execute_dft_r2c(p, in, out);
}
void __wrap_fftw_execute_dft_c2r(const fftw_plan p, fftw_complex* in, double* out) {
  recorder().ran(p, in, out);
  __real_fftw_execute_dft_c2r(p, in, out);
}
}

namespace {

using namespace msdisf;
using detail::FftBuffer;
using detail::PlanCache;

using bench::Records;

std::optional<Quantities> quantities_of(const std::string& text) {
  if (text == "default") return default_quantities(false);
  return quantities_from_text(text);
}

std::vector<Transform> count_transforms(const Records& records, const AnalysisOptions& options) {
  Recorder& r = recorder();
  r.counting = true;
  analyse(records.data(), options);
  r.counting = false;
  std::vector<Transform> found;
  for (const auto& [key, count] : r.executed) {
    const auto [kind, size, in_place] = key;
    found.push_back({kind, size, in_place, count});
  }
  return found;
}

// One transform kind's plans and zeroed buffers, ready to run `count` times.
class Batch {
 public:
  Batch(const Transform& t, PlanCache& cache) : t_(t), spectrum_(t.size / 2 + 1) {
    const bool real = t.kind == Kind::kRealForward || t.kind == Kind::kRealBackward;
    const long complex_values = real ? spectrum_ : t.size;
    if (real) {
      real_ = cache.get_real(t.size, 1);
    } else {
      complex_ = cache.get(t.size, 1);
    }
    a_ = detail::make_fft_buffer(complex_values);
    b_ = detail::make_fft_buffer(complex_values);
    std::fill(&a_[0][0], &a_[0][0] + 2 * complex_values, 0.0);
    std::fill(&b_[0][0], &b_[0][0] + 2 * complex_values, 0.0);
  }

  // Zeros in, zeros out: every run sees the same values.
  void run() const {
    for (long i = 0; i < t_.count; ++i) run_once();
  }

 private:
  void run_once() const {
    fftw_complex* a = a_.get();
    fftw_complex* b = b_.get();
    switch (t_.kind) {
      case Kind::kRealForward:
        t_.in_place ? real_->forward(a) : real_->forward(&b[0][0], a);
        break;
      case Kind::kRealBackward:
        real_->backward(a, b);
        break;
      case Kind::kComplexForward:
        t_.in_place ? complex_->forward(a) : complex_->forward(a, b);
        break;
      case Kind::kComplexBackward:
        t_.in_place ? complex_->backward(a) : complex_->backward(a, b);
        break;
    }
  }

  Transform t_;
  long spectrum_;
  std::shared_ptr<const detail::RealFftPlans> real_;
  std::shared_ptr<const detail::FftPlans> complex_;
  FftBuffer a_, b_;
};

using bench::seconds_of;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

void print_transforms(const std::vector<Transform>& transforms) {
  long total = 0;
  for (const Transform& t : transforms) {
    std::printf("transform %s %ld %s %ld\n", name_of(t.kind), t.size, t.in_place ? "in-place" : "apart", t.count);
    total += t.count;
  }
  std::printf("transforms %ld\n", total);
}

int run(long frames, long particles, const Quantities& quantities, int reps) {
  const Records records = bench::brownian(particles, frames, 0.0);
  AnalysisOptions options;
  options.quantities = quantities;
  const std::vector<Transform> transforms = count_transforms(records, options);
  print_transforms(transforms);
  const int processors = omp_get_max_threads();
  std::printf("processors %d\n", processors);
  if (transforms.empty()) {
    std::printf("floor n/a: the analysis executed no transforms\n");
    return 0;
  }
  PlanCache cache;
  std::vector<Batch> batches;
  for (const Transform& t : transforms) batches.emplace_back(t, cache);
  const auto floor = [&] {
    for (const Batch& b : batches) b.run();
  };
  const auto whole = [&] { analyse(records.data(), options); };
  floor();
  std::vector<double> floors, analyses, ratios;
  for (int i = 0; i < reps; ++i) {
    double f = 0.0, a = 0.0;
    if (i % 2 == 0) {
      f = seconds_of(floor) / processors;
      a = seconds_of(whole);
    } else {
      a = seconds_of(whole);
      f = seconds_of(floor) / processors;
    }
    floors.push_back(f);
    analyses.push_back(a);
    ratios.push_back(a / f);
  }
  std::printf("floor_one_thread_seconds %.6g\n", median(floors) * processors);
  std::printf("floor_seconds %.6g\n", median(floors));
  std::printf("analysis_seconds %.6g\n", median(analyses));
  std::printf("analysis_over_floor %.3g\n", median(ratios));
  return 0;
}


}  // namespace

int main(int argc, char** argv) {
  msdisf::spin_briefly_unless_chosen(argv);
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: fft_floor FRAMES PARTICLES QUANTITIES [REPS]\n");
    return 2;
  }
  const long frames = std::atol(argv[1]);
  const long particles = std::atol(argv[2]);
  const std::optional<Quantities> quantities = quantities_of(argv[3]);
  const int reps = argc == 5 ? std::atoi(argv[4]) : 7;
  if (frames < 2 || particles < 1 || reps < 1 || !quantities) {
    std::fprintf(stderr, "fft_floor: FRAMES >= 2, PARTICLES >= 1, REPS >= 1 and known QUANTITIES, please\n");
    return 2;
  }
  return run(frames, particles, *quantities, reps);
}
