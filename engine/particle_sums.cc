#include "engine/particle_sums.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "engine/cost_model.h"
#include "engine/moment_kernel.h"
#include "engine/pair_terms.h"
#include "engine/parallel.h"
#include "engine/phase_channels.h"
#include "engine/phase_sincos.h"

namespace msdisf::detail {

namespace {

// The FFT correlation's error in each lag's sum is bounded by about
// c * eps * log2(size) * sum |z|^2, with sum |z|^2 = the valid entries and
// c below 10 for a forward transform, a squared modulus and a backward
// transform. Divided by the lag's pair count, it stays below 1e-10 (a tenth
// of the promise) when pairs >= 10 * 1.1e-16 * 1e10 * log2(size) * valid;
// lags with fewer pairs are summed directly.
double fft_min_pairs(long valid, long size) {
  return std::max(1.0, 1.1e-5 * std::log2(static_cast<double>(size)) * static_cast<double>(valid));
}

bool valid_at(const double* x, const double* y, long i) { return !std::isnan(x[i]) && !std::isnan(y[i]); }

long valid_count(const ParticleRecords& r) {
  long n = 0;
  for (long i = 0; i < r.count; ++i) n += valid_at(r.x, r.y, i) ? 1 : 0;
  return n;
}

// Sum over the requested lags of the candidate origins on the frame grid.
double grid_pairs(long grid, std::span<const long> lags) {
  double total = 0.0;
  for (const long lag : lags) total += static_cast<double>(std::max(grid - lag, 0L));
  return total;
}

struct DenseChoice {
  bool fft;
  long fft_size;
  double work;
};

DenseChoice dense_choice(long grid, long valid, std::span<const long> lags, int waves) {
  const double channels = 3.0 * waves;
  const double fill = kPhaseCost * static_cast<double>(valid) + static_cast<double>(grid);
  const double pairs = grid_pairs(grid, lags);
  const double direct = kProductCost * pairs;
  const long size = fft_size(2 * grid - 1);
  // Lags whose pairs are too few for the FFT (at most about min_pairs of them
  // at the end of the grid, with as many candidates each) are summed directly.
  const double tail = std::min(fft_min_pairs(2 * valid, size), static_cast<double>(grid));
  const double fft = channel_transform_cost(static_cast<double>(size)) + kProductCost * std::min(direct, tail * tail);
  const double moments = kLaneCost * pairs;
  return {fft < direct, size, moments + channels * (fill + std::min(fft, direct))};
}

void add_moments_at(const SumsView& out, long row, double dx, double dy) {
  // The pair kernel's order, with the term added to the sum from the left.
  if (out.s2 != nullptr) out.s2[row] = (dx * dx + dy * dy) + out.s2[row];
  ++out.pairs[row];
  add_moment(out.s1, row, dx + dy);
  if (out.s3 != nullptr) out.s3[row] = (dx * dx * dx + dy * dy * dy) + out.s3[row];
  if (out.s4 != nullptr) out.s4[row] = (dx * dx * dx * dx + dy * dy * dy * dy) + out.s4[row];
}

void add_phases_at(const SumsView& out, long row, int wave, const PairPhases& p) {
  for (int d = 0; d < 3; ++d) {
    if (!out.wants(d)) continue;
    out.column(kCosX + d, wave)[row] += p.cos[d];
    out.column(kSinX + d, wave)[row] += p.sin[d];
  }
}

// ---------------------------------------------------------------- exact

void exact_sums(const ParticleRecords& r, std::span<const long> lags, const SumsContext& context, const SumsView& out,
                int threads) {
  const long rows = static_cast<long>(lags.size());
  const int waves = static_cast<int>(context.waves.size());
  const double per_row = static_cast<double>(r.count) * (1.0 + 3.0 * waves * kSincosCost);
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads) if (threads > 1 && rows > 1)
  for (long row = 0; row < rows; ++row) {
    if (context.control.stopped()) continue;
    context.control.guarded([&] {
      const long lag = lags[static_cast<std::size_t>(row)];
      MomentSums sums;
      // Scattering terms continue the running sums already in `out`.
      std::vector<double> cos(static_cast<std::size_t>(3 * waves)), sin(cos.size());
      for (int m = 0; m < waves; ++m) {
        for (int d = 0; d < 3; ++d) {
          if (!out.wants(d)) continue;
          cos[static_cast<std::size_t>(3 * m + d)] = out.column(kCosX + d, m)[row];
          sin[static_cast<std::size_t>(3 * m + d)] = out.column(kSinX + d, m)[row];
        }
      }
      long end = 0;
      for (long a = 0; a < r.count; ++a) {
        const std::int64_t target = r.frame[a] + lag;
        while (end < r.count && r.frame[end] < target) ++end;
        if (end == r.count) break;
        if (r.frame[end] != target || !valid_at(r.x, r.y, a) || !valid_at(r.x, r.y, end)) continue;
        const double dx = r.x[end] - r.x[a];
        const double dy = r.y[end] - r.y[a];
        add_moments(sums, dx, dy);
        for (int m = 0; m < waves; ++m) {
          const PairPhases p = pair_phases(dx, dy, context.waves[static_cast<std::size_t>(m)]);
          for (int d = 0; d < 3; ++d) {
            cos[static_cast<std::size_t>(3 * m + d)] += p.cos[d];
            sin[static_cast<std::size_t>(3 * m + d)] += p.sin[d];
          }
        }
      }
      out.s1[row] = out.s1[row] + sums.s1;
      out.s2[row] = out.s2[row] + sums.s2;
      out.s3[row] = out.s3[row] + sums.s3;
      out.s4[row] = out.s4[row] + sums.s4;
      out.pairs[row] += sums.pairs;
      for (int m = 0; m < waves; ++m) {
        for (int d = 0; d < 3; ++d) {
          if (!out.wants(d)) continue;
          out.column(kCosX + d, m)[row] = cos[static_cast<std::size_t>(3 * m + d)];
          out.column(kSinX + d, m)[row] = sin[static_cast<std::size_t>(3 * m + d)];
        }
      }
      context.control.advance(per_row);
    });
  }
}

// ---------------------------------------------------------------- sparse

// Row of a lag, or -1 when the lag is not requested.
class RowLookup {
 public:
  explicit RowLookup(std::span<const long> lags)
      : lags_(lags), from_one_(!lags.empty() && lags.back() == static_cast<long>(lags.size())) {}
  long operator()(long lag) const {
    if (from_one_) return lag >= 1 && lag <= static_cast<long>(lags_.size()) ? lag - 1 : -1;
    const auto at = std::lower_bound(lags_.begin(), lags_.end(), lag);
    return at != lags_.end() && *at == lag ? static_cast<long>(at - lags_.begin()) : -1;
  }

