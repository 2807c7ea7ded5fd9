#include "engine/phase_correlation.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <vector>

#include "engine/correlation_packs.h"
#include "engine/cost_model.h"
#include "engine/lag_selection.h"
#include "engine/parallel.h"
#include "engine/phase_channels.h"

namespace msdisf::detail {

namespace {

// Short grids share transforms of about this many points: small enough to
// stay in cache, large enough to spare per-call costs.
constexpr long kPackPoints = 2048;

// Small transforms run fastest at powers of two, even where a size of small
// primes just above n is closer to it.
long pack_size(long n) {
  return n <= 4096 ? static_cast<long>(std::bit_ceil(static_cast<unsigned long>(n))) : fft_size(n);
}

struct GridPhases {
  double x0 = 0.0;
  double y0 = 0.0;
  double excursion = 0.0;
  long valid = 0;
};

GridPhases phases_of(const PaddedRange& grid) {
  GridPhases g;
  bool first = true;
  for (long a = 0; a < grid.length(); ++a) {
    if (grid.valid()[a] == 0) continue;
    if (first) {
      g.x0 = grid.x()[a];
      g.y0 = grid.y()[a];
      first = false;
    }
    ++g.valid;
  }
  g.excursion = largest_excursion(grid.x(), grid.y(), grid.length());
  return g;
}

// The largest lag the transforms form. A long grid's transform must hold
// its length plus that lag; the few largest of log-spaced lags cost less
// summed directly than the longer transform (for 10^7 frames, 2^24 points
// instead of 81 * 2^18). Chosen among the requested lags by rough cost.
long transform_top(const std::vector<Segment>& segments, std::span<const long> lags, long top) {
  std::vector<long> lengths;
  for (const Segment& s : segments) {
    if (s.grid->length() > kPackPoints) lengths.push_back(s.grid->length());
  }
  const std::size_t rows = lags_within(lags, top).size();
  if (lengths.empty() || static_cast<double>(lengths.size()) * static_cast<double>(rows) > 1e7) return top;
  // suffix[r]: the sum of lags r.. of the rows up to top.
  std::vector<double> suffix(rows + 1, 0.0);
  for (std::size_t r = rows; r-- > 0;) suffix[r] = suffix[r + 1] + static_cast<double>(lags[r]);
  auto cost = [&](std::size_t cut) {  // the transforms form rows [0, cut)
    const long t = cut == 0 ? 0 : lags[cut - 1];
    double total = 0.0;
    for (const long length : lengths) {
      const double n = static_cast<double>(pack_size(length + std::min(t, length - 1)));
      total += channel_transform_cost(n);
      // Rows past the cut with a pair in this grid: lags below its length.
      const auto end = static_cast<std::size_t>(
          std::lower_bound(lags.begin() + static_cast<long>(cut), lags.begin() + static_cast<long>(rows), length) -
          lags.begin());
      const double product = length > (1L << 18) ? kStreamedProductCost : kProductCost;
      total += product * (static_cast<double>(length) * static_cast<double>(end - cut) - (suffix[cut] - suffix[end]));
    }
    return total;
  };
  std::size_t best = rows;
  double best_cost = cost(rows);
  // Cuts stay at or above the pack size, so that grids sharing a pack
  // (all shorter than that) never have a lag past the cut.
  for (std::size_t cut = rows; cut-- > 1 && lags[cut - 1] >= kPackPoints;) {
    const double c = cost(cut);
    if (c < best_cost) best = cut, best_cost = c;
  }
  return best == rows ? top : lags[best - 1];
}

struct PackPlan {
  long rows = 0;            // the rows whose lag the pack can have
  long transform_rows = 0;  // those the transform forms (lags up to the pack's max_lag)
  long length = 0;          // entries used in the array
  long valid = 0;
  bool fft = false;
};

}  // namespace

struct PhaseLayout::Parts {
  std::span<const long> lags;
  std::vector<Segment> segments;  // one per grid of at least two entries, shortest first
  std::vector<GridPhases> phases;
  std::vector<Pack> packs;
};

namespace {

class Scattering {
 public:
  Scattering(const PhaseLayout::Parts& layout, std::span<const double> waves, std::span<const long> pairs,
             const CorrelationContext& context)
      : lags_(layout.lags),
        waves_(waves),
        context_(context),
        segments_(layout.segments),
        phases_(layout.phases),
        packs_(layout.packs) {
    plan_packs(pairs);
  }

