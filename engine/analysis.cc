#include "engine/analysis.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <limits>
#include <cmath>
#include <functional>
#include <cstdio>
#include <new>
#include <map>
#include <optional>

#include "engine/correlation_method.h"
#include "engine/error_sums.h"
#include "engine/isotropic.h"
#include "engine/huge_pages.h"
#include "engine/lag_selection.h"
#include "engine/pair_terms.h"
#include "engine/parallel.h"
#include "engine/particle_set.h"
#include "engine/particle_sums.h"
#include "engine/standard_errors.h"
#include "engine/default_scales.h"
#include "engine/result_columns.h"
#include "engine/sums.h"

namespace msdisf {

std::vector<double> default_wave_numbers() {
  std::vector<double> waves;
  for (const double s : kDefaultLengthScales) waves.push_back(1.0 / s);
  return waves;
}

namespace {

// The openings of the informational notes.
const std::string kThreadsNote = "using ";
const std::string kGridNote = "frames step by ";

}  // namespace

bool informational_note(std::string_view note) { return note.starts_with(kThreadsNote) || note.starts_with(kGridNote); }

namespace {

using detail::ParticleCost;
using detail::ParticleRecords;
using Kind = AnalysisError::Kind;

// Result columns besides the scattering ones: lag, pairs, msd, mqd, ngp,
// skewness, md, mcd.
constexpr double kMomentColumns = 8.0;

// "2.5 GB", "12.0 MB" or "300 bytes".
std::string gigabytes(double bytes) {
  char text[32];
  if (bytes >= 1e8) {
    std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
  } else if (bytes >= 1e5) {
    std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.0f bytes", bytes);
  }
  return text;
}

double default_memory_limit() {
  const double physical = static_cast<double>(::sysconf(_SC_PHYS_PAGES)) * static_cast<double>(::sysconf(_SC_PAGESIZE));
  double limit = physical > 0.0 ? physical : 8e9;
  rlimit address_space{};
  if (::getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
    limit = std::min(limit, static_cast<double>(address_space.rlim_cur));
  }
  return limit / 2.0;
}

int checked_threads(const AnalysisOptions& options, std::vector<std::string>& notes) {
  if (options.threads < 0) {
    throw AnalysisError(Kind::kInvalidOptions,
                        "threads must be 0 (every processor) or more, not " + std::to_string(options.threads));
  }
  const int processors = std::max(1, omp_get_num_procs());
  if (options.threads > processors) {
    notes.push_back(kThreadsNote + std::to_string(processors) + " threads, one per processor (asked for " +
                    std::to_string(options.threads) + ")");
    return processors;
  }
  return detail::thread_count(options.threads);
}

std::vector<double> checked_waves(const AnalysisOptions& options) {
  if (!options.quantities.scattering && !options.quantities.fs) return {};
  std::vector<double> waves = options.wave_numbers.empty() ? default_wave_numbers() : options.wave_numbers;
  for (const double q : waves) {
    if (!std::isfinite(q)) throw AnalysisError(Kind::kInvalidOptions, "wave numbers must be finite numbers");
  }
  return waves;
}

ParticleRecords records_of(const detail::ParticleSet& set, const detail::ParticleRange& p) {
  const auto at = static_cast<std::size_t>(p.begin);
  return {set.x().data() + at, set.y().data() + at, set.frame().data() + at, p.records()};
}

// Scattering directions of a pass: bit d for direction d (x, y, x + y).
constexpr unsigned kAllDirections = 7;

std::array<std::vector<std::vector<double>>*, 6> scattering_groups(AnalysisResult& result) {
  return {&result.cos_x, &result.cos_y, &result.cos_r, &result.sin_x, &result.sin_y, &result.sin_r};
}

// The columns that hold sums while computing, or are wanted in the end;
// the others stay empty (and so do the scattering columns of directions
// not in `directions`).
void allocate(AnalysisResult& result, std::size_t rows, std::size_t waves, const detail::MomentNeeds& needs,
              unsigned directions = kAllDirections) {
  const Quantities& q = result.quantities;
  const std::pair<bool, std::vector<double>*> columns[] = {{needs.any(), &result.msd}, {needs.s4, &result.mqd},
                                                           {q.ngp, &result.ngp},    {q.skewness, &result.skewness},
                                                           {needs.s1, &result.md},  {needs.s3, &result.mcd}};
  for (const auto& [used, column] : columns) {
    if (used) detail::assign_huge(*column, rows, 0.0);
  }
  detail::assign_huge(result.pairs, rows, 0L);
  const auto groups = scattering_groups(result);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    if ((directions >> (g % 3) & 1u) == 0) continue;
    groups[g]->resize(waves);
    for (auto& column : *groups[g]) detail::assign_huge(column, rows, 0.0);
  }
}

// The result's columns hold the pooled sums until they are finalised.
detail::SumsView sums_in(AnalysisResult& result) {
  detail::SumsView view;
  view.waves = static_cast<int>(result.wave_numbers.size());
  auto held = [&](std::vector<double>& c) { return c.size() == result.rows() ? c.data() : nullptr; };
  view.s1 = held(result.md);
  view.s2 = held(result.msd);
  view.s3 = held(result.mcd);
  view.s4 = held(result.mqd);
  view.pairs = result.pairs.data();
  for (auto* group : scattering_groups(result)) {
    for (std::size_t w = 0; w < result.wave_numbers.size(); ++w) {
      view.scattering.push_back(group->size() > w ? held((*group)[w]) : nullptr);
    }
  }
  return view;
}

// Divides each row's sums by its pair count, one division per column entry;
// a row without pairs gets 0/0, a NaN.
void finalise(AnalysisResult& result, int threads) {
  const std::size_t rows = result.rows();
  auto divide = [&](std::vector<double>& column) {
    if (column.size() != rows) return;
    const long count = static_cast<long>(rows);
#pragma omp parallel for num_threads(threads) if (threads > 1 && count > (1L << 16))
    for (long r = 0; r < count; ++r) {
      const auto at = static_cast<std::size_t>(r);
      column[at] = column[at] / static_cast<double>(result.pairs[at]);
    }
  };
  for (auto* column : {&result.msd, &result.md, &result.mcd, &result.mqd}) divide(*column);
  if (result.ngp.size() == rows) {
    for (std::size_t r = 0; r < rows; ++r) {
      result.ngp[r] = detail::non_gaussian_parameter(result.mqd[r], result.msd[r], result.dimensions);
    }
  }
  if (result.skewness.size() == rows) {
    for (std::size_t r = 0; r < rows; ++r) {
      result.skewness[r] = detail::skewness_of(result.mcd[r], result.msd[r], result.md[r]);
    }
  }
  for (auto* group : {&result.cos_x, &result.cos_y, &result.cos_z, &result.cos_r, &result.sin_x, &result.sin_y,
                      &result.sin_z, &result.sin_r, &result.fs}) {
    for (auto& column : *group) divide(column);
  }
}

detail::MomentNeeds needs_of(const Quantities& q) {
  const NeededSums needed = needed_sums(q, 2);
  return {.s1 = needed.s1, .s2 = needed.s2, .s3 = needed.s3, .s4 = needed.s4};
}

// Empties the columns nobody asked for.
void drop_unwanted(AnalysisResult& result, const Quantities& q) {
  const std::pair<bool, std::vector<double>*> columns[] = {{q.msd, &result.msd}, {q.mqd, &result.mqd},
                                                           {q.ngp, &result.ngp}, {q.skewness, &result.skewness},
                                                           {q.md, &result.md},   {q.mcd, &result.mcd}};
  for (const auto& [wanted, column] : columns) {
    if (!wanted) std::vector<double>().swap(*column);
  }
}

struct Plan {
  std::vector<ParticleCost> costs;
  double work = 0.0;
  double largest_work = 0.0;
  double working_bytes = 0.0;
  long largest_rows = 0;
};

Plan plan_particles(const detail::ParticleSet& set, const std::vector<long>& lags, int waves, Method method,
                    int threads, double transform_budget) {
  Plan plan;
  for (const auto& p : set.particles()) {
    const std::span<const long> own = detail::lags_within(lags, set.span(p));
    const ParticleCost cost = detail::particle_cost(records_of(set, p), own, waves, method, threads, transform_budget);
    plan.costs.push_back(cost);
    plan.work += cost.work;
    plan.largest_work = std::max(plan.largest_work, cost.work);
    plan.working_bytes = std::max(plan.working_bytes, cost.bytes);
    plan.largest_rows = std::max(plan.largest_rows, static_cast<long>(own.size()));
  }
  return plan;
}

double memory_limit(const AnalysisOptions& options) {
  return options.memory_limit > 0 ? static_cast<double>(options.memory_limit) : default_memory_limit();
}

// The standard errors' work and working memory; zero without them.
struct ErrorCost {
  double work = 0.0;
  double bytes = 0.0;
};

void check_size(std::size_t rows, std::size_t waves, const Plan& plan, int threads, double limit,
                const ErrorCost& errors) {
  const double error_bytes = errors.bytes, error_work = errors.work;
  const double columns = kMomentColumns + 6.0 * static_cast<double>(waves) +
                         (error_bytes > 0.0 ? 3.0 + 3.0 * static_cast<double>(waves) : 0.0);
  const double result_bytes = static_cast<double>(rows) * columns * 8.0;
  const double buffers = static_cast<double>(threads) * static_cast<double>(plan.largest_rows) * columns * 8.0;
  const double needed = result_bytes + buffers + plan.working_bytes + error_bytes;
  if (needed > limit) {
    throw AnalysisError(Kind::kTooLarge,
                        "the analysis would need " + gigabytes(needed) + " (" + std::to_string(rows) + " lags x " +
                            std::to_string(static_cast<long>(columns)) + " columns = " + gigabytes(result_bytes) +
                            " of results), more than the " + gigabytes(limit) +
                            " allowed; ask for fewer lags (log-spaced or a largest lag) or fewer wave numbers");
  }
  // About a day of computing on one core.
  constexpr double kMostWork = 1e14;
  if (plan.work + error_work > kMostWork) {
    throw AnalysisError(Kind::kTooLarge,
                        "the analysis would take days (about " +
                            std::to_string(static_cast<long>((plan.work + error_work) / 1e9 / 3600.0)) +
                            " CPU hours); ask for fewer lags or wave numbers" +
                            (error_work > plan.work ? ", or no standard errors" : ""));
  }
}

void compute(const detail::ParticleSet& set, const std::vector<long>& lags, const Plan& plan,
             const detail::SumsContext& context, const detail::SumsView& total, int threads) {
  const auto& particles = set.particles();
  const long count = static_cast<long>(particles.size());
  const int waves = total.waves;
  auto own_lags = [&](long i) { return detail::lags_within(lags, set.span(particles[static_cast<std::size_t>(i)])); };
  auto records = [&](long i) { return records_of(set, particles[static_cast<std::size_t>(i)]); };
  if (count == 1) {
    // Sums formed from zero in the result's columns are the pooled sums.
    detail::add_particle_sums(records(0), own_lags(0), context, total, threads);
    return;
  }
  // Many particles of modest size: one particle per thread, pooled in
  // particle order so that the pooled sums do not depend on the threads.
  const bool across =
      context.method == Method::kOrdered && threads > 1 && count >= 4L * threads && plan.largest_work * 4.0 < plan.work;
  if (!across) {
    // Moment sums are each particle's own, pooled afterwards; scattering
    // terms go straight into the pooled sums, one running sum per lag.
    detail::SumsBuffer own(plan.largest_rows, waves, false);
    detail::SumsView view = own.view();
    view.scattering = total.scattering;
    for (long i = 0; i < count && !context.control.stopped(); ++i) {
      const auto lags_i = own_lags(i);
      own.clear(static_cast<long>(lags_i.size()));
      detail::add_particle_sums(records(i), lags_i, context, view, threads);
      detail::pool_sums(own.view(), total, static_cast<long>(lags_i.size()));
    }
    return;
  }
  // Batches of particles are computed in parallel, each into its own
  // buffer, then pooled in particle order.
  const double columns = 5.0 + 6.0 * waves;
  const long batch = std::clamp(static_cast<long>(64e6 / (8.0 * columns * static_cast<double>(plan.largest_rows + 1))),
                                static_cast<long>(threads), 256L);
  std::vector<detail::SumsBuffer> buffers;
  for (long b = 0; b < batch; ++b) buffers.emplace_back(plan.largest_rows, waves, true);
  for (long first = 0; first < count && !context.control.stopped(); first += batch) {
    const long last = std::min(count, first + batch);
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
    for (long i = first; i < last; ++i) {
      if (context.control.stopped()) continue;
      context.control.guarded([&] {
        detail::SumsBuffer& own = buffers[static_cast<std::size_t>(i - first)];
        own.clear(static_cast<long>(own_lags(i).size()));
        detail::add_particle_sums(records(i), own_lags(i), context, own.view(), 1);
      });
    }
    if (context.control.stopped()) break;
    for (long i = first; i < last; ++i) {
      detail::pool_sums(buffers[static_cast<std::size_t>(i - first)].view(), total,
                        static_cast<long>(own_lags(i).size()));
    }
  }
}

// Keeps the rows with pairs, in order, in every column the result has.
void keep_rows_with_pairs(AnalysisResult& result) {
  std::vector<std::size_t> kept;
  for (std::size_t r = 0; r < result.lag.size(); ++r) {
    if (result.pairs[r] > 0) kept.push_back(r);
  }
  if (kept.size() == result.lag.size()) return;
  auto keep = [&kept](auto& column) {
    for (std::size_t k = 0; k < kept.size(); ++k) column[k] = column[kept[k]];
    column.resize(kept.size());
  };
  for (const auto& column : result_columns(result)) keep(*column.second);
  keep(result.lag), keep(result.particle), keep(result.pairs);
}

// What every pass of one analysis shares.
struct Setup {
  int threads = 1;
  double limit = 0.0;
  std::vector<std::string> notes;
};

// The set of `data` under the options' pair rule, on the grid of its frames
// unless a lag asked for lies off it, and the lags of its rows.
std::vector<long> prepare_lags(detail::ParticleSet& set, const LagRequest& request) {
  if (detail::fits_grid(request, set.grid_step())) set.count_frames_on_grid();
  return detail::select_lags(detail::lags_on_grid(request, set.stride()), set.longest_span());
}

// What one pass over a set's x and y forms: the correlation method forms
// only `needs` (the others every moment), and the scattering sums of
// `directions`.
struct PassRequest {
  detail::MomentNeeds needs;
  unsigned directions = kAllDirections;
  /// Wave numbers of the pass when not the analysis's own.
  std::optional<std::vector<double>> waves = std::nullopt;
};

// One pass of the sums over `set`'s x and y into `result`, whose lags and
// wave numbers are set: its columns hold the pooled sums. With `errors`
// (two dimensions only) the size check counts the standard errors' needs.
void run_pass(const detail::ParticleSet& set, const AnalysisOptions& options, const Setup& setup,
              const PassRequest& request, AnalysisResult& result) {
  const std::size_t rows = result.rows();
  const int threads = setup.threads;
  const int waves = static_cast<int>(result.wave_numbers.size());
  // Per-thread transform buffers may take an eighth of the memory allowed.
  const double transform_budget = setup.limit / 8.0;
  const bool correlation = options.method == Method::kFast;
  const Plan plan =
      plan_particles(set, result.lag, waves, correlation ? Method::kOrdered : options.method, threads, transform_budget);
  ErrorCost error_cost;
  if (options.errors) {
    error_cost = {detail::standard_error_work(set, result.lag, waves, options.quantities),
                  detail::standard_error_bytes(set, rows, threads)};
  }
  check_size(rows, result.wave_numbers.size(), plan, threads, setup.limit, error_cost);
  std::optional<detail::CorrelationMethod> by_correlation;
  if (correlation) by_correlation.emplace(set, result.lag, request.needs, waves, plan.costs, transform_budget);
  // Every sum for the methods that form them all; the correlation method
  // forms only what the wanted quantities need.
  allocate(result, rows, result.wave_numbers.size(), correlation ? request.needs : detail::MomentNeeds{},
           request.directions);
  detail::RunControl control(options, (correlation ? by_correlation->work() : plan.work) + error_cost.work);
  detail::PlanCache plans;
  detail::SumsContext context{result.wave_numbers, options.method, plans, control, transform_budget};
  if (correlation) context.phase_limit = detail::kPhaseLimit;
  control.poll();
  if (!control.stopped()) {
    if (correlation) {
      by_correlation->run(context, sums_in(result), threads);
    } else {
      compute(set, result.lag, plan, context, sums_in(result), threads);
    }
  }
  control.rethrow();
  if (options.errors) {
    finalise(result, threads);
    detail::add_standard_errors(set, result, control, threads);
    control.rethrow();
  }
  control.finish();
}

Setup setup_of(const AnalysisOptions& options) {
  Setup setup;
  setup.threads = checked_threads(options, setup.notes);
  setup.limit = memory_limit(options);
  return setup;
}

void note_stride(AnalysisResult& result, std::int64_t stride) {
  if (stride <= 1) return;
  for (long& lag : result.lag) lag *= stride;
  result.notes.push_back(kGridNote + std::to_string(stride) + ": lags are counted on that grid (" +
                         std::to_string(stride) + ", " + std::to_string(2 * stride) + ", ...)");
}

// Whether the two-dimensional quantities come from one pass over x and y
// together (the pair kernel's own sums of dx^k + dy^k); otherwise every
// axis has a pass of its own, and the moments are the sums of theirs.
bool one_pass(const TrajectoryData& data, const Quantities& wanted) {
  return data.dimensions() == 2 && !wanted.per_axis();
}

// The analysis of two-dimensional `data` in one pass, finished.
AnalysisResult run_analysis(const TrajectoryData& data, const AnalysisOptions& options) {
  AnalysisResult result;
  try {
    Setup setup = setup_of(options);
    result.notes = std::move(setup.notes);
    result.wave_numbers = checked_waves(options);
    result.quantities = options.quantities;
    detail::ParticleSet set(data, options.pairs);
    result.lag = prepare_lags(set, options.lags);
    run_pass(set, options, setup, {needs_of(options.quantities), kAllDirections}, result);
    if (!options.errors) finalise(result, setup.threads);
    drop_unwanted(result, options.quantities);
    note_stride(result, set.stride());
  } catch (const std::bad_alloc&) {
    throw AnalysisError(Kind::kOutOfMemory, "memory ran out; ask for fewer lags or wave numbers, or fewer threads");
  }
  return result;
}

// Every particle's own sums in one pass over `set`'s x and y: a row per
// particle and lag within its span (ordered by particle, then lag) holding
// the sums, the lag (in the data's frames) and the particle. Each particle
// writes its own slice, so the rows do not depend on the threads.
AnalysisResult per_particle_pass(const detail::ParticleSet& set, const std::vector<long>& lags,
                                 const std::vector<double>& waves, const AnalysisOptions& options, const Setup& setup,
                                 unsigned directions) {
  AnalysisResult result;
  result.wave_numbers = waves;
  const auto& particles = set.particles();
  std::vector<std::size_t> first_row(particles.size() + 1, 0);
  for (std::size_t i = 0; i < particles.size(); ++i) {
    first_row[i + 1] = first_row[i] + detail::lags_within(lags, set.span(particles[i])).size();
  }
  const std::size_t rows = first_row.back();
  const double bytes = static_cast<double>(rows) * 8.0 * (9.0 + 6.0 * static_cast<double>(waves.size()));
  if (bytes > setup.limit) {
    throw AnalysisError(Kind::kTooLarge, "per-particle results would take " + gigabytes(bytes) + " (" +
                                             std::to_string(rows) + " rows), more than the " + gigabytes(setup.limit) +
                                             " allowed; ask for fewer lags or wave numbers");
  }
  result.lag.resize(rows);
  result.particle.resize(rows);
  allocate(result, rows, waves.size(), detail::MomentNeeds{}, directions);
  detail::RunControl control(options, static_cast<double>(rows) * (1.0 + static_cast<double>(waves.size())));
  detail::PlanCache plans;
  detail::SumsContext context{result.wave_numbers, Method::kOrdered, plans, control, setup.limit / 8.0};
  const detail::SumsView all = sums_in(result);
  const long count = static_cast<long>(particles.size());
  detail::for_items(count, setup.threads, [&](long i) {
    if (control.stopped()) return;
    control.guarded([&] {
      const auto k = static_cast<std::size_t>(i);
      const std::span<const long> own = detail::lags_within(lags, set.span(particles[k]));
      detail::SumsView view = all;
      const long at = static_cast<long>(first_row[k]);
      for (double** column : {&view.s1, &view.s2, &view.s3, &view.s4}) *column += at;
      view.pairs += at;
      for (double*& column : view.scattering) column = column != nullptr ? column + at : nullptr;
      detail::add_particle_sums(records_of(set, particles[k]), own, context, view, 1);
      for (std::size_t r = 0; r < own.size(); ++r) {
        result.lag[first_row[k] + r] = own[r] * set.stride();
        result.particle[first_row[k] + r] = set.ids()[k];
      }
    });
  });
  control.rethrow();
  control.finish();
  return result;
}

// A request whose lags do not depend on the data: a largest lag becomes
// every lag up to it, log-spaced lags up to a largest one their list.
LagRequest fixed_lags(const LagRequest& request) {
  if (request.kind == LagRequest::Kind::kUpTo && request.max_lag >= 1) {
    return LagRequest::list(detail::select_lags(LagRequest::all(), request.max_lag));
  }
  if (request.kind == LagRequest::Kind::kLogSpaced && request.max_lag >= 1 && request.count >= 1) {
    return LagRequest::list(detail::log_spaced_lags(request.count, request.max_lag));
  }
  return request;
}

// Moves `column` out when it holds a sum that `wanted` needs.
std::vector<double> sum_column(std::vector<double>& column, bool wanted, std::size_t rows) {
  return wanted && column.size() == rows ? std::move(column) : std::vector<double>();
}

using Groups = std::vector<std::vector<double>>;

// The sums of a pass over x and y together: the moments of both axes at once.
void take_joint_pass(AnalysisResult& pass, const detail::MomentNeeds& needs, LagSums& sums) {
  const std::size_t rows = pass.rows();
  sums.s1 = sum_column(pass.md, needs.s1, rows);
  sums.s2 = sum_column(pass.msd, needs.s2, rows);
  sums.s3 = sum_column(pass.mcd, needs.s3, rows);
  sums.s4 = sum_column(pass.mqd, needs.s4, rows);
  for (auto [into, from] : {std::pair{&sums.cos_x, &pass.cos_x}, {&sums.cos_y, &pass.cos_y},
                            {&sums.cos_r, &pass.cos_r}, {&sums.sin_x, &pass.sin_x},
                            {&sums.sin_y, &pass.sin_y}, {&sums.sin_r, &pass.sin_r}}) {
    *into = std::move(*from);
  }
}

// into[r] = into[r] + from[r], or `from` itself into an empty `into`.
void add_column(std::vector<double>& into, std::vector<double>&& from) {
  if (into.empty()) {
    into = std::move(from);
    return;
  }
  for (std::size_t r = 0; r < into.size(); ++r) into[r] = into[r] + from[r];
}

// sign[a] * (position - the particle's first valid position) summed over
// the axes a: the coordinate whose differences are the displacements along
// that combination of the axes (x + y + z with every sign 1).
std::vector<double> axis_sum(const detail::ParticleSet& set, const std::vector<std::span<const double>>& axes,
                             std::span<const double> mask, const std::vector<double>& sign) {
  std::vector<double> sum;
  detail::assign_huge(sum, set.x().size(), std::numeric_limits<double>::quiet_NaN());
  for (const detail::ParticleRange& p : set.particles()) {
    long first = p.begin;
    while (first < p.end && std::isnan(mask[static_cast<std::size_t>(first)])) ++first;
    for (long i = first; i < p.end; ++i) {
      const auto at = static_cast<std::size_t>(i);
      double value = 0.0;
      for (std::size_t a = 0; a < axes.size(); ++a) {
        value += sign[a] * (axes[a][at] - axes[a][static_cast<std::size_t>(first)]);
      }
      sum[at] = value + mask[at];
    }
  }
  return sum;
}

// Zero where every axis of a record is a number, NaN elsewhere.
std::vector<double> validity_of(const detail::ParticleSet& set, const std::vector<std::span<const double>>& axes) {
  std::vector<double> mask;
  detail::assign_huge(mask, set.x().size(), 0.0);
  for (const auto& axis : axes) {
    for (std::size_t i = 0; i < mask.size(); ++i) {
      if (std::isnan(axis[i])) mask[i] = std::numeric_limits<double>::quiet_NaN();
    }
  }
  return mask;
}

// sum |dr|^4 from the axes' fourth powers and those along a + b and a - b
// of each plane: with u = d_a + d_b, v = d_a - d_b, u^4 + v^4 = 2 d_a^4 +
// 12 d_a^2 d_b^2 + 2 d_b^4, so in two dimensions |dr|^4 = (2/3)(d_x^4 +
// d_y^4) + (u^4 + v^4)/6, and in three, where each axis lies in two planes,
// (1/3) sum of d_a^4 + (1/6) sum over planes of (u^4 + v^4). Every term is
// positive: nothing cancels.
void add_fourth_powers(const Groups& axis_fourth, const std::vector<double>& plane_fourth, LagSums& sums) {
  const std::size_t rows = sums.pairs.size();
  const double axis_weight = axis_fourth.size() == 1 ? 1.0 : axis_fourth.size() == 2 ? 2.0 / 3.0 : 1.0 / 3.0;
  sums.r4.assign(rows, 0.0);
  for (std::size_t r = 0; r < rows; ++r) {
    double axes = 0.0;
    for (const auto& column : axis_fourth) axes += column[r];
    sums.r4[r] = axis_weight * axes + (plane_fourth.empty() ? 0.0 : plane_fourth[r] / 6.0);
  }
}

// Runs one pass over a set's x and y: pooled or per particle.
using PassRunner =
    std::function<AnalysisResult(const detail::ParticleSet&, const AnalysisOptions&, const PassRequest&)>;

// Directions are chosen so that fs lies within this of the isotropic mean
// for every pair they serve: far enough below the table's 1e-12 that sums
// of shards, whose directions may differ, still agree with one call.
constexpr double kIsotropicTolerance = 1e-13;
// The most directions one wave number may take.
constexpr std::size_t kMostDirections[4] = {0, 1, 256, 1024};

// An upper bound on |dr| at a lag: the lag times the fastest step between
// consecutive valid records of any particle, and at most the largest
// extent of any particle.
class DisplacementBound {
 public:
  DisplacementBound(const detail::ParticleSet& set, const std::vector<std::span<const double>>& axes,
                    std::span<const double> mask) {
    for (const detail::ParticleRange& p : set.particles()) {
      std::vector<double> low(axes.size(), INFINITY), high(axes.size(), -INFINITY);
      long previous = -1;
      for (long i = p.begin; i < p.end; ++i) {
        const auto at = static_cast<std::size_t>(i);
        if (std::isnan(mask[at])) continue;
        double step = 0.0;
        for (std::size_t a = 0; a < axes.size(); ++a) {
          low[a] = std::min(low[a], axes[a][at]), high[a] = std::max(high[a], axes[a][at]);
          if (previous >= 0) step += std::pow(axes[a][at] - axes[a][static_cast<std::size_t>(previous)], 2);
        }
        if (previous >= 0) {
          const double frames = static_cast<double>(set.frame()[at] - set.frame()[static_cast<std::size_t>(previous)]);
          speed_ = std::max(speed_, std::sqrt(step) / frames);
        }
        previous = i;
      }
      double diagonal = 0.0;
      for (std::size_t a = 0; a < axes.size() && previous >= 0; ++a) diagonal += std::pow(high[a] - low[a], 2);
      extent_ = std::max(extent_, std::sqrt(diagonal));
    }
  }
  /// At `lag` frames of the set's grid. Rounding of the bound itself is
  /// covered by a relative margin.
  double at(long lag) const { return std::min(static_cast<double>(lag) * speed_, extent_) * (1.0 + 1e-9); }