 private:
  std::span<const long> lags_;
  bool from_one_;
};

// The valid records of a particle, in order.
struct ValidRecords {
  std::vector<double> x, y;
  std::vector<std::int64_t> frame;
  long count() const { return static_cast<long>(x.size()); }
};

ValidRecords valid_records(const ParticleRecords& r) {
  ValidRecords valid;
  for (long i = 0; i < r.count; ++i) {
    if (!valid_at(r.x, r.y, i)) continue;
    valid.x.push_back(r.x[i]);
    valid.y.push_back(r.y[i]);
    valid.frame.push_back(r.frame[i]);
  }
  return valid;
}

// Phase factors [(3 * wave + direction) * n + record] of n records, for
// the waves whose phases stay within the phase limit; `plain` marks the
// others, which use the plain kernel per pair.
struct SparseFactors {
  std::vector<char> plain;
  std::vector<double> re, im;
};

SparseFactors sparse_factors(const ValidRecords& records, const SumsContext& context) {
  const long n = records.count();
  const std::vector<double>& x = records.x;
  const std::vector<double>& y = records.y;
  const int waves = static_cast<int>(context.waves.size());
  const double excursion = largest_excursion(x.data(), y.data(), n);
  SparseFactors f;
  f.plain.resize(static_cast<std::size_t>(waves));
  f.re.resize(static_cast<std::size_t>(3 * waves * n));
  f.im.resize(f.re.size());
  std::vector<double> phases(static_cast<std::size_t>(n)), cos_sin(static_cast<std::size_t>(2 * n));
  for (int m = 0; m < waves; ++m) {
    const double q = context.waves[static_cast<std::size_t>(m)];
    f.plain[static_cast<std::size_t>(m)] = std::fabs(q) * excursion > context.phase_limit;
    if (f.plain[static_cast<std::size_t>(m)]) continue;
    for (int d = 0; d < 3; ++d) {
      for (long a = 0; a < n; ++a) {
        phases[static_cast<std::size_t>(a)] =
            phase_of(d, q, x[static_cast<std::size_t>(a)], y[static_cast<std::size_t>(a)], x[0], y[0]);
      }
      phase_sincos(phases.data(), n, cos_sin.data());
      for (long a = 0; a < n; ++a) {
        const auto at = static_cast<std::size_t>((3 * m + d) * n + a);
        f.re[at] = cos_sin[static_cast<std::size_t>(2 * a)];
        f.im[at] = cos_sin[static_cast<std::size_t>(2 * a + 1)];
      }
    }
  }
  return f;
}

void sparse_sums(const ParticleRecords& r, std::span<const long> lags, const SumsContext& context,
                 const SumsView& out) {
  const ValidRecords records = valid_records(r);
  const long n = records.count();
  if (n < 2 || lags.empty()) return;
  const std::vector<double>& x = records.x;
  const std::vector<double>& y = records.y;
  const std::vector<std::int64_t>& frame = records.frame;
  const int waves = static_cast<int>(context.waves.size());
  const SparseFactors f = sparse_factors(records, context);
  const RowLookup row_of(lags);
  const long last_lag = lags.back();
  for (long a = 0; a < n; ++a) {
    if (context.control.stopped()) return;
    long pairs = 0;
    for (long b = a + 1; b < n; ++b) {
      const long lag = static_cast<long>(frame[static_cast<std::size_t>(b)] - frame[static_cast<std::size_t>(a)]);
      if (lag > last_lag) break;
      const long row = row_of(lag);
      if (row < 0) continue;
      ++pairs;
      const double dx = x[static_cast<std::size_t>(b)] - x[static_cast<std::size_t>(a)];
      const double dy = y[static_cast<std::size_t>(b)] - y[static_cast<std::size_t>(a)];
      add_moments_at(out, row, dx, dy);
      for (int m = 0; m < waves; ++m) {
        if (f.plain[static_cast<std::size_t>(m)]) {
          add_phases_at(out, row, m, pair_phases(dx, dy, context.waves[static_cast<std::size_t>(m)]));
          continue;
        }
        for (int d = 0; d < 3; ++d) {
          if (!out.wants(d)) continue;
          const auto ia = static_cast<std::size_t>((3 * m + d) * n + a);
          const auto ib = static_cast<std::size_t>((3 * m + d) * n + b);
          // conj(z_a) * z_b = exp(i q (u_b - u_a))
          out.column(kCosX + d, m)[row] += f.re[ia] * f.re[ib] + f.im[ia] * f.im[ib];
          out.column(kSinX + d, m)[row] += f.re[ia] * f.im[ib] - f.im[ia] * f.re[ib];
        }
      }
    }
    context.control.advance(static_cast<double>(pairs) * (kPairCost + 3.0 * waves * kProductCost) +
                            3.0 * waves * kPhaseCost);
  }
}

// ---------------------------------------------------------------- dense

// A dense particle's records, laid out on its grid, and where its sums go.
struct DenseParticle {
  const ParticleRecords& records;
  const PaddedRange& grid;
  std::span<const long> lags;
  const SumsContext& context;
  const SumsView& out;
};

// The moment sums of every requested lag, in chunks of rows, so that
// progress is reported and a cancellation is seen within a fraction of a
// second.
std::vector<LagMoments> dense_moments(const DenseParticle& particle, int threads) {
  const PaddedRange& grid = particle.grid;
  const std::span<const long> lags = particle.lags;
  const long rows = static_cast<long>(lags.size());
  std::vector<LagMoments> moments(static_cast<std::size_t>(rows));
  constexpr long kChunk = 1024;
  for (long first = 0; first < rows && !particle.context.control.stopped(); first += kChunk) {
    const long count = std::min(kChunk, rows - first);
    lag_moment_sums_for(grid, lags.data() + first, count, moments.data() + first, threads);
    particle.context.control.advance(
        kLaneCost *
        grid_pairs(grid.length(), lags.subspan(static_cast<std::size_t>(first), static_cast<std::size_t>(count))));
  }
  return moments;
}

void add_lag_moments(const std::vector<LagMoments>& moments, const SumsView& out) {
  for (std::size_t row = 0; row < moments.size(); ++row) {
    const LagMoments& m = moments[row];
    out.s1[row] = out.s1[row] + m.s1;
    out.s2[row] = out.s2[row] + m.s2;
    out.s3[row] = out.s3[row] + m.s3;
    out.s4[row] = out.s4[row] + m.s4;
    out.pairs[row] += static_cast<long>(m.pairs);
  }
}

// The scattering sums of a dense particle, channel (3 * wave + direction)
// by channel: by FFT for all lags at once or directly for the requested
// lags, as `choice` says, and pair by pair with the plain kernel where the
// phases pass the phase limit. On the FFT path channels go in pairs: both
// squared spectra are real, so one backward transform of |Z1|^2 + i |Z2|^2
// yields both autocorrelations.
class DenseScattering {
 public:
  DenseScattering(const DenseParticle& particle, const DenseChoice& choice, const std::vector<LagMoments>& moments,
                  long valid)
      : grid_(particle.grid),
        lags_(particle.lags),
        context_(particle.context),
        out_(particle.out),
        choice_(choice),
        rows_(static_cast<long>(lags_.size())),
        length_(grid_.length()),
        buffer_size_(choice.fft ? choice.fft_size : length_),
        scale_(1.0 / static_cast<double>(buffer_size_)),
        channel_work_(choice.work / (3.0 * static_cast<double>(context_.waves.size()))),
        excursion_(largest_excursion(particle.records.x, particle.records.y, particle.records.count)) {
    for (long a = 0; a < length_; ++a) {
      if (grid_.valid()[a] != 0) {
        x0_ = grid_.x()[a];
        y0_ = grid_.y()[a];
        break;
      }
    }
    // Rows summed directly even on the FFT path: those with few pairs. A
    // paired backward transform carries both channels' roundoff.
    direct_row_.assign(static_cast<std::size_t>(rows_), choice.fft ? 0 : 1);
    for (long row = 0; row < rows_; ++row) {
      if (moments[static_cast<std::size_t>(row)].pairs < fft_min_pairs(2 * valid, choice.fft_size)) {
        direct_row_[static_cast<std::size_t>(row)] = 1;
      }
    }
    pair_channels();
  }

