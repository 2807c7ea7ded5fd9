#include "engine/moment_pack.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "engine/moment_windows.h"
#include "engine/parallel.h"

namespace msdisf::detail {

fftw_complex* Workspace::buffer(int index, long spectrum) {
  if (static_cast<int>(buffers_.size()) <= index) buffers_.resize(static_cast<std::size_t>(index) + 1);
  FftBuffer& held = buffers_[static_cast<std::size_t>(index)];
  if (!held || held.get_deleter().capacity < spectrum) held = make_fft_buffer(spectrum);
  return held.get();
}

namespace {

constexpr long kFillChunk = 1L << 16;     // entries per fill item
constexpr long kFillBlock = 512;          // entries of u, v and the mask formed at once
constexpr long kProductChunk = 1L << 15;  // spectrum entries per item of the products
constexpr long kLagChunk = 1L << 16;      // lags per item of the scaling

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

using Centre = std::array<double, 2>;

// A stretch [first, last) of one window, filled as one work item, with its
// own sums: squared norms of each sequence on both sides, of |u|^p + |v|^p
// (size_of), and of its valid positions.
struct FillItem {
  long segment, first, last;
  double norm_end[kSequences], norm_origin[kSequences], size_end[kSizeOrders], size_origin[kSizeOrders];
  double sum_x, sum_y;
  long valid;
};

// A block of a window's entries [0, count): the mask and u, v once, for
// every sequence's own loop over them. Its first `origins` may start a pair.
struct FillBlock {
  double m[kFillBlock], u[kFillBlock], v[kFillBlock];
  long count;
  long origins;
};

// The squared norms of a whole pack, added from its items in item order.
struct Norms {
  double end[kSequences] = {};
  double origin[kSequences] = {};
  double size_end[kSizeOrders] = {};
  double size_origin[kSizeOrders] = {};
};

// The phases of one pack's correlation, run in the order of run().
class PackCorrelation {
 public:
  PackCorrelation(const PackInput& input, PlanCache& cache, int threads, Workspace& workspace)
      : pack_(input.pack),
        segments_(input.segments),
        layout_(input.layout),
        cache_(cache),
        threads_(threads),
        n_(pack_.size),
        spectrum_(n_ / 2 + 1),
        lags_(pack_.max_lag + 1),
        shared_(origins_only(pack_, segments_)),
        apart_(n_ <= RealFftPlans::kApartLimit) {
    for (const Segment& s : segments_of(pack_, segments_)) widest_ = std::max(widest_, s.window);
    take_buffers(workspace);
  }

  void run(PackSums& result) {
    std::vector<FillItem> items = fill_items();
    find_centres(items);
    fill_sequences(items);
    pool_norms(items);
    zero_between_windows();
    transform_sequences();
    add_norms_of_parts();
    multiply_spectra();
    invert_outputs(result);
    scale_inverses(result);
    bound_errors(result);
  }

 private:
  const Segment& segment(long i) const { return segments_[static_cast<std::size_t>(pack_.first + i)]; }

  // Buffers: end sequences, then origin sequences (the same when every
  // window is all origins), then one per output formed by transforms. The
  // sequences are filled in their spectra's buffers, transformed in place,
  // or for small sizes in buffers of their own (see
  // RealFftPlans::kApartLimit).
  void take_buffers(Workspace& workspace) {
    int used = 0;
    for (int k = 0; k < kSequences; ++k) {
      if (layout_.transformed[k]) end_[k] = workspace.buffer(used++, spectrum_);
    }
    for (int k = 0; k < kSequences; ++k) {
      if (layout_.transformed[k]) origin_[k] = shared_ ? end_[k] : workspace.buffer(used++, spectrum_);
    }
    for (int o = 0; o < kOutputs; ++o) {
      if (layout_.inverse[o]) combined_[o] = workspace.buffer(used++, spectrum_);
    }
    for (int k = 0; k < kSequences; ++k) {
      if (!layout_.transformed[k]) continue;
      end_values_[k] = apart_ ? &workspace.buffer(used++, spectrum_)[0][0] : &end_[k][0][0];
      origin_values_[k] = shared_  ? end_values_[k]
                          : apart_ ? &workspace.buffer(used++, spectrum_)[0][0]
                                   : &origin_[k][0][0];
    }
  }

