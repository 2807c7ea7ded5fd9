#include "engine/moment_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/huge_pages.h"
#include "engine/parallel.h"

// The vector helpers below are always inlined into the per-target kernels and
// never called across targets, so the ABI note about passing 64-byte vectors
// does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace msdisf::detail {

namespace {

constexpr int kLanes = 8;
constexpr int kVectors = 4;                 // independent chains per pass, to hide add latency
constexpr long kBlock = kLanes * kVectors;  // lags per pass

using Vec = double __attribute__((vector_size(kLanes * sizeof(double))));
using Mask = long long __attribute__((vector_size(kLanes * sizeof(long long))));

// `updated` where the lane is valid, `kept` elsewhere, chosen bit by bit.
[[gnu::always_inline]] inline Vec select(Mask valid, Vec updated, Vec kept) {
  return reinterpret_cast<Vec>((reinterpret_cast<Mask>(updated) & valid) | (reinterpret_cast<Mask>(kept) & ~valid));
}

// The sums of kBlock lags over origins 0 .. length - first_lag - 1, where
// `load(a, v, xb, yb, ok)` fetches the end entries of origin a for the lags
// of vector v. The body is inlined into one function per instruction set
// below; IEEE addition, subtraction and multiplication round the same at
// every vector width, and contraction into fused multiply-adds is off, so
// all give the same bits.
template <typename Load>
[[gnu::always_inline]] inline void lane_sums(const double* x, const double* y, const long long* valid, long length,
                                             long first_lag, Load load, LagMoments* out) {
  Vec s1[kVectors] = {}, s2[kVectors] = {}, s3[kVectors] = {}, s4[kVectors] = {}, n[kVectors] = {};
  const Vec one = Vec{} + 1.0;
  for (long a = 0; a + first_lag < length; ++a) {
    if (valid[a] == 0) continue;
    const Vec xa = Vec{} + x[a];
    const Vec ya = Vec{} + y[a];
    for (int v = 0; v < kVectors; ++v) {
      Vec xb;
      Vec yb;
      Mask ok;
      load(a, v, xb, yb, ok);
      const Vec dx = xb - xa;
      const Vec dy = yb - ya;
      const Vec dx2 = dx * dx;
      const Vec dy2 = dy * dy;
      const Vec dx3 = dx2 * dx;
      const Vec dy3 = dy2 * dy;
      const Vec dx4 = dx3 * dx;
      const Vec dy4 = dy3 * dy;
      // The same association as the pair kernel: new term first, then the sum.
      s2[v] = select(ok, (dx2 + dy2) + s2[v], s2[v]);
      n[v] = select(ok, n[v] + one, n[v]);
      s1[v] = select(ok, s1[v] + (dx + dy), s1[v]);
      s3[v] = select(ok, (dx3 + dy3) + s3[v], s3[v]);
      s4[v] = select(ok, (dx4 + dy4) + s4[v], s4[v]);
    }
  }
  for (int v = 0; v < kVectors; ++v) {
    for (int lane = 0; lane < kLanes; ++lane) {
      LagMoments& lag = out[v * kLanes + lane];
      lag.s1 = s1[v][lane];
      lag.s2 = s2[v][lane];
      lag.s3 = s3[v][lane];
      lag.s4 = s4[v][lane];
      lag.pairs = n[v][lane];
    }
  }
}

// Lags [lag0, lag0 + kBlock); lanes whose end entry lies past the range read
// the invalid padding and add nothing.
[[gnu::always_inline]] inline void block_sums_body(const double* x, const double* y, const long long* valid,
                                                   long length, long lag0, LagMoments* out) {
  auto load = [&](long a, int v, Vec& xb, Vec& yb, Mask& ok) {
    const long b = a + lag0 + v * kLanes;
    std::memcpy(&xb, x + b, sizeof xb);
    std::memcpy(&yb, y + b, sizeof yb);
    std::memcpy(&ok, valid + b, sizeof ok);
  };
  lane_sums(x, y, valid, length, lag0, load, out);
}

// Lags lags[0..kBlock) (ascending, lags[0] < length); a lane whose end entry
// lies past the range reads the first padding entry, which is invalid.
[[gnu::always_inline]] inline void gathered_sums_body(const double* x, const double* y, const long long* valid,
                                                      long length, const long* lags, LagMoments* out) {
  auto load = [&](long a, int v, Vec& xb, Vec& yb, Mask& ok) {
    for (int lane = 0; lane < kLanes; ++lane) {
      const long b = std::min(a + lags[v * kLanes + lane], length);
      xb[lane] = x[b];
      yb[lane] = y[b];
      ok[lane] = valid[b];
    }
  };
  lane_sums(x, y, valid, length, lags[0], load, out);
}

using GatheredSums = void (*)(const double*, const double*, const long long*, long, const long*, LagMoments*);

__attribute__((target("avx512f"))) void gathered_sums_avx512(const double* x, const double* y, const long long* valid,
                                                             long length, const long* lags, LagMoments* out) {
  gathered_sums_body(x, y, valid, length, lags, out);
}
__attribute__((target("avx2"))) void gathered_sums_avx2(const double* x, const double* y, const long long* valid,
                                                        long length, const long* lags, LagMoments* out) {
  gathered_sums_body(x, y, valid, length, lags, out);
}
void gathered_sums_baseline(const double* x, const double* y, const long long* valid, long length, const long* lags,
                            LagMoments* out) {
  gathered_sums_body(x, y, valid, length, lags, out);
}

GatheredSums gathered_kernel_for(KernelPath path) {
  switch (path) {
    case KernelPath::kAvx512:
      return gathered_sums_avx512;
    case KernelPath::kAvx2:
      return gathered_sums_avx2;
    case KernelPath::kBaseline:
      break;
  }
  return gathered_sums_baseline;
}

using BlockSums = void (*)(const double*, const double*, const long long*, long, long, LagMoments*);

__attribute__((target("avx512f"))) void block_sums_avx512(const double* x, const double* y, const long long* valid,
                                                          long length, long lag0, LagMoments* out) {
  block_sums_body(x, y, valid, length, lag0, out);
}
__attribute__((target("avx2"))) void block_sums_avx2(const double* x, const double* y, const long long* valid,
                                                     long length, long lag0, LagMoments* out) {
  block_sums_body(x, y, valid, length, lag0, out);
}
void block_sums_baseline(const double* x, const double* y, const long long* valid, long length, long lag0,
                         LagMoments* out) {
  block_sums_body(x, y, valid, length, lag0, out);
}

BlockSums kernel_for(KernelPath path) {
  switch (path) {
    case KernelPath::kAvx512:
      return block_sums_avx512;
    case KernelPath::kAvx2:
      return block_sums_avx2;
    case KernelPath::kBaseline:
      break;
  }
  return block_sums_baseline;
}

KernelPath widest_supported_path() {
  static const KernelPath widest = kernel_path_supported(KernelPath::kAvx512) ? KernelPath::kAvx512
                                   : kernel_path_supported(KernelPath::kAvx2) ? KernelPath::kAvx2
                                                                              : KernelPath::kBaseline;
  return widest;
}

}  // namespace