  // Large transforms take their channels one at a time, each transform on
  // every thread, so that one set of buffers is held instead of one per
  // thread.
  void run(int threads) {
    const bool wide = choice_.fft && threads > 1 &&
                      kTransformBytesPerPoint * static_cast<double>(buffer_size_) * threads > context_.transform_budget;
    const int channel_threads = wide ? 1 : threads;
    const std::shared_ptr<const FftPlans> plans =
        choice_.fft ? context_.plans.get(choice_.fft_size, wide ? threads : 1) : nullptr;
    on_team(channel_threads, [&] {
      std::optional<FftBuffer> buffer;
      Scratch scratch;
      context_.control.guarded([&] {
        buffer.emplace(make_fft_buffer(buffer_size_));
        if (choice_.fft) scratch.spectrum.resize(static_cast<std::size_t>(buffer_size_));
      });
#pragma omp for schedule(dynamic, 1)
      for (std::size_t item = 0; item < items_.size(); ++item) {
        if (context_.control.stopped()) continue;
        context_.control.guarded([&] {
          const auto [first, second] = items_[item];
          run_item(first, second, buffer->get(), plans.get(), scratch);
          context_.control.advance(channel_work_ * (second >= 0 ? 2.0 : 1.0));
        });
      }
    });
  }

 private:
  // One thread's scratch: phases while filling, a squared spectrum.
  struct Scratch {
    std::vector<double> phases, spectrum;
  };