  double work() const { return work_; }

  void run(const SumsView& out, double transform_budget) {
    directions_ = 0;
    for (int d = 0; d < 3; ++d) directions_ |= out.wants(d) ? 1u << d : 0u;
    const int threads = context_.threads;
    if (static_cast<long>(packs_.size()) < 2L * threads) {
      for (std::size_t p = 0; p < packs_.size() && !context_.control.stopped(); ++p) {
        run_channels_in_parallel(p, out, transform_budget);
      }
      return;
    }
    // Many packs: one per thread, each into its own columns, pooled in order.
    const int columns = kGroups * static_cast<int>(waves_.size());
    const long slots = 4L * threads;
    std::vector<std::vector<double>> own(static_cast<std::size_t>(slots));
    std::vector<std::optional<Buffers>> buffers(static_cast<std::size_t>(threads));
    run_in_order(
        static_cast<long>(packs_.size()), threads, slots,
        [&](long p, long slot) {
          context_.control.guarded([&] {
            const PackPlan& plan = plans_[static_cast<std::size_t>(p)];
            auto& columns_of_pack = own[static_cast<std::size_t>(slot)];
            columns_of_pack.assign(static_cast<std::size_t>(columns * plan.rows), 0.0);
            auto& buffer = buffers[static_cast<std::size_t>(omp_get_thread_num())];
            if (!buffer || buffer->size < packs_[static_cast<std::size_t>(p)].size) {
              buffer.emplace(packs_[static_cast<std::size_t>(p)].size);
            }
            auto column = [&](int group, int wave) {
              return columns_of_pack.data() + (group * static_cast<long>(waves_.size()) + wave) * plan.rows;
            };
            const auto plans = transform_plans(static_cast<std::size_t>(p), 1);
            for (const auto& item : items(static_cast<std::size_t>(p))) {
              run_item(static_cast<std::size_t>(p), item, *buffer, plans.get(), column);
            }
            context_.control.advance(pack_work(static_cast<std::size_t>(p)));
          });
        },
        [&](long p, long slot) {
          const long rows = plans_[static_cast<std::size_t>(p)].rows;
          const auto& columns_of_pack = own[static_cast<std::size_t>(slot)];
          for (int c = 0; c < columns; ++c) {
            double* target = out.scattering[static_cast<std::size_t>(c)];
            if (target == nullptr) continue;
            const double* source = columns_of_pack.data() + c * rows;
            for (long r = 0; r < rows; ++r) target[r] += source[r];
          }
        },
        [&] { return context_.control.stopped(); });
  }

 private:
  struct Buffers {
    explicit Buffers(long n)
        : size(n),
          z(make_fft_buffer(n)),
          w(n <= FftPlans::kOutOfPlaceLimit ? make_fft_buffer(n) : nullptr),
          spectrum(w != nullptr ? make_fft_buffer(n) : nullptr),
          squares(w != nullptr ? 0 : static_cast<std::size_t>(n)) {}
    long size;
    FftBuffer z;
    FftBuffer w;  // the transforms' output, for sizes transformed out of place
    // With out-of-place transforms the x and y factors of a wave stay put, so
    // that the x + y factors are their products rather than new sines and
    // cosines; `cached` says which pack and wave each holds.
    FftBuffer factors[2] = {w != nullptr ? make_fft_buffer(size) : nullptr,
                            w != nullptr ? make_fft_buffer(size) : nullptr};
    long cached[2] = {-1, -1};
    FftBuffer spectrum;           // the squared spectra, for sizes transformed out of place
    std::vector<double> squares;  // the first squared spectrum, in place
    std::vector<double> phases;
  };