 private:
  double speed_ = 0.0;
  double extent_ = 0.0;
};

// fs: for each wave number the directions its largest displacement needs
// (isotropic.h), a pass per distinct direction over the coordinate along
// it with the wave numbers that use it, the cos sums weighted into fs.
// Rows whose displacements the allowed directions do not serve are NaN.
// The rows are the runner's: one per lag, or one per particle and lag.
void add_isotropic_sums(const detail::ParticleSet& set, const std::vector<std::span<const double>>& axes,
                        std::span<const double> mask, const AnalysisOptions& options, const AnalysisResult& shape,
                        const PassRunner& runner, LagSums& sums) {
  const int dims = static_cast<int>(axes.size());
  const std::vector<double>& waves = shape.wave_numbers;
  const DisplacementBound bound(set, axes, mask);
  const double largest = shape.lag.empty() ? 0.0 : bound.at(*std::max_element(shape.lag.begin(), shape.lag.end()));
  std::vector<detail::DirectionSet> sets;
  std::map<long, std::pair<detail::Direction, std::vector<std::size_t>>> passes;  // key -> direction, waves
  for (std::size_t w = 0; w < waves.size(); ++w) {
    sets.push_back(detail::isotropic_directions(dims, std::fabs(waves[w]) * largest, kIsotropicTolerance,
                                                kMostDirections[dims]));
    for (const detail::Direction& d : sets.back().directions) {
      auto& entry = passes.try_emplace(d.key, d, std::vector<std::size_t>()).first->second;
      entry.second.push_back(w);
    }
  }
  std::vector<long> row_lags;  // in frames of the set's grid
  for (const auto& [key, pass_of] : passes) {
    const auto& [direction, used] = pass_of;
    std::vector<double> pass_waves;
    for (const std::size_t w : used) pass_waves.push_back(waves[w]);
    const std::vector<double> along = axis_sum(set, axes, mask, {direction.n, direction.n + dims});
    AnalysisResult pass = runner(set.on_axes(along, mask), options, {{false, false, false, false, true}, 1u, pass_waves});
    if (row_lags.empty()) {
      const bool per_particle = !pass.particle.empty();
      row_lags = per_particle ? pass.lag : shape.lag;
      if (per_particle) {
        for (long& lag : row_lags) lag /= set.stride();
      }
      sums.fs.assign(waves.size(), std::vector<double>(row_lags.size(), 0.0));
    }
    for (std::size_t k = 0; k < used.size(); ++k) {
      const std::size_t w = used[k];
      // This wave's weight of the direction: its own set's.
      double weight = 0.0;
      for (const detail::Direction& d : sets[w].directions) {
        if (d.key == key) weight = d.weight;
      }
      for (std::size_t r = 0; r < pass.cos_x[k].size(); ++r) sums.fs[w][r] += weight * pass.cos_x[k][r];
    }
  }
  for (std::size_t w = 0; w < waves.size(); ++w) {
    long first_unserved = -1;
    for (std::size_t r = 0; r < row_lags.size(); ++r) {
      if (std::fabs(waves[w]) * bound.at(row_lags[r]) <= sets[w].reach) continue;
      sums.fs[w][r] = NAN;
      if (first_unserved < 0 || row_lags[r] < first_unserved) first_unserved = row_lags[r];
    }
    if (first_unserved >= 0) {
      sums.notes.push_back("fs[" + wave_label(waves[w]) + "] is NaN from lag " +
                           std::to_string(first_unserved * set.stride()) + ": its displacements would need more than " +
                           std::to_string(kMostDirections[dims]) + " directions; a smaller wave number reaches further");
    }
  }
}

// The sums of every axis on its own (each axis's moments in a pass of its
// own, its second coordinate only marking validity), the moments summed
// over the axes, and the scattering along the sum of the axes.
void sum_by_axis(const detail::ParticleSet& set, const AnalysisOptions& options, const detail::MomentNeeds& needs,
                 const AnalysisResult& shape, const PassRunner& runner, LagSums& sums) {
  std::vector<std::span<const double>> axes = {set.x()};
  if (set.dimensions() >= 2) axes.push_back(set.y());
  if (set.dimensions() == 3) axes.push_back(set.z());
  const std::vector<double> mask = validity_of(set, axes);
  const bool scattering = shape.quantities.scattering && !shape.wave_numbers.empty();
  const bool along_sum = scattering && axes.size() > 1;
  // alpha2 needs sum |dr|^4, which takes each plane of two axes a, b
  // along a + b and a - b as well: see add_fourth_powers.
  const std::vector<std::pair<int, int>> planes = shape.quantities.alpha2 && axes.size() > 1
                                                      ? (axes.size() == 2 ? std::vector<std::pair<int, int>>{{0, 1}}
                                                                          : std::vector<std::pair<int, int>>{{0, 1}, {0, 2}, {1, 2}})
                                                      : std::vector<std::pair<int, int>>{};
  const int passes = static_cast<int>(axes.size() + 2 * planes.size()) + (along_sum ? 1 : 0);
  Groups* cos_of[3] = {&sums.cos_x, &sums.cos_y, &sums.cos_z};
  Groups* sin_of[3] = {&sums.sin_x, &sums.sin_y, &sums.sin_z};
  auto pass_over = [&](std::span<const double> coordinate, detail::MomentNeeds pass_needs, int index,
                       bool with_scattering = true) {
    AnalysisOptions own = options;
    if (options.progress) {
      own.progress = [&options, index, passes](double done) { options.progress((index + done) / passes); };
    }
    pass_needs.single_axis = true;
    return runner(set.on_axes(coordinate, mask), own, {pass_needs, scattering && with_scattering ? 1u : 0u});
  };
  std::vector<double> plane_fourth;  // sum over planes of d(a + b)^4 + d(a - b)^4
  for (std::size_t p = 0; p < planes.size(); ++p) {
    for (const double sign : {1.0, -1.0}) {
      std::vector<double> signs(axes.size(), 0.0);
      signs[static_cast<std::size_t>(planes[p].first)] = 1.0;
      signs[static_cast<std::size_t>(planes[p].second)] = sign;
      const int index = static_cast<int>(axes.size() + 2 * p) + (sign > 0 ? 0 : 1);
      AnalysisResult pass = pass_over(axis_sum(set, axes, mask, signs), {false, false, false, true}, index, false);
      add_column(plane_fourth, std::move(pass.mqd));
    }
  }
  for (std::size_t a = 0; a < axes.size(); ++a) {
    AnalysisResult pass = pass_over(axes[a], needs, static_cast<int>(a));
    const std::size_t rows = pass.rows();
    if (a == 0) sums.pairs = std::move(pass.pairs);
    std::vector<double>* per_axis[4] = {&pass.md, &pass.msd, &pass.mcd, &pass.mqd};
    const bool wanted[4] = {needs.s1, needs.s2, needs.s3, needs.s4};
    std::vector<double>* combined[4] = {&sums.s1, &sums.s2, &sums.s3, &sums.s4};
    Groups* axis_sums[4] = {&sums.axis_s1, &sums.axis_s2, &sums.axis_s3, &sums.axis_s4};
    for (int k = 0; k < 4; ++k) {
      std::vector<double> column = sum_column(*per_axis[k], wanted[k], rows);
      if (column.empty()) continue;
      add_column(*combined[k], std::vector<double>(column));
      axis_sums[k]->push_back(std::move(column));
    }
    if (scattering) *cos_of[a] = std::move(pass.cos_x), *sin_of[a] = std::move(pass.sin_x);
  }
  if (!planes.empty() || (shape.quantities.alpha2 && axes.size() == 1)) {
    add_fourth_powers(sums.axis_s4, plane_fourth, sums);
  }
  if (along_sum) {
    const std::vector<double> sum = axis_sum(set, axes, mask, std::vector<double>(axes.size(), 1.0));
    AnalysisResult pass = pass_over(sum, {false, false, false, false}, passes - 1);
    sums.cos_r = std::move(pass.cos_x), sums.sin_r = std::move(pass.sin_x);
  }
  if (shape.quantities.fs && !shape.wave_numbers.empty()) add_isotropic_sums(set, axes, mask, options, shape, runner, sums);
}

PassRunner pooled_runner(const Setup& setup, const AnalysisResult& shape) {
  return [&setup, &shape](const detail::ParticleSet& set, const AnalysisOptions& options, const PassRequest& request) {
    AnalysisResult pass;
    pass.wave_numbers = request.waves.value_or(shape.wave_numbers);
    pass.lag = shape.lag;
    run_pass(set, options, setup, request, pass);
    return pass;
  };
}

// Rows of (particle, lag) with the particle's own means, for every
// particle and lag at which it has pairs.
AnalysisResult run_per_particle(const TrajectoryData& data, const AnalysisOptions& options) {
  if (options.errors) throw AnalysisError(Kind::kInvalidOptions, "per-particle results come without standard errors");
  Setup setup = setup_of(options);
  detail::ParticleSet set(data, options.pairs);
  AnalysisResult shape;
  shape.quantities = options.quantities;
  shape.wave_numbers = checked_waves(options);
  shape.lag = prepare_lags(set, options.lags);
  const detail::MomentNeeds needs = needs_of(options.quantities);
  std::vector<long> row_lag;
  std::vector<std::int64_t> row_particle;
  const PassRunner runner = [&](const detail::ParticleSet& pass_set, const AnalysisOptions& pass_options,
                                const PassRequest& request) {
    AnalysisResult pass =
        per_particle_pass(pass_set, shape.lag, request.waves.value_or(shape.wave_numbers), pass_options, setup,
                          request.directions);
    if (row_lag.empty()) row_lag = pass.lag, row_particle = pass.particle;
    return pass;
  };
  LagSums sums;
  sums.quantities = options.quantities;
  sums.dimensions = set.dimensions();
  if (one_pass(data, options.quantities)) {
    AnalysisResult pass = runner(set, options, {needs, kAllDirections});
    sums.pairs = std::move(pass.pairs);
    take_joint_pass(pass, needs, sums);
  } else {
    sum_by_axis(set, options, needs, shape, runner, sums);
  }
  sums.lag = std::move(row_lag);
  sums.wave_numbers = std::move(shape.wave_numbers);
  sums.notes.insert(sums.notes.begin(), setup.notes.begin(), setup.notes.end());
  AnalysisResult result = finish(std::move(sums));
  result.particle = std::move(row_particle);
  keep_rows_with_pairs(result);
  return result;
}

// The sums of `data` with lags in frames of the data (times the stride of
// its grid), and the notes of the run; `ids` receives every particle id.
LagSums sums_of(const TrajectoryData& data, const AnalysisOptions& options, std::vector<std::int64_t>* ids = nullptr) {
  LagSums sums;
  sums.estimator = options.pairs;
  sums.quantities = options.quantities;
  Setup setup = setup_of(options);
  AnalysisResult shape;
  shape.quantities = options.quantities;
  shape.wave_numbers = checked_waves(options);
  detail::ParticleSet set(data, options.pairs);
  shape.lag = prepare_lags(set, options.lags);
  const detail::MomentNeeds needs = needs_of(options.quantities);
  sums.dimensions = set.dimensions();
  AnalysisOptions without_errors = options;
  without_errors.errors = false;
  if (one_pass(data, options.quantities)) {
    AnalysisResult pass;
    pass.wave_numbers = shape.wave_numbers;
    pass.lag = shape.lag;
    run_pass(set, without_errors, setup, {needs, kAllDirections}, pass);
    sums.pairs = std::move(pass.pairs);
    take_joint_pass(pass, needs, sums);
  } else {
    if (options.errors && set.dimensions() != 2) {
      throw AnalysisError(Kind::kInvalidOptions, "standard errors are computed in two dimensions only");
    }
    sum_by_axis(set, without_errors, needs, shape, pooled_runner(setup, shape), sums);
  }
  if (options.errors) {
    detail::RunControl control(options, 1.0);
    sums.errors = detail::error_sums(set, shape.lag, shape.wave_numbers, options.quantities, control, setup.threads);
    control.finish();
  }
  sums.wave_numbers = std::move(shape.wave_numbers);
  sums.lag = std::move(shape.lag);
  note_stride(shape, set.stride());
  for (long& lag : sums.lag) lag *= set.stride();
  sums.notes.insert(sums.notes.begin(), setup.notes.begin(), setup.notes.end());
  sums.notes.insert(sums.notes.end(), shape.notes.begin(), shape.notes.end());
  if (ids != nullptr) *ids = set.all_ids();
  return sums;
}

// The standard errors of msd_x and msd_y: each axis's msd is the msd of
// that axis beside a second one that only marks validity (0 where both
// positions are valid, NaN elsewhere), so the joint pass's msd errors serve.
void add_axis_msd_errors(const TrajectoryData& data, const AnalysisOptions& options, StandardErrors& errors) {
  AnalysisOptions msd_alone = options;
  msd_alone.quantities = Quantities{true, false, false, false, false, false, false};
  std::vector<double> validity(data.x.size());
  for (std::size_t i = 0; i < validity.size(); ++i) validity[i] = data.x[i] * 0.0 + data.y[i] * 0.0;
  for (const std::span<const double> axis : {data.x, data.y}) {
    StandardErrors own = run_analysis({axis, validity, data.frame, data.particle}, msd_alone).errors;
    if (errors.groups.empty()) errors.groups = std::move(own.groups);
    errors.msd_axis.push_back(std::move(own.msd));
  }
}

// The finished two-dimensional columns with their standard errors, from the
// spread of particle groups or of windows within a long particle (see
// standard_errors.h), as the joint pass forms them.
AnalysisResult with_errors(const TrajectoryData& data, const AnalysisOptions& options) {
  AnalysisOptions rest = options;
  rest.errors = false;
  AnalysisResult result = finish(sums_of(data, rest));
  const Setup setup = setup_of(options);
  const detail::ParticleSet set(data, options.pairs);
  // The errors' pass counts lags on the set's grid of frames.
  for (long& lag : result.lag) lag /= set.stride();
  detail::RunControl control(options, 1.0);
  detail::add_standard_errors(set, result, control, setup.threads);
  control.rethrow();
  control.finish();
  for (long& lag : result.lag) lag *= set.stride();
  if (options.quantities.msd_axes) add_axis_msd_errors(data, options, result.errors);
  return result;
}

}  // namespace