bool kernel_path_supported(KernelPath path) {
  switch (path) {
    case KernelPath::kAvx512:
      return __builtin_cpu_supports("avx512f");
    case KernelPath::kAvx2:
      return __builtin_cpu_supports("avx2");
    case KernelPath::kBaseline:
      break;
  }
  return true;
}

void PaddedRange::allocate() {
  const auto count = static_cast<std::size_t>(entries(length_));
  assign_huge(own_x_, count, std::numeric_limits<double>::quiet_NaN());
  assign_huge(own_y_, count, std::numeric_limits<double>::quiet_NaN());
  assign_huge(own_valid_, count, 0LL);
  x_ = own_x_.data();
  y_ = own_y_.data();
  valid_ = own_valid_.data();
}

PaddedRange::PaddedRange(const double* x, const double* y, long length) : length_(std::max(length, 0L)) {
  allocate();
  std::copy(x, x + length_, x_);
  std::copy(y, y + length_, y_);
  for (long i = 0; i < length_; ++i) {
    const bool ok = !std::isnan(x[i]) && !std::isnan(y[i]);
    valid_[i] = ok ? -1 : 0;
    valid_entries_ += ok ? 1 : 0;
  }
}

PaddedRange::PaddedRange(const double* x, const double* y, const std::int64_t* frame, long records)
    : length_(records > 0 ? static_cast<long>(frame[records - 1] - frame[0]) + 1 : 0) {
  allocate();
  lay_out(x, y, frame, records);
}

PaddedRange::PaddedRange(const double* x, const double* y, const std::int64_t* frame, long records, Storage storage)
    : length_(records > 0 ? static_cast<long>(frame[records - 1] - frame[0]) + 1 : 0),
      x_(storage.x),
      y_(storage.y),
      valid_(storage.valid) {
  // Records on every frame cover the grid: only the padding needs filling.
  const long from = records == length_ ? length_ : 0;
  const long count = entries(length_);
  std::fill(x_ + from, x_ + count, std::numeric_limits<double>::quiet_NaN());
  std::fill(y_ + from, y_ + count, std::numeric_limits<double>::quiet_NaN());
  std::fill(valid_ + from, valid_ + count, 0LL);
  lay_out(x, y, frame, records);
}

void PaddedRange::lay_out(const double* x, const double* y, const std::int64_t* frame, long records) {
  long valid = 0;
  for (long i = 0; i < records; ++i) {
    const auto at = static_cast<std::size_t>(frame[i] - frame[0]);
    x_[at] = x[i];
    y_[at] = y[i];
    const bool ok = !std::isnan(x[i]) && !std::isnan(y[i]);
    valid_[at] = ok ? -1 : 0;
    valid += ok ? 1 : 0;
  }
  valid_entries_ = valid;
}