  void plan_packs(std::span<const long> pairs) {
    const long rows = static_cast<long>(lags_.size());
    for (const Pack& pack : packs_) {
      PackPlan plan;
      long longest = 0;
      for (long i = 0; i < pack.count; ++i) {
        longest = std::max(longest, segments_[static_cast<std::size_t>(pack.first + i)].grid->length() - 1);
      }
      plan.transform_rows = static_cast<long>(lags_within(lags_, pack.max_lag).size());
      plan.rows = static_cast<long>(lags_within(lags_, longest).size());
      const Segment& last = segments_[static_cast<std::size_t>(pack.first + pack.count - 1)];
      plan.length = pack.offsets.back() + last.window;
      for (long i = 0; i < pack.count; ++i) plan.valid += phases_[static_cast<std::size_t>(pack.first + i)].valid;
      plans_.push_back(plan);
    }
    // Rows the transforms may serve, were every pack to use them: a row
    // with too few pairs for the summed bound is summed directly.
    direct_row_.assign(static_cast<std::size_t>(rows), 0);
    std::vector<double> bound(static_cast<std::size_t>(rows) + 1, 0.0);
    for (std::size_t p = 0; p < packs_.size(); ++p) {
      const double b = fft_error_factor(packs_[p].size) * 2.0 * static_cast<double>(plans_[p].valid);
      for (long r = 0; r < plans_[p].transform_rows; ++r) bound[static_cast<std::size_t>(r)] += b;
    }
    for (long r = 0; r < rows; ++r) {
      const auto at = static_cast<std::size_t>(r);
      direct_row_[at] = pairs[at] == 0 ? kNoPair : bound[at] > kTransformShare * static_cast<double>(pairs[at]);
    }
    const double channels = 3.0 * static_cast<double>(waves_.size());
    for (std::size_t p = 0; p < packs_.size(); ++p) {
      PackPlan& plan = plans_[p];
      double direct = 0.0, tail = 0.0;
      for (long r = 0; r < plan.rows; ++r) {
        const double pairs_here =
            kProductCost * static_cast<double>(std::max(plan.length - lags_[static_cast<std::size_t>(r)], 0L));
        if (direct_row_[static_cast<std::size_t>(r)] == kNoPair) continue;
        direct += pairs_here;
        if (direct_row_[static_cast<std::size_t>(r)] != 0 || r >= plan.transform_rows) tail += pairs_here;
      }
      const double transforms = channel_transform_cost(static_cast<double>(packs_[p].size));
      plan.fft = context_.prefer_transforms || transforms + tail < direct;
      work_ += channels * (pack_fill(p) + std::min(direct, transforms + tail));
    }
  }

  double pack_fill(std::size_t p) const {
    return kPhaseCost * static_cast<double>(plans_[p].valid) + static_cast<double>(packs_[p].size);
  }
  double pack_work(std::size_t p) const {
    return work_ * (static_cast<double>(packs_[p].size) / std::max(1.0, total_size()));
  }
  double total_size() const {
    double total = 0.0;
    for (const Pack& pack : packs_) total += static_cast<double>(pack.size);
    return total;
  }

  bool plain(std::size_t segment, int wave) const {
    return std::fabs(waves_[static_cast<std::size_t>(wave)]) * phases_[segment].excursion > kPhaseLimit;
  }

  // Channels (3 * wave + direction) one or two at a time: on the FFT path
  // two channels share the inverse transform, since both squared spectra
  // are real and one transform of |Z1|^2 + i |Z2|^2 yields both.
  // Only the wanted directions' channels are listed.
  std::vector<std::pair<int, int>> items(std::size_t p) const {
    std::vector<int> wanted;
    for (int c = 0; c < 3 * static_cast<int>(waves_.size()); ++c) {
      if ((directions_ >> (c % 3) & 1u) != 0) wanted.push_back(c);
    }
    const auto channels = wanted.size();
    std::vector<std::pair<int, int>> list;
    for (std::size_t i = 0; i < channels; i += 2) {
      if (plans_[p].fft && i + 1 < channels) {
        list.emplace_back(wanted[i], wanted[i + 1]);
      } else {
        list.emplace_back(wanted[i], -1);
        if (i + 1 < channels) list.emplace_back(wanted[i + 1], -1);
      }
    }
    return list;
  }

  std::shared_ptr<const FftPlans> transform_plans(std::size_t p, int threads) const {
    return plans_[p].fft ? context_.plans.get(packs_[p].size, threads) : nullptr;
  }

