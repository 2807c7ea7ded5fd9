#include "engine/moment_correlation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <vector>

#include "engine/correlation_packs.h"
#include "engine/huge_pages.h"
#include "engine/parallel.h"

namespace msdisf::detail {

namespace {

// Rough costs in nanoseconds; they steer the choice between transforms and
// pair sums and never change a value beyond the bound.
constexpr double kLaneCost = 0.6;        // one pair in the moment kernel
constexpr double kRealFftCost = 0.35;    // per point and log2(size), one real transform
constexpr double kFillCost = 1.0;        // one entry of one sequence
constexpr long kPackPoints = 1L << 15;   // packs of short windows share transforms of about this size
constexpr long kMostOriginsPerLag = 16;  // a window's origins are at most this many times its level's top lag

// The sequences correlated: the mask m and powers of u = x - c, v = y - c.
enum Kind { kM, kU, kV, kS, kU2, kV2, kP2, kU3, kV3, kP3, kP4, kKinds };
// What comes out of the correlations: counts and the four moment sums.
enum Output { kCount, kSum1, kSum2, kSum3, kSum4, kOutputs };

struct Term {
  double coefficient;
  Kind origin;
  Kind end;
};

// sum over pairs of (w_b - w_a)^k, w = u and v, as correlations
// C(f, g)[L] = sum_a f_a g_(a+L) of origin sequences f and end sequences g.
const std::vector<Term>& terms_of(Output output) {
  static const std::vector<Term> terms[kOutputs] = {
      {{1, kM, kM}},
      {{1, kM, kS}, {-1, kS, kM}},
      {{1, kM, kP2}, {1, kP2, kM}, {-2, kU, kU}, {-2, kV, kV}},
      {{1, kM, kP3}, {-1, kP3, kM}, {-3, kU, kU2}, {-3, kV, kV2}, {3, kU2, kU}, {3, kV2, kV}},
      {{1, kM, kP4},
       {1, kP4, kM},
       {-4, kU, kU3},
       {-4, kV, kV3},
       {6, kU2, kU2},
       {6, kV2, kV2},
       {-4, kU3, kU},
       {-4, kV3, kV}},
  };
  return terms[output];
}

bool with_mask(const Term& t) { return t.origin == kM || t.end == kM; }

// The sequence each output's mask terms pair with the mask.
constexpr Kind kMaskPartner[kOutputs] = {kM, kS, kP2, kP3, kP4};

// Which outputs are formed and how. Where a pack's windows have no gaps the
// mask is all ones over each window, so its correlations are counts and
// sums of a window's stretch of the partner sequence, taken from prefix
// sums ("closed"): only the terms pairing two powers of u or v are
// transformed. The sum u + v and u^2 + v^2 come from the spectra of their
// parts when those are transformed anyway.
struct Layout {
  bool closed = false;
  bool output[kOutputs] = {};
  bool inverse[kOutputs] = {};  // has terms formed by transforms
  bool needed[kKinds] = {};     // in a term formed by transforms
  bool transformed[kKinds] = {};
  int slot[kOutputs] = {};  // where a formed output's sums go
  int transforms = 0;
  int inverses = 0;
  int outputs = 0;
};

Layout layout_for(MomentNeeds needs, bool closed) {
  Layout layout;
  layout.closed = closed;
  layout.output[kCount] = true;
  layout.output[kSum1] = needs.s1;
  layout.output[kSum2] = needs.any();
  layout.output[kSum3] = needs.s3;
  layout.output[kSum4] = needs.s4;
  for (int o = 0; o < kOutputs; ++o) {
    if (!layout.output[o]) continue;
    layout.slot[o] = layout.outputs++;
    for (const Term& t : terms_of(static_cast<Output>(o))) {
      if (closed && with_mask(t)) continue;
      layout.needed[t.origin] = layout.needed[t.end] = true;
      layout.inverse[o] = true;
    }
    layout.inverses += layout.inverse[o] ? 1 : 0;
  }
  for (int k = 0; k < kKinds; ++k) layout.transformed[k] = layout.needed[k];
  if (layout.needed[kU] && layout.needed[kV]) layout.transformed[kS] = false;
  if (layout.needed[kU2] && layout.needed[kV2]) layout.transformed[kP2] = false;
  for (int k = 0; k < kKinds; ++k) layout.transforms += layout.transformed[k] ? 1 : 0;
  return layout;
}

struct Layouts {
  Layout masked;
  Layout closed;
  explicit Layouts(MomentNeeds needs) : masked(layout_for(needs, false)), closed(layout_for(needs, true)) {}
  const Layout& of(bool gap_free) const { return gap_free ? closed : masked; }
};

// One sequence's value at an entry, from the mask m and u = x - c, v = y - c
// (both zero where m is): the same arithmetic for every kind wherever it is
// formed.
template <int K>
double value_of(double m, double u, double v) {
  if constexpr (K == kM) return m;
  if constexpr (K == kU) return u;
  if constexpr (K == kV) return v;
  if constexpr (K == kS) return u + v;
  if constexpr (K == kU2) return u * u;
  if constexpr (K == kV2) return v * v;
  if constexpr (K == kP2) return u * u + v * v;
  if constexpr (K == kU3) return u * u * u;
  if constexpr (K == kV3) return v * v * v;
  if constexpr (K == kP3) return u * u * u + v * v * v;
  if constexpr (K == kP4) return u * u * u * u + v * v * v * v;
}

// Calls body(std::integral_constant<int, value>{}) for a value below N, so
// that loops over entries see it as a constant.
template <int N, class Body>
void with_constant(int value, Body&& body) {
  [&]<int... K>(std::integer_sequence<int, K...>) {
    ((value == K ? body(std::integral_constant<int, K>{}) : void()), ...);
  }
  (std::make_integer_sequence<int, N>{});
}

// |u|^p + |v|^p for p = 0..4 (the mask for p = 0), which bounds the
// rounding of u, v and their powers.
template <int P>
double size_of(double m, double u, double v) {
  if constexpr (P == 0) return m;
  if constexpr (P == 1) return std::fabs(u) + std::fabs(v);
  if constexpr (P == 2) return u * u + v * v;
  if constexpr (P == 3) return std::fabs(u) * (u * u) + std::fabs(v) * (v * v);
  if constexpr (P == 4) return (u * u) * (u * u) + (v * v) * (v * v);
}

// sum of value(i)^2 over i in [from, to), storing each value at out[i]
// when out is set; four running sums let the loop overlap its additions.
template <class Value>
double store_squares(long from, long to, const Value& value, double* out) {
  double lanes[4] = {};
  long i = from;
  for (; i + 4 <= to; i += 4) {
    for (int j = 0; j < 4; ++j) {
      const double w = value(i + j);
      if (out != nullptr) out[i + j] = w;
      lanes[j] += w * w;
    }
  }
  for (; i < to; ++i) {
    const double w = value(i);
    if (out != nullptr) out[i] = w;
    lanes[0] += w * w;
  }
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

bool without_gaps(const Segment& s) {
  if (s.grid->without_gaps()) return true;
  const long long* valid = s.grid->valid() + s.begin;
  return std::all_of(valid, valid + s.window, [](long long v) { return v != 0; });
}

std::span<const Segment> segments_of(const Pack& pack, const std::vector<Segment>& segments) {
  return std::span<const Segment>(segments).subspan(static_cast<std::size_t>(pack.first),
                                                    static_cast<std::size_t>(pack.count));
}

// Whether every window of the pack is all origins, so that its origin and
// end sequences are the same.
bool origins_only(const Pack& pack, const std::vector<Segment>& segments) {
  const auto own = segments_of(pack, segments);
  return std::all_of(own.begin(), own.end(), [](const Segment& s) { return s.origins == s.window; });
}

// Per pack: whether every window in it is free of gaps.
std::vector<char> gap_free_packs(const std::vector<Pack>& packs, const std::vector<Segment>& segments) {
  std::vector<char> gap_free;
  for (const Pack& pack : packs) {
    const auto own = segments_of(pack, segments);
    gap_free.push_back(std::all_of(own.begin(), own.end(), without_gaps) ? 1 : 0);
  }
  return gap_free;
}

// A count formed by transforms, within a quarter of a whole number, as
// that number: counts per lag are far below 2^52, where adding and taking
// away 2^52 rounds to the nearest whole number without a call to libm.
double rounded_count(double value) { return (value + 0x1p52) - 0x1p52; }

// The moment order of an output (0 for the counts).
int order_of(Output output) { return static_cast<int>(output); }

// m^(k/2) for the moment orders k = 1..4, without a call to pow per row.
double half_power(double m, int k) {
  const double root = std::sqrt(m);
  return k == 1 ? root : k == 2 ? m : k == 3 ? m * root : m * m;
}

struct PackSums {
  ReusedArray<double> sums;  // [slot of the output * (max_lag + 1) + lag]
  double bound[kOutputs] = {};
};

// Transform buffers of one thread, each grown as packs need. A buffer is
// made no larger than asked: one made at the largest size seen would give
// a short pack's extra buffers the size of a long one's.
class Workspace {
 public:
  fftw_complex* buffer(int index, long spectrum) {
    if (static_cast<int>(buffers_.size()) <= index) buffers_.resize(static_cast<std::size_t>(index) + 1);
    FftBuffer& held = buffers_[static_cast<std::size_t>(index)];
    if (!held || held.get_deleter().capacity < spectrum) held = make_fft_buffer(spectrum);
    return held.get();
  }

 private:
  std::vector<FftBuffer> buffers_;
};

// A gap-free segment's mask terms for lags 0..lags-1, added to
// pack_sums[slot * lags + lag]: at lag L its c = min(origins, window - L)
// pairs start at 0..c-1, so the mask correlates with the end sequence P as
// the sum of P over [L, L + c) and with the origin sequence as the sum over
// [0, c). The prefix sums are compensated: each lies within
// (2u + 4 window u^2) * sum |P| of the exact one. mass[o] gathers sum |P|.
void add_mask_terms(const Segment& s, double cx, double cy, const Layout& layout, long lags, double* pack_sums,
                    double* mass, double* prefix) {
  const double* x = s.grid->x() + s.begin;
  const double* y = s.grid->y() + s.begin;
  const long reach = std::min(lags, s.window);
  auto pairs_at = [&](long lag) { return std::min(s.origins, s.window - lag); };
  for (int o = 0; o < kOutputs; ++o) {
    if (!layout.output[o]) continue;
    double* sums = pack_sums + layout.slot[o] * lags;
    if (o == kCount) {
      for (long lag = 0; lag < reach; ++lag) sums[lag] += static_cast<double>(pairs_at(lag));
      continue;
    }
    const Kind partner = kMaskPartner[o];
    double size = 0.0;
    prefix[0] = 0.0;
    with_constant<kKinds>(partner, [&](auto kind) {
      double sum = 0.0, lost = 0.0;
      for (long a = 0; a < s.window; ++a) {
        const double p = value_of<decltype(kind)::value>(1.0, x[a] - cx, y[a] - cy);
        const double adjusted = p - lost;
        const double next = sum + adjusted;
        lost = (next - sum) - adjusted;
        sum = next;
        prefix[static_cast<std::size_t>(a) + 1] = sum;
        size += std::fabs(p);
      }
    });
    mass[o] += size;
    double to_end = 0.0, to_origin = 0.0;
    for (const Term& t : terms_of(static_cast<Output>(o))) {
      if (t.origin == kM && t.end == partner) to_end = t.coefficient;
      if (t.origin == partner && t.end == kM) to_origin = t.coefficient;
    }
    for (long lag = 0; lag < reach; ++lag) {
      const auto c = static_cast<std::size_t>(pairs_at(lag));
      const auto l = static_cast<std::size_t>(lag);
      sums[lag] += to_end * (prefix[l + c] - prefix[l]) + to_origin * prefix[c];
    }
  }
}

// A spectral product term conj(origin) * end of interleaved complex spectra.
struct SpectralTerm {
  double coefficient;
  const double* origin;
  const double* end;
};

// sum of coefficient * conj(origin) * end over the terms, into `out`, for
// spectrum entries [first, last); a block at a time, so that `out` stays in
// cache while each term streams its two spectra once.
void combine_spectra(const std::vector<SpectralTerm>& terms, long first, long last, double* out) {
  constexpr long kBlockEntries = 512;
  for (long begin = first; begin < last; begin += kBlockEntries) {
    const long end = std::min(last, begin + kBlockEntries);
    double* o = out + 2 * begin;
    const long count = end - begin;
    std::fill(o, o + 2 * count, 0.0);
    for (const SpectralTerm& t : terms) {
      const double* f = t.origin + 2 * begin;
      const double* g = t.end + 2 * begin;
      const double c = t.coefficient;
      for (long i = 0; i < count; ++i) {
        const double fr = f[2 * i], fi = f[2 * i + 1], gr = g[2 * i], gi = g[2 * i + 1];
        o[2 * i] += c * (fr * gr + fi * gi);
        o[2 * i + 1] += c * (fr * gi - fi * gr);
      }
    }
  }
}

// Runs body(item) for items 0..count-1 on `threads` threads.
template <class Body>
void for_items(long count, int threads, Body&& body) {
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads) if (threads > 1 && count > 1)
  for (long item = 0; item < count; ++item) body(item);
}

// Runs task(i, plans) for i = 0..count-1, several at once on `threads`
// threads; the first `transforms` tasks transform, each on its share of the
// threads: one transform of a few million points gains little from a
// second thread, two at once nearly twice. Other tasks get no plans.
template <class Task>
void run_tasks(long count, long transforms, int threads, PlanCache& cache, long size, Task&& task) {
  const int concurrent = static_cast<int>(std::clamp<long>(count, 1, threads));
  const auto plans = transforms > 0 ? cache.get_real(size, std::max(1, threads / concurrent)) : nullptr;
  for_items(count, concurrent, [&](long i) { task(i, i < transforms ? plans.get() : nullptr); });
}

// Forms the correlations of one pack and their bounds on `threads` threads.
// Results do not depend on them.
void correlate_pack(const Pack& pack, const std::vector<Segment>& segments, const Layout& layout, PlanCache& cache,
                    int threads, Workspace& workspace, PackSums& result) {
  constexpr long kFillChunk = 1L << 16;  // entries per fill item
  const long n = pack.size;
  const long spectrum = n / 2 + 1;
  const bool shared = origins_only(pack, segments);
  long widest = 0;
  for (const Segment& s : segments_of(pack, segments)) widest = std::max(widest, s.window);
  // Buffers: end sequences, then origin sequences (the same when every
  // window is all origins), then one per output formed by transforms.
  fftw_complex* end[kKinds] = {};
  fftw_complex* origin[kKinds] = {};
  int used = 0;
  for (int k = 0; k < kKinds; ++k) {
    if (layout.transformed[k]) end[k] = workspace.buffer(used++, spectrum);
  }
  for (int k = 0; k < kKinds; ++k) {
    if (layout.transformed[k]) origin[k] = shared ? end[k] : workspace.buffer(used++, spectrum);
  }
  fftw_complex* combined[kOutputs] = {};
  for (int o = 0; o < kOutputs; ++o) {
    if (layout.inverse[o]) combined[o] = workspace.buffer(used++, spectrum);
  }
  // Where the sequences are filled: in their spectra's buffers, transformed
  // in place, or for small sizes in buffers of their own (see
  // RealFftPlans::kApartLimit).
  const bool apart = n <= RealFftPlans::kApartLimit;
  double* end_values[kKinds] = {};
  double* origin_values[kKinds] = {};
  for (int k = 0; k < kKinds; ++k) {
    if (!layout.transformed[k]) continue;
    end_values[k] = apart ? &workspace.buffer(used++, spectrum)[0][0] : &end[k][0][0];
    origin_values[k] = shared ? end_values[k] : apart ? &workspace.buffer(used++, spectrum)[0][0] : &origin[k][0][0];
  }
  const long lags = pack.max_lag + 1;

  // Fill items: stretches of one window. Each writes every entry of its
  // stretch (zero where invalid, and past the origins on the origin side)
  // and its own squared norms, which are then added in item order: of each
  // sequence on both sides, and of |u|^k + |v|^k, which bounds the rounding
  // of u, v and their powers.
  struct Item {
    long segment, first, last;
    double norm_end[kKinds], norm_origin[kKinds], size_end[5], size_origin[5];
    double sum_x, sum_y;
    long valid;
  };
  std::vector<Item> items;
  for (long i = 0; i < pack.count; ++i) {
    const long window = segments[static_cast<std::size_t>(pack.first + i)].window;
    for (long first = 0; first < window; first += kFillChunk) {
      items.push_back({i, first, std::min(window, first + kFillChunk), {}, {}, {}, {}, 0.0, 0.0, 0});
    }
  }
  // Each window's reference position: the mean of its valid entries, from
  // its items' sums added in order.
  for_items(static_cast<long>(items.size()), threads, [&](long index) {
    Item& item = items[static_cast<std::size_t>(index)];
    const Segment& s = segments[static_cast<std::size_t>(pack.first + item.segment)];
    const double* x = s.grid->x() + s.begin;
    const double* y = s.grid->y() + s.begin;
    const long long* valid = s.grid->valid() + s.begin;
    double sx = 0.0, sy = 0.0;
    long count = 0;
    for (long a = item.first; a < item.last; ++a) {
      const bool ok = valid[a] != 0;
      sx += ok ? x[a] : 0.0;
      sy += ok ? y[a] : 0.0;
      count += ok ? 1 : 0;
    }
    item.sum_x = sx;
    item.sum_y = sy;
    item.valid = count;
  });
  std::vector<std::array<double, 2>> centre(static_cast<std::size_t>(pack.count), {0.0, 0.0});
  {
    std::vector<std::array<double, 2>> sums(centre.size(), {0.0, 0.0});
    std::vector<long> counts(centre.size(), 0);
    for (const Item& item : items) {
      const auto i = static_cast<std::size_t>(item.segment);
      sums[i] = {sums[i][0] + item.sum_x, sums[i][1] + item.sum_y};
      counts[i] += item.valid;
    }
    for (std::size_t i = 0; i < centre.size(); ++i) {
      if (counts[i] > 0) {
        const auto count = static_cast<double>(counts[i]);
        centre[i] = {sums[i][0] / count, sums[i][1] / count};
      }
    }
  }
  for_items(static_cast<long>(items.size()), threads, [&](long index) {
    Item& item = items[static_cast<std::size_t>(index)];
    const Segment& s = segments[static_cast<std::size_t>(pack.first + item.segment)];
    const long at = pack.offsets[static_cast<std::size_t>(item.segment)];
    const auto [cx, cy] = centre[static_cast<std::size_t>(item.segment)];
    const double* x = s.grid->x() + s.begin;
    const double* y = s.grid->y() + s.begin;
    const long long* valid = s.grid->valid() + s.begin;
    // A block at a time: u, v and the mask once, then each sequence's own
    // loop over them.
    constexpr long kBlock = 512;
    double m[kBlock], u[kBlock], v[kBlock];
    for (long first = item.first; first < item.last; first += kBlock) {
      const long count = std::min(kBlock, item.last - first);
      const long origins = std::clamp(s.origins - first, 0L, count);
      for (long i = 0; i < count; ++i) {
        const bool ok = valid[first + i] != 0;
        m[i] = ok ? 1.0 : 0.0;
        u[i] = ok ? x[first + i] - cx : 0.0;
        v[i] = ok ? y[first + i] - cy : 0.0;
      }
      for (int k = 0; k < kKinds; ++k) {
        if (!layout.needed[k]) continue;
        with_constant<kKinds>(k, [&](auto kind) {
          const auto value = [&](long i) { return value_of<decltype(kind)::value>(m[i], u[i], v[i]); };
          double* to_end = layout.transformed[k] ? end_values[k] + at + first : nullptr;
          double* to_origin = layout.transformed[k] && !shared ? origin_values[k] + at + first : nullptr;
          const double before = store_squares(0, origins, value, to_end);
          item.norm_origin[k] += before;
          item.norm_end[k] += before + store_squares(origins, count, value, to_end);
          if (to_origin != nullptr) {
            store_squares(0, origins, value, to_origin);
            std::fill(to_origin + origins, to_origin + count, 0.0);
          }
        });
      }
      for (int p = 0; p < 5; ++p) {
        if (p > 0 && !layout.output[p]) continue;
        with_constant<5>(p, [&](auto order) {
          const auto size = [&](long i) { return size_of<decltype(order)::value>(m[i], u[i], v[i]); };
          const double before = store_squares(0, origins, size, nullptr);
          item.size_origin[p] += before;
          item.size_end[p] += before + store_squares(origins, count, size, nullptr);
        });
      }
    }
  });
  double norm_end[kKinds] = {}, norm_origin[kKinds] = {};
  double size_end[5] = {}, size_origin[5] = {};
  for (const Item& item : items) {
    for (int k = 0; k < kKinds; ++k) {
      norm_end[k] += item.norm_end[k];
      norm_origin[k] += item.norm_origin[k];
    }
    for (int p = 0; p < 5; ++p) {
      size_end[p] += item.size_end[p];
      size_origin[p] += item.size_origin[p];
    }
  }
  // Between windows and past the last one the sequences are zero; long
  // stretches are shared among the threads.
  std::vector<std::pair<double*, long>> zeros;
  for (int k = 0; k < kKinds; ++k) {
    if (!layout.transformed[k]) continue;
    for (double* values : {end_values[k], origin_values[k]}) {
      for (long i = 0; i < pack.count; ++i) {
        const long from =
            pack.offsets[static_cast<std::size_t>(i)] + segments[static_cast<std::size_t>(pack.first + i)].window;
        const long to = i + 1 < pack.count ? pack.offsets[static_cast<std::size_t>(i) + 1] : 2 * spectrum;
        for (long at = from; at < to; at += kFillChunk) zeros.emplace_back(values + at, std::min(kFillChunk, to - at));
      }
      if (shared) break;
    }
  }
  for_items(static_cast<long>(zeros.size()), threads, [&](long i) {
    const auto [values, count] = zeros[static_cast<std::size_t>(i)];
    std::fill(values, values + count, 0.0);
  });

  std::vector<fftw_complex*> sequences;
  std::vector<double*> filled;
  for (int k = 0; k < kKinds; ++k) {
    if (!layout.transformed[k]) continue;
    sequences.push_back(end[k]);
    filled.push_back(end_values[k]);
    if (shared) continue;
    sequences.push_back(origin[k]);
    filled.push_back(origin_values[k]);
  }
  const auto transforms = static_cast<long>(sequences.size());
  run_tasks(transforms, transforms, threads, cache, n, [&](long i, const RealFftPlans* plans) {
    const auto at = static_cast<std::size_t>(i);
    if (apart) {
      plans->forward(filled[at], sequences[at]);
    } else {
      plans->forward(sequences[at]);
    }
  });
  // A sum formed from its parts' spectra carries their rounding: its norm
  // in the bound is the sum of theirs.
  for (double* norms : {norm_end, norm_origin}) {
    if (layout.needed[kS] && !layout.transformed[kS]) {
      norms[kS] = std::pow(std::sqrt(norms[kU]) + std::sqrt(norms[kV]), 2);
    }
    if (layout.needed[kP2] && !layout.transformed[kP2]) {
      norms[kP2] = std::pow(std::sqrt(norms[kU2]) + std::sqrt(norms[kV2]), 2);
    }
  }

  auto parts_of = [&](Kind kind) -> std::vector<Kind> {
    if (kind == kS && !layout.transformed[kS]) return {kU, kV};
    if (kind == kP2 && !layout.transformed[kP2]) return {kU2, kV2};
    return {kind};
  };
  // Each output's spectral products, then its inverse transform.
  double norms[kOutputs] = {};
  std::vector<int> inverted;
  std::vector<std::vector<SpectralTerm>> spectral(kOutputs);
  for (int o = 0; o < kOutputs; ++o) {
    if (!layout.output[o]) continue;
    for (const Term& t : terms_of(static_cast<Output>(o))) {
      if (layout.closed && with_mask(t)) continue;
      norms[o] += std::fabs(t.coefficient) * std::sqrt(norm_origin[t.origin] * norm_end[t.end]);
      for (const Kind f : parts_of(t.origin)) {
        for (const Kind g : parts_of(t.end)) spectral[o].push_back({t.coefficient, &origin[f][0][0], &end[g][0][0]});
      }
    }
    if (layout.inverse[o]) inverted.push_back(o);
  }
  constexpr long kProductChunk = 1L << 15;
  const long chunks = (spectrum + kProductChunk - 1) / kProductChunk;
  const long inverses = static_cast<long>(inverted.size());
  for_items(inverses * chunks, threads, [&](long item) {
    const int o = inverted[static_cast<std::size_t>(item / chunks)];
    const long c = item % chunks;
    combine_spectra(spectral[o], c * kProductChunk, std::min(spectrum, (c + 1) * kProductChunk), &combined[o][0][0]);
  });
  // The inverse transforms and, beside them, the mask terms from prefix
  // sums, which go into the sums first.
  result.sums = ReusedArray<double>(layout.outputs * lags);
  double mass[kOutputs] = {};
  auto add_all_mask_terms = [&] {
    const ReusedArray<double> prefix(widest + 1);
    std::fill(result.sums.data(), result.sums.data() + layout.outputs * lags, 0.0);
    for (long i = 0; i < pack.count; ++i) {
      const auto [cx, cy] = centre[static_cast<std::size_t>(i)];
      add_mask_terms(segments[static_cast<std::size_t>(pack.first + i)], cx, cy, layout, lags, result.sums.data(), mass,
                     prefix.data());
    }
  };
  const long tasks = inverses + (layout.closed ? 1 : 0);
  // Out of place into the sequences' buffers, no longer needed: every
  // layout transforms at least as many sequences as it inverts outputs.
  if (transforms < inverses) throw std::logic_error("correlation layout inverts more outputs than it transforms");
  run_tasks(tasks, inverses, threads, cache, n, [&](long task, const RealFftPlans* plans) {
    if (task < inverses) {
      plans->backward(combined[inverted[static_cast<std::size_t>(task)]], sequences[static_cast<std::size_t>(task)]);
    } else {
      add_all_mask_terms();
    }
  });
  const double scale = 1.0 / static_cast<double>(n);
  constexpr long kLagChunk = 1L << 16;
  const long lag_chunks = (lags + kLagChunk - 1) / kLagChunk;
  for_items(inverses * lag_chunks, threads, [&](long item) {
    const int o = inverted[static_cast<std::size_t>(item / lag_chunks)];
    const long first = item % lag_chunks * kLagChunk, last = std::min(lags, first + kLagChunk);
    double* sums = result.sums.data() + layout.slot[o] * lags;
    const double* values = &sequences[static_cast<std::size_t>(item / lag_chunks)][0][0];
    if (layout.closed) {
      for (long lag = first; lag < last; ++lag) sums[lag] += values[lag] * scale;
    } else {
      for (long lag = first; lag < last; ++lag) sums[lag] = values[lag] * scale;
    }
  });
  const double factor = fft_error_factor(n);
  for (int o = 0; o < kOutputs; ++o) {
    if (!layout.output[o]) continue;
    // Mask terms from prefix sums: each segment's value errs by at most
    // (9u + 12 window u^2) * sum |P|, pooling the segments adds at most
    // 2 count u * sum |P|, and adding them to the transformed terms one
    // rounding of either part.
    double closed_bound = 0.0;
    if (layout.closed) {
      const double u = kUnitRoundoff;
      closed_bound =
          ((2.0 * static_cast<double>(pack.count) + 12.0) * u + 12.0 * static_cast<double>(widest) * u * u) * mass[o] +
          u * norms[o];
    }
    const int k = order_of(static_cast<Output>(o));
    // Rounding u, v and their powers moves each pair's term by at most
    // k 2^k u (|u|^k + |v|^k) at its two ends.
    const double shift = k == 0
                             ? 0.0
                             : k * std::ldexp(1.0, k) * kUnitRoundoff *
                                   (std::sqrt(size_origin[0] * size_end[k]) + std::sqrt(size_origin[k] * size_end[0]));
    result.bound[o] = factor * norms[o] + closed_bound + shift;
  }
}

// Windows for lags up to `top`: a grid of at most (multiple + 1) * top
// entries is one window, all origins; a longer one is cut into windows of
// `multiple` * top origins, each reaching `top` entries past its origins.
// Longer windows spend fewer transform points per origin, (multiple + 1) /
// multiple, but their larger excursions fail the bound at more small lags.
//
// Windows cut from a grid may also be all origins (`shared`), which
// transforms each sequence once rather than twice: a pair within the `top`
// entries where two windows overlap is then in both, and the overlap is a
// window of its own whose sums are taken away.
std::vector<Segment> segments_for(std::span<const PaddedRange* const> grids, long top, long multiple, bool shared) {
  const long block = multiple * top;
  std::vector<Segment> segments;
  for (const PaddedRange* grid : grids) {
    const long length = grid->length();
    if (length < 2) continue;
    if (length <= block + top) {
      segments.push_back({grid, 0, length, length});
      continue;
    }
    for (long begin = 0; begin < length - 1; begin += block) {
      const long window = std::min(block + top, length - begin);
      segments.push_back({grid, begin, shared ? window : std::min(block, length - begin), window});
      const long overlap = std::min(top, length - begin);
      if (shared && begin > 0 && overlap >= 2) segments.push_back({grid, begin, overlap, overlap, true});
    }
  }
  std::stable_sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) {
    return a.subtracted != b.subtracted ? b.subtracted : a.window < b.window;
  });
  return segments;
}