  // Fill items: stretches of one window, at most kFillChunk entries each.
  std::vector<FillItem> fill_items() const {
    std::vector<FillItem> items;
    for (long i = 0; i < pack_.count; ++i) {
      const long window = segment(i).window;
      for (long first = 0; first < window; first += kFillChunk) {
        items.push_back({i, first, std::min(window, first + kFillChunk), {}, {}, {}, {}, 0.0, 0.0, 0});
      }
    }
    return items;
  }

  // Each window's reference position: the mean of its valid entries, from
  // its items' sums added in order.
  void find_centres(std::vector<FillItem>& items) {
    for_items(static_cast<long>(items.size()), threads_, [&](long index) {
      FillItem& item = items[static_cast<std::size_t>(index)];
      const Segment& s = segment(item.segment);
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
    centre_.assign(static_cast<std::size_t>(pack_.count), {0.0, 0.0});
    std::vector<Centre> sums(centre_.size(), {0.0, 0.0});
    std::vector<long> counts(centre_.size(), 0);
    for (const FillItem& item : items) {
      const auto i = static_cast<std::size_t>(item.segment);
      sums[i] = {sums[i][0] + item.sum_x, sums[i][1] + item.sum_y};
      counts[i] += item.valid;
    }
    for (std::size_t i = 0; i < centre_.size(); ++i) {
      if (counts[i] > 0) {
        const auto count = static_cast<double>(counts[i]);
        centre_[i] = {sums[i][0] / count, sums[i][1] / count};
      }
    }
  }

  // Each item writes every entry of its stretch (zero where invalid, and
  // past the origins on the origin side) and its own squared norms.
  void fill_sequences(std::vector<FillItem>& items) const {
    for_items(static_cast<long>(items.size()), threads_,
              [&](long index) { fill_item(items[static_cast<std::size_t>(index)]); });
  }

  // A block at a time: u, v and the mask once, then each sequence's own
  // loop over them.
  void fill_item(FillItem& item) const {
    const Segment& s = segment(item.segment);
    const long at = pack_.offsets[static_cast<std::size_t>(item.segment)];
    const auto [cx, cy] = centre_[static_cast<std::size_t>(item.segment)];
    const double* x = s.grid->x() + s.begin;
    const double* y = s.grid->y() + s.begin;
    const long long* valid = s.grid->valid() + s.begin;
    FillBlock block;
    for (long first = item.first; first < item.last; first += kFillBlock) {
      block.count = std::min(kFillBlock, item.last - first);
      block.origins = std::clamp(s.origins - first, 0L, block.count);
      for (long i = 0; i < block.count; ++i) {
        const bool ok = valid[first + i] != 0;
        block.m[i] = ok ? 1.0 : 0.0;
        block.u[i] = ok ? x[first + i] - cx : 0.0;
        block.v[i] = ok ? y[first + i] - cy : 0.0;
      }
      store_block(block, at + first, item);
    }
  }

  // Stores the block's values of every sequence transformed from entry `at`
  // of the pack on, and adds their squared norms and those of the sizes to
  // the item's.
  void store_block(const FillBlock& block, long at, FillItem& item) const {
    const double* m = block.m;
    const double* u = block.u;
    const double* v = block.v;
    const long count = block.count, origins = block.origins;
    for (int k = 0; k < kSequences; ++k) {
      if (!layout_.needed[k]) continue;
      with_constant<kSequences>(k, [&](auto kind) {
        const auto value = [&](long i) { return value_of<decltype(kind)::value>(m[i], u[i], v[i]); };
        double* to_end = layout_.transformed[k] ? end_values_[k] + at : nullptr;
        double* to_origin = layout_.transformed[k] && !shared_ ? origin_values_[k] + at : nullptr;
        const double before = store_squares(0, origins, value, to_end);
        item.norm_origin[k] += before;
        item.norm_end[k] += before + store_squares(origins, count, value, to_end);
        if (to_origin != nullptr) {
          store_squares(0, origins, value, to_origin);
          std::fill(to_origin + origins, to_origin + count, 0.0);
        }
      });
    }
    for (int p = 0; p < kSizeOrders; ++p) {
      if (p > 0 && !layout_.output[p]) continue;
      with_constant<kSizeOrders>(p, [&](auto order) {
        const auto size = [&](long i) { return size_of<decltype(order)::value>(m[i], u[i], v[i]); };
        const double before = store_squares(0, origins, size, nullptr);
        item.size_origin[p] += before;
        item.size_end[p] += before + store_squares(origins, count, size, nullptr);
      });
    }
  }

  // The items' norms added in item order.
  void pool_norms(const std::vector<FillItem>& items) {
    for (const FillItem& item : items) {
      for (int k = 0; k < kSequences; ++k) {
        norms_.end[k] += item.norm_end[k];
        norms_.origin[k] += item.norm_origin[k];
      }
      for (int p = 0; p < kSizeOrders; ++p) {
        norms_.size_end[p] += item.size_end[p];
        norms_.size_origin[p] += item.size_origin[p];
      }
    }
  }

  // Between windows and past the last one the sequences are zero; long
  // stretches are shared among the threads.
  void zero_between_windows() const {
    std::vector<std::pair<double*, long>> zeros;
    for (int k = 0; k < kSequences; ++k) {
      if (!layout_.transformed[k]) continue;
      for (double* values : {end_values_[k], origin_values_[k]}) {
        for (long i = 0; i < pack_.count; ++i) {
          const long from = pack_.offsets[static_cast<std::size_t>(i)] + segment(i).window;
          const long to = i + 1 < pack_.count ? pack_.offsets[static_cast<std::size_t>(i) + 1] : 2 * spectrum_;
          for (long at = from; at < to; at += kFillChunk) {
            zeros.emplace_back(values + at, std::min(kFillChunk, to - at));
          }
        }
        if (shared_) break;
      }
    }
    for_items(static_cast<long>(zeros.size()), threads_, [&](long i) {
      const auto [values, count] = zeros[static_cast<std::size_t>(i)];
      std::fill(values, values + count, 0.0);
    });
  }

  // Every transformed sequence's forward transform: end side, then origin
  // side, sequence by sequence.
  void transform_sequences() {
    for (int k = 0; k < kSequences; ++k) {
      if (!layout_.transformed[k]) continue;
      sequences_.push_back(end_[k]);
      filled_.push_back(end_values_[k]);
      if (shared_) continue;
      sequences_.push_back(origin_[k]);
      filled_.push_back(origin_values_[k]);
    }
    const auto transforms = static_cast<long>(sequences_.size());
    run_tasks(transforms, transforms, threads_, cache_, n_, [&](long i, const RealFftPlans* plans) {
      const auto at = static_cast<std::size_t>(i);
      if (apart_) {
        plans->forward(filled_[at], sequences_[at]);
      } else {
        plans->forward(sequences_[at]);
      }
    });
  }

  // A sum formed from its parts' spectra carries their rounding: its norm
  // in the bound is the sum of theirs.
  void add_norms_of_parts() {
    for (double* norms : {norms_.end, norms_.origin}) {
      if (layout_.needed[kS] && !layout_.transformed[kS]) {
        norms[kS] = std::pow(std::sqrt(norms[kU]) + std::sqrt(norms[kV]), 2);
      }
      if (layout_.needed[kP2] && !layout_.transformed[kP2]) {
        norms[kP2] = std::pow(std::sqrt(norms[kU2]) + std::sqrt(norms[kV2]), 2);
      }
    }
  }

  // The transformed sequences whose spectra make up `sequence`'s.
  std::vector<Sequence> parts_of(Sequence sequence) const {
    if (sequence == kS && !layout_.transformed[kS]) return {kU, kV};
    if (sequence == kP2 && !layout_.transformed[kP2]) return {kU2, kV2};
    return {sequence};
  }

  // Each output's spectral products and the norm of its terms, then the
  // products of every inverted output, in chunks on all threads.
  void multiply_spectra() {
    spectral_.resize(kOutputs);
    for (int o = 0; o < kOutputs; ++o) {
      if (!layout_.output[o]) continue;
      for (const Term& t : terms_of(static_cast<Output>(o))) {
        if (!transformed_term(layout_, t)) continue;
        output_norms_[o] += std::fabs(t.coefficient) * std::sqrt(norms_.origin[t.origin] * norms_.end[t.end]);
        for (const Sequence f : parts_of(t.origin)) {
          for (const Sequence g : parts_of(t.end)) {
            spectral_[o].push_back({t.coefficient, &origin_[f][0][0], &end_[g][0][0]});
          }
        }
      }
      if (layout_.inverse[o]) inverted_.push_back(o);
    }
    const long chunks = (spectrum_ + kProductChunk - 1) / kProductChunk;
    const long inverses = static_cast<long>(inverted_.size());
    for_items(inverses * chunks, threads_, [&](long item) {
      const int o = inverted_[static_cast<std::size_t>(item / chunks)];
      const long c = item % chunks;
      combine_spectra(spectral_[o], c * kProductChunk, std::min(spectrum_, (c + 1) * kProductChunk),
                      &combined_[o][0][0]);
    });
  }

  // The inverse transforms and, beside them, the mask terms from prefix
  // sums, which go into the sums first. The inverses go out of place into
  // the sequences' buffers, no longer needed: every layout transforms at
  // least as many sequences as it inverts outputs.
  void invert_outputs(PackSums& result) {
    result.sums = ReusedArray<double>(layout_.outputs * lags_);
    auto add_all_mask_terms = [&] {
      const ReusedArray<double> prefix(widest_ + 1);
      std::fill(result.sums.data(), result.sums.data() + layout_.outputs * lags_, 0.0);
      for (long i = 0; i < pack_.count; ++i) {
        add_mask_terms(segment(i), centre_[static_cast<std::size_t>(i)], result.sums.data(), prefix.data());
      }
    };
    const long inverses = static_cast<long>(inverted_.size());
    const long tasks = inverses + (layout_.closed ? 1 : 0);
    if (static_cast<long>(sequences_.size()) < inverses) {
      throw std::logic_error("correlation layout inverts more outputs than it transforms");
    }
    run_tasks(tasks, inverses, threads_, cache_, n_, [&](long task, const RealFftPlans* plans) {
      if (task < inverses) {
        plans->backward(combined_[inverted_[static_cast<std::size_t>(task)]],
                        sequences_[static_cast<std::size_t>(task)]);
      } else {
        add_all_mask_terms();
      }
    });
  }

  // A gap-free window's mask terms for lags 0..lags_-1, added to
  // pack_sums[slot * lags_ + lag]: at lag L its c = min(origins, window - L)
  // pairs start at 0..c-1, so the mask correlates with the end sequence P as
  // the sum of P over [L, L + c) and with the origin sequence as the sum over
  // [0, c). The prefix sums are compensated: each lies within
  // (2u + 4 window u^2) * sum |P| of the exact one. mass_[o] gathers sum |P|.
  void add_mask_terms(const Segment& s, Centre centre, double* pack_sums, double* prefix) {
    const double cx = centre[0], cy = centre[1];
    const double* x = s.grid->x() + s.begin;
    const double* y = s.grid->y() + s.begin;
    const long reach = std::min(lags_, s.window);
    auto pairs_at = [&](long lag) { return std::min(s.origins, s.window - lag); };
    for (int o = 0; o < kOutputs; ++o) {
      if (!layout_.output[o]) continue;
      double* sums = pack_sums + layout_.slot[o] * lags_;
      if (o == kCount) {
        for (long lag = 0; lag < reach; ++lag) sums[lag] += static_cast<double>(pairs_at(lag));
        continue;
      }
      const Sequence partner = kMaskPartner[o];
      double size = 0.0;
      prefix[0] = 0.0;
      with_constant<kSequences>(partner, [&](auto kind) {
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
      mass_[o] += size;
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

  // The inverses scaled by 1 / n into the sums: added to the mask terms of
  // a closed layout, the sums themselves otherwise.
  void scale_inverses(PackSums& result) const {
    const double scale = 1.0 / static_cast<double>(n_);
    const long inverses = static_cast<long>(inverted_.size());
    const long lag_chunks = (lags_ + kLagChunk - 1) / kLagChunk;
    for_items(inverses * lag_chunks, threads_, [&](long item) {
      const int o = inverted_[static_cast<std::size_t>(item / lag_chunks)];
      const long first = item % lag_chunks * kLagChunk, last = std::min(lags_, first + kLagChunk);
      double* sums = result.sums.data() + layout_.slot[o] * lags_;
      const double* values = &sequences_[static_cast<std::size_t>(item / lag_chunks)][0][0];
      if (layout_.closed) {
        for (long lag = first; lag < last; ++lag) sums[lag] += values[lag] * scale;
      } else {
        for (long lag = first; lag < last; ++lag) sums[lag] = values[lag] * scale;
      }
    });
  }

  // Each output's bound: the transforms' error, the prefix sums' and the
  // rounding of u, v and their powers.
  void bound_errors(PackSums& result) const {
    const double factor = fft_error_factor(n_);
    for (int o = 0; o < kOutputs; ++o) {
      if (!layout_.output[o]) continue;
      // Mask terms from prefix sums: each segment's value errs by at most
      // (9u + 12 window u^2) * sum |P|, pooling the segments adds at most
      // 2 count u * sum |P|, and adding them to the transformed terms one
      // rounding of either part.
      double closed_bound = 0.0;
      if (layout_.closed) {
        const double u = kUnitRoundoff;
        closed_bound =
            ((2.0 * static_cast<double>(pack_.count) + 12.0) * u + 12.0 * static_cast<double>(widest_) * u * u) *
                mass_[o] +
            u * output_norms_[o];
      }
      const int k = order_of(static_cast<Output>(o));
      // Rounding u, v and their powers moves each pair's term by at most
      // k 2^k u (|u|^k + |v|^k) at its two ends.
      const double shift = k == 0 ? 0.0
                                  : k * std::ldexp(1.0, k) * kUnitRoundoff *
                                        (std::sqrt(norms_.size_origin[0] * norms_.size_end[k]) +
                                         std::sqrt(norms_.size_origin[k] * norms_.size_end[0]));
      result.bound[o] = factor * output_norms_[o] + closed_bound + shift;
    }
  }

  const Pack& pack_;
  const std::vector<Segment>& segments_;
  const Layout& layout_;
  PlanCache& cache_;
  const int threads_;
  const long n_;         // the transform size
  const long spectrum_;  // complex entries of a real transform's spectrum
  const long lags_;      // lags 0..lags_ - 1 are formed
  const bool shared_;    // the origin and end sequences are the same
  const bool apart_;     // sequences are filled in buffers of their own
  long widest_ = 0;
  fftw_complex* end_[kSequences] = {};
  fftw_complex* origin_[kSequences] = {};
  fftw_complex* combined_[kOutputs] = {};
  double* end_values_[kSequences] = {};
  double* origin_values_[kSequences] = {};
  std::vector<Centre> centre_;            // each window's reference position
  Norms norms_;                           // of the sequences and sizes
  std::vector<fftw_complex*> sequences_;  // the transformed sequences, in transform order
  std::vector<double*> filled_;           // where each was filled
  double output_norms_[kOutputs] = {};    // sum of |coefficient| |f| |g| over each output's transformed terms
  std::vector<int> inverted_;             // the outputs with terms formed by transforms
  std::vector<std::vector<SpectralTerm>> spectral_;
  double mass_[kOutputs] = {};  // sum |P| over the mask terms' partner sequences
};

}  // namespace

void correlate_pack(const PackInput& input, PlanCache& cache, int threads, Workspace& workspace, PackSums& result) {
  PackCorrelation(input, cache, threads, workspace).run(result);
}

}  // namespace msdisf::detail