  // Phase factors of one channel for every grid of the pack, zero elsewhere,
  // and the directly summed rows of the channel.
  // Returns the buffer holding them.
  template <typename Column>
  fftw_complex* start_channel(std::size_t p, int channel, Buffers& buffers, Column&& column) {
    fftw_complex* z = fill_channel(p, channel, buffers);
    add_direct_rows(p, channel, z, column);
    return z;
  }

  // Fills the channel's phase factors into the buffer it returns: the x and
  // y factors where the buffers keep them, and the x + y factors from those
  // when both hold this pack and wave.
  fftw_complex* fill_channel(std::size_t p, int channel, Buffers& buffers) const {
    const Pack& pack = packs_[p];
    const int wave = channel / 3, d = channel % 3;
    const double q = waves_[static_cast<std::size_t>(wave)];
    const long key = static_cast<long>(p) * static_cast<long>(waves_.size()) + wave;
    const bool keep = d < 2 && buffers.factors[d] != nullptr;
    fftw_complex* z = keep ? buffers.factors[d].get() : buffers.z.get();
    if (d == 2 && directions_ == kAllDirections && buffers.cached[0] == key && buffers.cached[1] == key) {
      // e^{iq(u+v)} = e^{iqu} e^{iqv}; zero wherever either is, which
      // includes everything outside the grids.
      const fftw_complex* fx = buffers.factors[0].get();
      const fftw_complex* fy = buffers.factors[1].get();
      long written = 0;
      for (long i = 0; i < pack.count; ++i) {
        const long at = pack.offsets[static_cast<std::size_t>(i)];
        const long end = at + segments_[static_cast<std::size_t>(pack.first + i)].grid->length();
        std::fill(&z[written][0], &z[at][0], 0.0);
        for (long a = at; a < end; ++a) {
          z[a][0] = fx[a][0] * fy[a][0] - fx[a][1] * fy[a][1];
          z[a][1] = fx[a][0] * fy[a][1] + fx[a][1] * fy[a][0];
        }
        written = end;
      }
      std::fill(&z[written][0], &z[0][0] + 2 * pack.size, 0.0);
      return z;
    }
    // Only the gaps between grids need zeros; fill_phases writes the rest.
    long written = 0;
    for (long i = 0; i < pack.count; ++i) {
      const auto s = static_cast<std::size_t>(pack.first + i);
      const long at = pack.offsets[static_cast<std::size_t>(i)];
      const long length = segments_[s].grid->length();
      std::fill(&z[written][0], &z[at][0], 0.0);
      if (plain(s, wave)) {
        std::fill(&z[at][0], &z[at + length][0], 0.0);
      } else {
        fill_phases(*segments_[s].grid, d, q, phases_[s].x0, phases_[s].y0, z + at, buffers.phases);
      }
      written = at + length;
    }
    std::fill(&z[written][0], &z[0][0] + 2 * pack.size, 0.0);
    if (keep) buffers.cached[d] = key;
    return z;
  }

  // Adds the channel's rows that are summed directly, from its factors z:
  // across the whole pack up to its spacing, grid by grid past it, where a
  // lag could reach the next grid.
  template <typename Column>
  void add_direct_rows(std::size_t p, int channel, const fftw_complex* z, Column&& column) const {
    const Pack& pack = packs_[p];
    const PackPlan& plan = plans_[p];
    const int wave = channel / 3, d = channel % 3;
    double* cos = column(kCosX + d, wave);
    double* sin = column(kSinX + d, wave);
    for (long r = 0; r < plan.transform_rows; ++r) {
      const char kind = direct_row_[static_cast<std::size_t>(r)];
      if (kind == kNoPair || (plan.fft && kind == 0)) continue;
      double re = 0.0, im = 0.0;
      direct_correlation(z, plan.length, lags_[static_cast<std::size_t>(r)], re, im);
      cos[r] += re;
      sin[r] += im;
    }
    for (long r = plan.transform_rows; r < plan.rows; ++r) {
      if (direct_row_[static_cast<std::size_t>(r)] == kNoPair) continue;
      const long lag = lags_[static_cast<std::size_t>(r)];
      for (long i = 0; i < pack.count; ++i) {
        const long length = segments_[static_cast<std::size_t>(pack.first + i)].grid->length();
        if (length <= lag) continue;
        double re = 0.0, im = 0.0;
        direct_correlation(z + pack.offsets[static_cast<std::size_t>(i)], length, lag, re, im);
        cos[r] += re;
        sin[r] += im;
      }
    }
  }