// Whether windows cut from grids are shared: each then takes top more
// transform points, and its overlap 2 top, against half the transforms.
// Cheaper from windows of about four times top origins.
bool shared_windows(long multiple) { return multiple >= 4; }

// The first level's windows, in multiples of its largest lag. Where only
// the first two moments are asked for, few small lags fail in long windows;
// the higher moments fail at many more, so their windows start short.
long first_multiple(MomentNeeds needs) { return needs.s3 || needs.s4 ? 1 : kMostOriginsPerLag / 2; }

// Work of one pack: its transforms and, on every window entry, the fills
// and prefix sums.
double pack_cost(const Pack& pack, const std::vector<Segment>& segments, const Layout& layout) {
  const bool shared = origins_only(pack, segments);
  const double n = static_cast<double>(pack.size);
  const double transforms = layout.transforms * (shared ? 1.0 : 2.0) + layout.inverses;
  return transforms * n * (kRealFftCost * std::log2(n) + kFillCost) + layout.outputs * n * kFillCost;
}

double level_cost(const std::vector<Pack>& packs, const std::vector<Segment>& segments, const Layouts& layouts,
                  const std::vector<char>& gap_free) {
  double cost = 0.0;
  for (std::size_t p = 0; p < packs.size(); ++p) cost += pack_cost(packs[p], segments, layouts.of(gap_free[p] != 0));
  return cost;
}