AnalysisResult analyse(const TrajectoryData& data, const AnalysisOptions& options) {
  try {
    if (options.per_particle) return run_per_particle(data, options);
    if (one_pass(data, options.quantities)) return run_analysis(data, options);
    if (options.errors && data.dimensions() == 2) return with_errors(data, options);
    return finish(sums_of(data, options));
  } catch (const std::bad_alloc&) {
    throw AnalysisError(Kind::kOutOfMemory, "memory ran out; ask for fewer lags or wave numbers, or fewer threads");
  }
}

LagSums lag_sums(const TrajectoryData& data, const AnalysisOptions& options, const std::vector<std::string>& ids) {
  AnalysisOptions fixed = options;
  fixed.lags = fixed_lags(options.lags);
  LagSums sums;
  std::vector<std::int64_t> all_ids;
  try {
    sums = sums_of(data, fixed, &all_ids);
  } catch (const std::bad_alloc&) {
    throw AnalysisError(Kind::kOutOfMemory, "memory ran out; ask for fewer lags or wave numbers, or fewer threads");
  }
  if (!options.quantities.scattering && !options.quantities.fs) sums.wave_numbers.clear();
  // Every particle of the data, keyed by its id as the user wrote it.
  for (const std::int64_t id : all_ids) {
    const bool named = id >= 0 && static_cast<std::size_t>(id) < ids.size();
    const std::string text = named ? ids[static_cast<std::size_t>(id)] : std::to_string(id);
    sums.particles.push_back({particle_key(text), text});
  }
  std::sort(sums.particles.begin(), sums.particles.end());
  return sums;
}