  // The grids of the pack whose phases are too large, pair by pair.
  template <typename Column>
  void plain_grids(std::size_t p, int channel, Column&& column) {
    const Pack& pack = packs_[p];
    const int wave = channel / 3, d = channel % 3;
    for (long i = 0; i < pack.count; ++i) {
      const auto s = static_cast<std::size_t>(pack.first + i);
      if (!plain(s, wave)) continue;
      const PaddedRange& grid = *segments_[s].grid;
      plain_channel(grid, d, waves_[static_cast<std::size_t>(wave)],
                    lags_within(lags_.first(static_cast<std::size_t>(plans_[p].rows)), grid.length() - 1),
                    column(kCosX + d, wave), column(kSinX + d, wave));
    }
  }

  template <typename Column>
  void run_item(std::size_t p, std::pair<int, int> item, Buffers& buffers, const FftPlans* plans, Column&& column) {
    const auto [first, second] = item;
    const PackPlan& plan = plans_[p];
    const long n = packs_[p].size;
    fftw_complex* filled = start_channel(p, first, buffers, column);
    if (plan.fft) {
      // Out of place where the plans allow it: the factors stay where they
      // were filled and w takes each transform; otherwise all in z.
      const bool apart = plans->out_of_place() && buffers.w != nullptr;
      fftw_complex* z = apart ? buffers.w.get() : buffers.z.get();
      auto forward = [&] { apart ? plans->forward(filled, z) : plans->forward(z); };
      forward();
      // Out of place, the squared spectra go straight into their own buffer;
      // in place, the first waits while the second channel is transformed.
      fftw_complex* in = apart ? buffers.spectrum.get() : buffers.z.get();
      double* first_square = apart ? &in[0][0] : buffers.squares.data();
      const long stride = apart ? 2 : 1;
      squared_magnitudes(z, n, first_square, stride);
      if (second >= 0) {
        filled = start_channel(p, second, buffers, column);
        forward();
        squared_magnitudes(z, n, &in[0][1], 2);
      } else {
        for (long k = 0; k < n; ++k) in[k][1] = 0.0;
      }
      if (!apart) {
        for (long k = 0; k < n; ++k) in[k][0] = first_square[k];
      }
      apart ? plans->backward(in, z) : plans->backward(z);
      // W = a + i b with a, b Hermitian: a(L) = (W(L) + conj W(-L)) / 2,
      // b(L) = (W(L) - conj W(-L)) / 2i.
      const double scale = 0.5 / static_cast<double>(n);
      double* cos = column(kCosX + first % 3, first / 3);
      double* sin = column(kSinX + first % 3, first / 3);
      double* cos2 = second >= 0 ? column(kCosX + second % 3, second / 3) : nullptr;
      double* sin2 = second >= 0 ? column(kSinX + second % 3, second / 3) : nullptr;
      for (long r = 0; r < plan.transform_rows; ++r) {
        if (direct_row_[static_cast<std::size_t>(r)] != 0) continue;
        const long lag = lags_[static_cast<std::size_t>(r)];
        const double wr = z[lag][0], wi = z[lag][1];
        const double mr = z[n - lag][0], mi = z[n - lag][1];
        cos[r] += (wr + mr) * scale;
        sin[r] += (wi - mi) * scale;
        if (second >= 0) {
          cos2[r] += (wi + mi) * scale;
          sin2[r] += (mr - wr) * scale;
        }
      }
    } else if (second >= 0) {
      start_channel(p, second, buffers, column);
    }
    plain_grids(p, first, column);
    if (second >= 0) plain_grids(p, second, column);
  }