// A lower bound of any level's work over grids of `entries` entries in all:
// each entry is transformed at least once per sequence (for lag 1 of a long
// grid, one level has one window per entry).
double least_level_cost(const Layouts& layouts, double entries) {
  auto least = [&](const Layout& layout) {
    return ((layout.transforms + layout.inverses) * (kRealFftCost + kFillCost) + layout.outputs * kFillCost) * entries;
  };
  return std::min(least(layouts.masked), least(layouts.closed));
}

// Rows 0..count-1, as a list of rows that is never built.
struct AllRows {
  long count;
  bool empty() const { return count == 0; }
  std::size_t size() const { return static_cast<std::size_t>(count); }
  long operator[](std::size_t i) const { return static_cast<long>(i); }
  long back() const { return count - 1; }
};

// How many of the rows of `pending` (increasing: a vector, or before the
// first level AllRows) have a lag that a grid of `length` entries can have.
template <class Rows>
long rows_within(const Rows& pending, std::span<const long> lags, long length) {
  long low = 0, high = static_cast<long>(pending.size());
  while (low < high) {
    const long middle = low + (high - low) / 2;
    if (lags[static_cast<std::size_t>(pending[static_cast<std::size_t>(middle)])] <= length - 1) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

// The cost of summing the pending rows directly, or a partial sum above
// `limit` once it passes it: callers only compare it with `limit`, and the
// smallest lags, which cost most, come first.
template <class Rows>
double direct_cost(std::span<const PaddedRange* const> grids, std::span<const long> lags, const Rows& pending,
                   double limit) {
  double cost = 0.0;
  for (const PaddedRange* grid : grids) {
    const long within = rows_within(pending, lags, grid->length());
    for (long i = 0; i < within; ++i) {
      cost += kLaneCost * static_cast<double>(grid->length() -
                                              lags[static_cast<std::size_t>(pending[static_cast<std::size_t>(i)])]);
      if (cost > limit) return cost;
    }
  }
  return cost;
}

// The pending rows summed pair by pair, bit for bit the plain kernel's sums.
// Short grids go in chunks, so that each work item is worth its scheduling.
void direct_rows(std::span<const PaddedRange* const> grids, std::span<const long> lags,
                 const std::vector<long>& pending, const SumsView& out, const CorrelationContext& context) {
  constexpr double kChunkWork = 2e5;  // pairs and lags, about 0.1 ms
  const long count = static_cast<long>(grids.size());
  const int inner = count == 1 ? context.threads : 1;
  std::vector<long> first_of_chunk = {0};
  double chunk_work = 0.0;
  for (long g = 0; g < count; ++g) {
    const double length = static_cast<double>(grids[static_cast<std::size_t>(g)]->length());
    chunk_work += length * std::min(length, static_cast<double>(pending.size()));
    if (chunk_work >= kChunkWork || g + 1 == count) {
      first_of_chunk.push_back(g + 1);
      chunk_work = 0.0;
    }
  }
  const long chunks = static_cast<long>(first_of_chunk.size()) - 1;
  const long slots = 4L * context.threads;
  // Per slot: each grid's sums of its rows, one grid after another.
  std::vector<std::vector<LagMoments>> sums(static_cast<std::size_t>(slots));
  auto rows_of = [&](long g) { return rows_within(pending, lags, grids[static_cast<std::size_t>(g)]->length()); };
  run_in_order(
      chunks, chunks == 1 ? 1 : context.threads, slots,
      [&](long c, long slot) {
        context.control.guarded([&] {
          auto& moments = sums[static_cast<std::size_t>(slot)];
          moments.clear();
          double work = 0.0;
          thread_local std::vector<long> own_lags;
          for (long g = first_of_chunk[static_cast<std::size_t>(c)];
               g < first_of_chunk[static_cast<std::size_t>(c) + 1]; ++g) {
            const PaddedRange& grid = *grids[static_cast<std::size_t>(g)];
            own_lags.clear();
            const long within = rows_of(g);
            for (long i = 0; i < within; ++i) own_lags.push_back(lags[static_cast<std::size_t>(pending[i])]);
            const std::size_t at = moments.size();
            moments.resize(at + own_lags.size(), LagMoments{});
            lag_moment_sums_for(grid, own_lags.data(), static_cast<long>(own_lags.size()), moments.data() + at, inner);
            for (const long lag : own_lags) work += kLaneCost * static_cast<double>(grid.length() - lag);
          }
          context.control.advance(work);
        });
      },
      [&](long c, long slot) {
        const auto& moments = sums[static_cast<std::size_t>(slot)];
        std::size_t at = 0;
        for (long g = first_of_chunk[static_cast<std::size_t>(c)]; g < first_of_chunk[static_cast<std::size_t>(c) + 1];
             ++g) {
          const long within = rows_of(g);
          for (long i = 0; i < within; ++i, ++at) {
            const long row = pending[static_cast<std::size_t>(i)];
            const LagMoments& m = moments[at];
            add_moment(out.s1, row, m.s1);
            add_moment(out.s2, row, m.s2);
            add_moment(out.s3, row, m.s3);
            add_moment(out.s4, row, m.s4);
            out.pairs[row] += static_cast<long>(m.pairs);
          }
        }
      },
      [&] { return context.control.stopped(); });
}

// The rows whose lag some grid can have.
AllRows rows_with_pairs(std::span<const PaddedRange* const> grids, std::span<const long> lags) {
  long longest = 0;
  for (const PaddedRange* grid : grids) longest = std::max(longest, grid->length() - 1);
  return {static_cast<long>(std::upper_bound(lags.begin(), lags.end(), longest) - lags.begin())};
}

// Forms one level's correlations for lags 0..max_lag and keeps the pending
// rows whose bound holds; returns how many it kept.
long run_level(const std::vector<Segment>& segments, const std::vector<Pack>& packs, long max_lag,
               const Layouts& layouts, const std::vector<char>& gap_free, std::span<const long> lags,
               std::vector<long>& pending, const SumsView& out, std::vector<Workspace>& workspaces,
               const CorrelationContext& context) {
  const long width = max_lag + 1;
  const Layout& layout = layouts.masked;  // slots are the same in both
  // A few packs of long windows: one at a time, each transform on every
  // thread. Many packs: one pack per thread.
  const bool wide = static_cast<long>(packs.size()) < 2L * context.threads;
  const int pack_threads = wide ? 1 : context.threads;
  const long slots = wide ? 1 : 4L * context.threads;
  std::vector<PackSums> results(static_cast<std::size_t>(slots));
  // A single pack's sums are the level's; several are pooled in pack order.
  const bool single = packs.size() == 1;
  std::vector<double> pooled;
  if (!single) assign_huge(pooled, static_cast<std::size_t>(layout.outputs * width), 0.0);
  // Each pack's bound holds for the lags it forms: (its largest lag, bound).
  std::vector<std::pair<long, std::array<double, kOutputs>>> pack_bounds;
  run_in_order(
      static_cast<long>(packs.size()), pack_threads, slots,
      [&](long p, long slot) {
        context.control.guarded([&] {
          const Pack& pack = packs[static_cast<std::size_t>(p)];
          Workspace& workspace = workspaces[static_cast<std::size_t>(wide ? 0 : omp_get_thread_num())];
          const Layout& own = layouts.of(gap_free[static_cast<std::size_t>(p)] != 0);
          correlate_pack(pack, segments, own, context.plans, wide ? context.threads : 1, workspace,
                         results[static_cast<std::size_t>(slot)]);
          context.control.advance(pack_cost(pack, segments, own));
        });
      },
      [&](long p, long slot) {
        const Pack& pack = packs[static_cast<std::size_t>(p)];
        const PackSums& own = results[static_cast<std::size_t>(slot)];
        std::array<double, kOutputs> bound{};
        std::copy(std::begin(own.bound), std::end(own.bound), bound.begin());
        pack_bounds.emplace_back(pack.max_lag, bound);
        if (single) return;
        const long own_width = pack.max_lag + 1;
        const bool subtracted = segments[static_cast<std::size_t>(pack.first)].subtracted;
        for (int o = 0; o < layout.outputs; ++o) {
          double* target = pooled.data() + o * width;
          const double* source = own.sums.data() + o * own_width;
          if (subtracted) {
            for (long lag = 0; lag < own_width; ++lag) target[lag] -= source[lag];
          } else {
            for (long lag = 0; lag < own_width; ++lag) target[lag] += source[lag];
          }
        }
      },
      [&] { return context.control.stopped(); });
  if (context.control.stopped()) return 0;
  const double* sums = single ? results[0].sums.data() : pooled.data();
  // bound_from[i]: the summed bounds of the packs i.. in order of their
  // largest lag, which are those forming every lag up to theirs.
  std::sort(pack_bounds.begin(), pack_bounds.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::array<double, kOutputs>> bound_from(pack_bounds.size() + 1, std::array<double, kOutputs>{});
  for (std::size_t i = pack_bounds.size(); i-- > 0;) {
    for (int o = 0; o < kOutputs; ++o) bound_from[i][o] = bound_from[i + 1][o] + pack_bounds[i].second[o];
  }

  // The rows are checked in chunks on all threads; each chunk keeps its
  // failures, in order.
  constexpr long kRowChunk = 1L << 15;
  const long count = static_cast<long>(pending.size());
  const long chunks = (count + kRowChunk - 1) / kRowChunk;
  std::vector<std::vector<long>> failed(static_cast<std::size_t>(chunks));
  double* moment_out[kOutputs] = {nullptr, out.s1, out.s2, out.s3, out.s4};
  for_items(chunks, context.threads, [&](long chunk) {
    auto& still = failed[static_cast<std::size_t>(chunk)];
    const long last = std::min(count, (chunk + 1) * kRowChunk);
    // Rows come in increasing lag, so the first pack forming a row's lag
    // only moves on.
    std::size_t first_forming = 0;
    for (long i = chunk * kRowChunk; i < last; ++i) {
      const long row = pending[static_cast<std::size_t>(i)];
      const long lag = lags[static_cast<std::size_t>(row)];
      auto value = [&](int o) { return sums[static_cast<std::size_t>(layout.slot[o] * width + lag)]; };
      while (first_forming < pack_bounds.size() && pack_bounds[first_forming].first < lag) ++first_forming;
      const auto& bound = bound_from[first_forming];
      bool keep = lag <= max_lag && bound[kCount] < 0.25;
      const double pairs = keep ? rounded_count(value(kCount)) : 0.0;
      if (keep && pairs > 0.0 && layout.output[kSum2]) {
        // The scale: a lower bound of the mean squared displacement, with the
        // exact sums the row already holds from other particles.
        const double total_pairs = pairs + static_cast<double>(out.pairs[row]);
        const double s2 = value(kSum2) - bound[kSum2] + out.s2[row];
        keep = s2 > 0.0;
        const double msd = s2 / total_pairs;
        for (int o = kSum1; o < kOutputs && keep; ++o) {
          if (!layout.output[o]) continue;
          keep = bound[o] <= kTransformShare * total_pairs * half_power(msd, order_of(static_cast<Output>(o)));
        }
      }
      if (!keep) {
        still.push_back(row);
        continue;
      }
      out.pairs[row] += static_cast<long>(pairs);
      if (pairs == 0.0) continue;  // no pair: every sum is exactly zero
      for (int o = kSum1; o < kOutputs; ++o) {
        if (layout.output[o]) moment_out[o][row] = moment_out[o][row] + value(o);
      }
    }
  });
  std::vector<long> still;
  for (const auto& chunk : failed) still.insert(still.end(), chunk.begin(), chunk.end());
  const long kept = count - static_cast<long>(still.size());
  pending.swap(still);
  return kept;
}

}  // namespace

void correlate_moments(std::span<const PaddedRange* const> grids, std::span<const long> lags, MomentNeeds needs,
                       const SumsView& out, const CorrelationContext& context) {
  const auto all_rows = rows_with_pairs(grids, lags);
  if (all_rows.empty()) return;
  // Advised for huge pages: on virtual machines a vector grown to millions
  // of rows spends most of its time in page faults.
  std::vector<long> pending;
  assign_huge(pending, all_rows.size(), 0L);
  std::iota(pending.begin(), pending.end(), 0L);
  std::vector<const PaddedRange*> sorted(grids.begin(), grids.end());
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const PaddedRange* a, const PaddedRange* b) { return a->length() < b->length(); });
  const Layouts layouts(needs);
  // Each level uses windows about as long as the largest lag still open:
  // lags that fail the bound are those whose displacements are small next
  // to the window's excursions, and shorter windows have smaller ones.
  std::vector<Workspace> workspaces(static_cast<std::size_t>(context.threads));
  std::vector<long> direct;
  double entries = 0.0;
  for (const PaddedRange* grid : sorted) entries += static_cast<double>(grid->length());
  const double least_cost = least_level_cost(layouts, entries);
  // Later levels choose their windows from the failures seen.
  long multiple = first_multiple(needs);
  while (!pending.empty() && !context.control.stopped()) {
    const long top = lags[static_cast<std::size_t>(pending.back())];
    if (!context.prefer_transforms && direct_cost(sorted, lags, pending, least_cost) <= least_cost) break;
    const std::vector<Segment> segments = segments_for(sorted, top, multiple, shared_windows(multiple));
    const std::vector<Pack> packs = make_packs(segments, top, kPackPoints, real_fft_size);
    const std::vector<char> gap_free = gap_free_packs(packs, segments);
    const double transforms = level_cost(packs, segments, layouts, gap_free);
    if (!context.prefer_transforms && direct_cost(sorted, lags, pending, transforms) <= transforms) break;
    const long kept = run_level(segments, packs, top, layouts, gap_free, lags, pending, out, workspaces, context);
    if (kept == 0) break;  // no lag holds the bound in windows this long
    // A failed lag fails again in windows about as long as this level's,
    // and shorter windows cannot hold lags near the top: those are summed
    // directly. The others fail where a lag is below a share of the window
    // (its excursions grow with the window, the displacements with the
    // lag): the next windows are made long enough for few failures.
    long widest = 0;
    for (const Segment& s : segments) widest = std::max(widest, s.window);
    auto send_direct = [&](long next_multiple) {
      while (!pending.empty() && 2 * (next_multiple + 1) * lags[static_cast<std::size_t>(pending.back())] > widest) {
        direct.push_back(pending.back());
        pending.pop_back();
      }
    };
    send_direct(1);
    if (pending.empty()) break;
    const double failing_share =
        static_cast<double>(lags[static_cast<std::size_t>(pending.back())]) / static_cast<double>(widest);
    multiple = std::clamp(static_cast<long>(1.0 / (kMostOriginsPerLag * failing_share)) - 1, 1L, kMostOriginsPerLag);
    send_direct(multiple);
  }
  direct.insert(direct.end(), pending.begin(), pending.end());
  std::sort(direct.begin(), direct.end());
  if (!direct.empty() && !context.control.stopped()) direct_rows(sorted, lags, direct, out, context);
}

double moment_correlation_work(std::span<const PaddedRange* const> grids, std::span<const long> lags,
                               MomentNeeds needs) {
  const auto pending = rows_with_pairs(grids, lags);
  if (pending.empty()) return 0.0;
  const Layouts layouts(needs);
  double entries = 0.0;
  for (const PaddedRange* grid : grids) entries += static_cast<double>(grid->length());
  const double least = least_level_cost(layouts, entries);
  const double direct = direct_cost(grids, lags, pending, least);
  if (direct <= least) return direct;
  const long multiple = first_multiple(needs);
  const std::vector<Segment> segments =
      segments_for(grids, lags[static_cast<std::size_t>(pending.back())], multiple, shared_windows(multiple));
  const std::vector<Pack> packs =
      make_packs(segments, lags[static_cast<std::size_t>(pending.back())], kPackPoints, real_fft_size);
  // About three levels when the transforms win.
  const double levels = 3.0 * level_cost(packs, segments, layouts, gap_free_packs(packs, segments));
  return std::min(direct_cost(grids, lags, pending, levels), levels);
}

}  // namespace msdisf::detail