  bool plain(int channel) const {
    return std::fabs(context_.waves[static_cast<std::size_t>(channel / 3)]) * excursion_ > context_.phase_limit;
  }

  // Work items of one or two channels: pairs on the FFT path, except for
  // plain channels.
  void pair_channels() {
    const int channels = 3 * static_cast<int>(context_.waves.size());
    int waiting = -1;
    for (int channel = 0; channel < channels; ++channel) {
      if (!out_.wants(channel % 3)) continue;
      if (plain(channel) || !choice_.fft) {
        items_.emplace_back(channel, -1);
      } else if (waiting < 0) {
        waiting = channel;
      } else {
        items_.emplace_back(waiting, channel);
        waiting = -1;
      }
    }
    if (waiting >= 0) items_.emplace_back(waiting, -1);
  }

  double* cos_column(int channel) const { return out_.column(kCosX + channel % 3, channel / 3); }
  double* sin_column(int channel) const { return out_.column(kSinX + channel % 3, channel / 3); }

  // Fills z with the channel's phase factors and adds its direct rows.
  void start_channel(int channel, fftw_complex* z, Scratch& scratch) const {
    const int m = channel / 3, d = channel % 3;
    fill_phases(grid_, d, context_.waves[static_cast<std::size_t>(m)], x0_, y0_, z, scratch.phases);
    std::fill(&z[length_][0], &z[0][0] + 2 * buffer_size_, 0.0);
    double* cos = cos_column(channel);
    double* sin = sin_column(channel);
    for (long row = 0; row < rows_; ++row) {
      if (!direct_row_[static_cast<std::size_t>(row)]) continue;
      double re = 0.0, im = 0.0;
      direct_correlation(z, length_, lags_[static_cast<std::size_t>(row)], re, im);
      cos[row] += re;
      sin[row] += im;
    }
  }