  // One large pack: its channels in parallel straight into the result, or,
  // when a transform buffer per thread would not fit, one channel at a time
  // with every thread on each transform.
  void run_channels_in_parallel(std::size_t p, const SumsView& out, double transform_budget) {
    const int threads = context_.threads;
    const long n = packs_[p].size;
    const bool wide =
        plans_[p].fft && threads > 1 && kTransformBytesPerPoint * static_cast<double>(n) * threads > transform_budget;
    const int channel_threads = wide ? 1 : threads;
    const auto plans = transform_plans(p, wide ? threads : 1);
    const auto list = items(p);
    const double item_work = pack_work(p) / static_cast<double>(std::max<std::size_t>(list.size(), 1));
    auto column = [&](int group, int wave) { return out.column(group, wave); };
    on_team(channel_threads, [&] {
      std::optional<Buffers> buffers;
      context_.control.guarded([&] { buffers.emplace(n); });
      // Three items in a row cover two whole waves, so each thread finds the
      // x and y factors of its own waves, and the x + y factors are formed
      // the same way whatever the threads.
#pragma omp for schedule(dynamic, 1)
      for (std::size_t group = 0; group < (list.size() + 2) / 3; ++group) {
        for (std::size_t i = 3 * group; i < std::min(list.size(), 3 * group + 3); ++i) {
          if (context_.control.stopped()) continue;
          context_.control.guarded([&] {
            run_item(p, list[i], *buffers, plans.get(), column);
            context_.control.advance(item_work);
          });
        }
      }
    });
  }

  static constexpr char kNoPair = 2;
  // With every direction wanted, three items in a row cover two whole waves
  // and the x + y factors may be formed from the x and y ones; otherwise
  // each channel's factors are formed on their own.
  static constexpr unsigned kAllDirections = 7;

  std::span<const long> lags_;
  std::span<const double> waves_;
  const CorrelationContext& context_;
  const std::vector<Segment>& segments_;
  const std::vector<GridPhases>& phases_;
  const std::vector<Pack>& packs_;
  std::vector<PackPlan> plans_;
  std::vector<char> direct_row_;  // 0: transform, 1: direct, kNoPair: nothing to sum
  unsigned directions_ = kAllDirections;  // bit d: direction d is wanted
  double work_ = 0.0;
};

}  // namespace

PhaseLayout::PhaseLayout(std::span<const PaddedRange* const> grids, std::span<const long> lags)
    : parts_(std::make_unique<Parts>()) {
  parts_->lags = lags;
  std::vector<const PaddedRange*> sorted;
  for (const PaddedRange* grid : grids) {
    if (grid->length() >= 2) sorted.push_back(grid);
  }
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const PaddedRange* a, const PaddedRange* b) { return a->length() < b->length(); });
  long longest = 0;
  for (const PaddedRange* grid : sorted) {
    parts_->segments.push_back({grid, 0, grid->length(), grid->length()});
    parts_->phases.push_back(phases_of(*grid));
    longest = std::max(longest, grid->length() - 1);
  }
  const long top = lags.empty() ? 0 : std::min(lags.back(), longest);
  parts_->packs = make_packs(parts_->segments, transform_top(parts_->segments, lags, top), kPackPoints, pack_size);
}

PhaseLayout::~PhaseLayout() = default;

void correlate_phases(const PhaseLayout& layout, std::span<const double> waves, std::span<const long> pairs,
                      const SumsView& out, const CorrelationContext& context, double transform_budget) {
  if (layout.parts().lags.empty() || waves.empty() || layout.parts().packs.empty()) return;
  Scattering scattering(layout.parts(), waves, pairs, context);
  scattering.run(out, transform_budget);
}

double phase_correlation_work(const PhaseLayout& layout, int waves) {
  if (layout.parts().lags.empty() || waves == 0 || layout.parts().packs.empty()) return 0.0;
  // The plan's estimate with every row served by the transforms.
  std::vector<double> waves_list(static_cast<std::size_t>(waves), 0.0);
  std::vector<long> pairs(layout.parts().lags.size(), 1L << 40);
  static const AnalysisOptions no_callbacks;
  PlanCache unused;
  RunControl control(no_callbacks, 1.0);
  const CorrelationContext context{unused, control, 1};
  return Scattering(layout.parts(), waves_list, pairs, context).work();
}

}  // namespace msdisf::detail