namespace {

// One lag by the plain loop: the same operations in the same order as a lane
// of the vector kernels, so the same bits, without 31 idle lanes.
LagMoments single_lag_sums(const PaddedRange& range, long lag) {
  const double* x = range.x();
  const double* y = range.y();
  const long long* valid = range.valid();
  double s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0, n = 0.0;
  for (long a = 0; a + lag < range.length(); ++a) {
    const long b = a + lag;
    if (valid[a] == 0 || valid[b] == 0) continue;
    const double dx = x[b] - x[a], dy = y[b] - y[a];
    const double dx2 = dx * dx, dy2 = dy * dy;
    const double dx3 = dx2 * dx, dy3 = dy2 * dy;
    const double dx4 = dx3 * dx, dy4 = dy3 * dy;
    s2 = (dx2 + dy2) + s2;
    n = n + 1.0;
    s1 = s1 + (dx + dy);
    s3 = (dx3 + dy3) + s3;
    s4 = (dx4 + dy4) + s4;
  }
  LagMoments m;
  m.s1 = s1;
  m.s2 = s2;
  m.s3 = s3;
  m.s4 = s4;
  m.pairs = n;
  return m;
}

// Up to this many lags of a block go through the plain loop.
constexpr long kFewLags = 2;

}  // namespace

void lag_moment_sums_for(const PaddedRange& range, const long* lags, long count, LagMoments* out, int threads) {
  const KernelPath path = widest_supported_path();
  const BlockSums contiguous = kernel_for(path);
  const GatheredSums gathered = gathered_kernel_for(path);
  const long length = range.length();
  // Every lane of a block walks the origins of its smallest lag: a lag with
  // fewer than half as many origins, and thousands fewer, starts a block of
  // its own. Below that a full block of neighbouring lags is cheaper.
  constexpr long kWorthABlock = 4096;
  std::vector<long> starts;
  for (long i = 0; i < count; ++i) {
    const long first = starts.empty() ? -1 : starts.back();
    const long fewer = first < 0 ? 0 : lags[i] - lags[first];
    if (first < 0 || i - first == kBlock || (fewer > kWorthABlock && 2 * fewer > length - lags[first])) {
      starts.push_back(i);
    }
  }
  starts.push_back(count);
  const long blocks = static_cast<long>(starts.size()) - 1;
#pragma omp parallel for schedule(dynamic, 1) num_threads(thread_count(threads)) if (threads != 1 && blocks > 1)
  for (long block = 0; block < blocks; ++block) {
    const long first = starts[static_cast<std::size_t>(block)];
    const long used = starts[static_cast<std::size_t>(block) + 1] - first;
    // Unused lanes repeat the block's last lag; their sums are dropped.
    long block_lags[kBlock];
    for (long i = 0; i < kBlock; ++i) block_lags[i] = lags[first + std::min(i, used - 1)];
    LagMoments sums[kBlock];
    if (block_lags[0] >= length) {
      std::fill(sums, sums + kBlock, LagMoments{});
    } else if (used <= kFewLags) {
      for (long i = 0; i < used; ++i) sums[i] = single_lag_sums(range, block_lags[i]);
    } else if (block_lags[kBlock - 1] - block_lags[0] == kBlock - 1) {
      contiguous(range.x(), range.y(), range.valid(), length, block_lags[0], sums);
    } else {
      gathered(range.x(), range.y(), range.valid(), length, block_lags, sums);
    }
    std::copy(sums, sums + used, out + first);
  }
}

void lag_moment_sums(const PaddedRange& range, long lag_begin, long lag_end, LagMoments* out, int threads) {
  lag_moment_sums_on(widest_supported_path(), range, lag_begin, lag_end, out, threads);
}

void lag_moment_sums_on(KernelPath path, const PaddedRange& range, long lag_begin, long lag_end, LagMoments* out,
                        int threads) {
  static_assert(kBlock <= PaddedRange::kPadding);
  const long length = range.length();
  // Lags at or past the range length have no pair.
  const long computed_end = std::min(lag_end, std::max(length, lag_begin));
  for (long lag = computed_end; lag < lag_end; ++lag) out[lag - lag_begin] = LagMoments{};
  const long blocks = (computed_end - lag_begin + kBlock - 1) / kBlock;
  const BlockSums kernel = kernel_for(path);
  // Each block writes its own lags only, so any split among threads gives the same bits.
#pragma omp parallel for schedule(dynamic, 1) num_threads(thread_count(threads)) if (threads != 1 && blocks > 1)
  for (long block = 0; block < blocks; ++block) {
    const long lag0 = lag_begin + block * kBlock;
    LagMoments sums[kBlock];
    kernel(range.x(), range.y(), range.valid(), length, lag0, sums);
    const long count = std::min(kBlock, computed_end - lag0);
    std::copy(sums, sums + count, out + (lag0 - lag_begin));
  }
}

}  // namespace msdisf::detail