  void run_item(int first, int second, fftw_complex* z, const FftPlans* plans, Scratch& scratch) const {
    const int m = first / 3, d = first % 3;
    const double q = context_.waves[static_cast<std::size_t>(m)];
    if (std::fabs(q) * excursion_ > context_.phase_limit) {
      plain_channel(grid_, d, q, lags_, cos_column(first), sin_column(first));
    } else if (!choice_.fft) {
      start_channel(first, z, scratch);
    } else {
      correlate_by_fft(first, second, z, plans, scratch);
    }
  }

  // |Z|^2 transformed back is the circular autocorrelation, which the zero
  // padding to >= 2 * length - 1 makes the plain one.
  void correlate_by_fft(int first, int second, fftw_complex* z, const FftPlans* plans, Scratch& scratch) const {
    std::vector<double>& spectrum = scratch.spectrum;
    start_channel(first, z, scratch);
    plans->forward(z);
    for (long k = 0; k < buffer_size_; ++k) {
      spectrum[static_cast<std::size_t>(k)] = z[k][0] * z[k][0] + z[k][1] * z[k][1];
    }
    if (second >= 0) {
      start_channel(second, z, scratch);
      plans->forward(z);
    }
    for (long k = 0; k < buffer_size_; ++k) {
      const double other = second >= 0 ? z[k][0] * z[k][0] + z[k][1] * z[k][1] : 0.0;
      z[k][0] = spectrum[static_cast<std::size_t>(k)];
      z[k][1] = other;
    }
    plans->backward(z);
    // W = a + i b with a, b Hermitian: a(L) = (W(L) + conj W(-L)) / 2,
    // b(L) = (W(L) - conj W(-L)) / 2i.
    double* cos = cos_column(first);
    double* sin = sin_column(first);
    double* cos2 = second >= 0 ? cos_column(second) : nullptr;
    double* sin2 = second >= 0 ? sin_column(second) : nullptr;
    for (long row = 0; row < rows_; ++row) {
      if (direct_row_[static_cast<std::size_t>(row)]) continue;
      const long lag = lags_[static_cast<std::size_t>(row)];
      const double wr = z[lag][0], wi = z[lag][1];
      const double mr = z[buffer_size_ - lag][0], mi = z[buffer_size_ - lag][1];
      cos[row] += (wr + mr) * 0.5 * scale_;
      sin[row] += (wi - mi) * 0.5 * scale_;
      if (second >= 0) {
        cos2[row] += (wi + mi) * 0.5 * scale_;
        sin2[row] += (mr - wr) * 0.5 * scale_;
      }
    }
  }