namespace {

// The per-axis columns and those formed from them, from the axis sums and
// the finished msd.
void add_axis_columns(const LagSums& sums, AnalysisResult& result) {
  const Quantities& q = result.quantities;
  const std::size_t rows = result.rows();
  auto means_of = [&](const std::vector<std::vector<double>>& axis_sums) {
    std::vector<std::vector<double>> means(axis_sums.size(), std::vector<double>(rows));
    for (std::size_t a = 0; a < axis_sums.size(); ++a) {
      for (std::size_t r = 0; r < rows; ++r) means[a][r] = axis_sums[a][r] / static_cast<double>(result.pairs[r]);
    }
    return means;
  };
  if (q.msd_axes) result.msd_axis = means_of(sums.axis_s2);
  if (q.mean_axes || q.msd_centered) result.mean_axis = means_of(sums.axis_s1);
  if (q.msd_centered) {
    result.msd_centered.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      double drift = 0.0;
      for (const auto& mean : result.mean_axis) drift += mean[r] * mean[r];
      result.msd_centered[r] = result.msd[r] - drift;
    }
  }
  if (!q.mean_axes) std::vector<std::vector<double>>().swap(result.mean_axis);
  if (q.alpha2 && sums.r4.size() == rows) {
    const double d = result.dimensions;
    result.alpha2.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      const double quartic = sums.r4[r] / static_cast<double>(result.pairs[r]);
      result.alpha2[r] = d * quartic / ((d + 2.0) * (result.msd[r] * result.msd[r])) - 1.0;
    }
  }
}

}  // namespace