  const PaddedRange& grid_;
  const std::span<const long> lags_;
  const SumsContext& context_;
  const SumsView& out_;
  const DenseChoice choice_;
  const long rows_;
  const long length_;
  const long buffer_size_;
  const double scale_;
  const double channel_work_;
  const double excursion_;
  double x0_ = 0.0, y0_ = 0.0;    // the first valid position
  std::vector<char> direct_row_;  // per row: summed directly
  std::vector<std::pair<int, int>> items_;
};

void dense_sums(const ParticleRecords& r, std::span<const long> lags, const SumsContext& context, const SumsView& out,
                int threads) {
  const PaddedRange grid(r.x, r.y, r.frame, r.count);
  const DenseParticle particle{r, grid, lags, context, out};
  const long valid = valid_count(r);
  const DenseChoice choice = dense_choice(grid.length(), valid, lags, static_cast<int>(context.waves.size()));
  const std::vector<LagMoments> moments = dense_moments(particle, threads);
  if (context.control.stopped()) return;
  add_lag_moments(moments, out);
  DenseScattering(particle, choice, moments, valid).run(threads);
}

}  // namespace

ParticleCost particle_cost(const ParticleRecords& records, std::span<const long> lags, int waves, Method method,
                           int threads, double transform_budget) {
  const long valid = valid_count(records);
  const double channels = 3.0 * waves;
  if (method == Method::kExact) {
    return {static_cast<double>(lags.size()) * static_cast<double>(records.count) * (1.0 + channels * kSincosCost), 0.0,
            false};
  }
  const long grid = records.span() + 1;
  const double n = static_cast<double>(valid);
  const double sparse = n * (n - 1.0) / 2.0 * (kPairCost + channels * kProductCost) + n * channels * kPhaseCost;
  // A grid of more than 2^40 frames could not be held, whatever it would cost.
  if (grid > (long{1} << 40)) return {sparse, n * (channels * 16.0 + 24.0), false};
  const DenseChoice dense = dense_choice(grid, valid, lags, waves);
  if (sparse <= dense.work) return {sparse, n * (channels * 16.0 + 24.0), false};
  const double per_thread =
      (dense.fft ? kTransformBytesPerPoint : 16.0) * static_cast<double>(dense.fft ? dense.fft_size : grid);
  const double all_threads = static_cast<double>(threads) * per_thread;
  const double buffers = dense.fft && all_threads > transform_budget ? per_thread : all_threads;
  return {dense.work, 24.0 * static_cast<double>(grid + PaddedRange::kPadding) + buffers, true};
}

void add_pair_sums(const ParticleRecords& records, std::span<const long> lags, const SumsContext& context,
                   const SumsView& out) {
  if (!lags.empty() && records.count >= 2) sparse_sums(records, lags, context, out);
}

void add_particle_sums(const ParticleRecords& records, std::span<const long> lags, const SumsContext& context,
                       const SumsView& out, int threads) {
  if (lags.empty() || records.count < 2) return;
  if (context.method == Method::kExact) {
    exact_sums(records, lags, context, out, threads);
  } else if (particle_cost(records, lags, static_cast<int>(context.waves.size()), context.method, threads,
                           context.transform_budget)
                 .dense) {
    dense_sums(records, lags, context, out, threads);
  } else {
    sparse_sums(records, lags, context, out);
  }
}

}  // namespace msdisf::detail