AnalysisResult finish(const LagSums& sums) { return finish(LagSums(sums)); }

AnalysisResult finish(LagSums&& sums) {
  AnalysisResult result;
  result.dimensions = sums.dimensions;
  result.quantities = sums.quantities;
  result.wave_numbers = std::move(sums.wave_numbers);
  result.lag = std::move(sums.lag);
  result.notes = std::move(sums.notes);
  const std::size_t rows = result.lag.size();
  result.pairs = std::move(sums.pairs);
  for (auto [into, from] : {std::pair{&result.md, &sums.s1}, {&result.msd, &sums.s2}, {&result.mcd, &sums.s3},
                            {&result.mqd, &sums.s4}}) {
    if (from->size() == rows) *into = std::move(*from);
  }
  const Quantities& q = sums.quantities;
  if (q.ngp) detail::assign_huge(result.ngp, rows, 0.0);
  if (q.skewness) detail::assign_huge(result.skewness, rows, 0.0);
  for (auto [into, from] : {std::pair{&result.cos_x, &sums.cos_x}, {&result.cos_y, &sums.cos_y},
                            {&result.cos_z, &sums.cos_z}, {&result.cos_r, &sums.cos_r},
                            {&result.sin_x, &sums.sin_x}, {&result.sin_y, &sums.sin_y},
                            {&result.sin_z, &sums.sin_z}, {&result.sin_r, &sums.sin_r}, {&result.fs, &sums.fs}}) {
    *into = std::move(*from);
  }
  finalise(result, detail::thread_count(0));
  add_axis_columns(sums, result);
  if (!sums.errors.empty()) result.errors = detail::errors_from_sums(sums.errors, result);
  drop_unwanted(result, result.quantities);
  return result;
}

}  // namespace msdisf
