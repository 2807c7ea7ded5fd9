#include "engine/phase_sincos.h"

#include <cmath>
#include <cstring>

#pragma GCC diagnostic ignored "-Wpsabi"

namespace msdisf::detail {

namespace {

// Lanes of L doubles: 4 for AVX2, 8 for AVX-512. Every lane goes through
// the same operations in the same order, so all widths give the same bits.
template <int L>
struct Lanes;
template <>
struct Lanes<4> {
  using Vec = double __attribute__((vector_size(4 * sizeof(double))));
  using Bits = long long __attribute__((vector_size(4 * sizeof(long long))));
};
template <>
struct Lanes<8> {
  using Vec = double __attribute__((vector_size(8 * sizeof(double))));
  using Bits = long long __attribute__((vector_size(8 * sizeof(long long))));
};

// pi/2 in three pieces of 33, 33 and 53 bits: k * piece is exact for
// |k| < 2^20, so x - k*pi/2 loses nothing but the last piece's rounding.
constexpr double kPio2Hi = 1.57079632673412561417e+00;
constexpr double kPio2Mid = 6.07710050630396597660e-11;
constexpr double kPio2Lo = 2.02226624879595063154e-21;
constexpr double kTwoOverPi = 6.36619772367581382433e-01;
// Adding and subtracting 1.5 * 2^52 rounds to the nearest integer.
constexpr double kRound = 6755399441055744.0;

// Taylor coefficients 1/n!: on |r| <= pi/4 the first omitted terms,
// r^17/17! and r^18/18!, are below 5e-17.
constexpr double kSin[] = {-1.0 / 6,
                           1.0 / 120,
                           -1.0 / 5040,
                           1.0 / 362880,
                           -1.0 / 39916800,
                           1.0 / 6227020800.0,
                           -1.0 / 1307674368000.0};
constexpr double kCos[] = {-1.0 / 2,
                           1.0 / 24,
                           -1.0 / 720,
                           1.0 / 40320,
                           -1.0 / 3628800,
                           1.0 / 479001600,
                           -1.0 / 87178291200.0,
                           1.0 / 20922789888000.0};

template <typename Vec, typename Bits>
[[gnu::always_inline]] inline Vec select(Bits mask, Vec yes, Vec no) {
  return reinterpret_cast<Vec>((reinterpret_cast<Bits>(yes) & mask) | (reinterpret_cast<Bits>(no) & ~mask));
}

template <int kLanes>
[[gnu::always_inline]] inline void sincos_block(const double* phi, double* out) {
  using Vec = typename Lanes<kLanes>::Vec;
  using Bits = typename Lanes<kLanes>::Bits;
  Vec x;
  std::memcpy(&x, phi, sizeof x);
  const Vec shifted = x * kTwoOverPi + kRound;
  const Vec k = shifted - kRound;
  const Bits quadrant = reinterpret_cast<Bits>(shifted);  // low bits hold k mod 2^51
  const Vec r = ((x - k * kPio2Hi) - k * kPio2Mid) - k * kPio2Lo;
  const Vec r2 = r * r;
  Vec ps = Vec{} + kSin[6];
  for (int i = 5; i >= 0; --i) ps = ps * r2 + kSin[i];
  const Vec s = r + (r * r2) * ps;
  Vec pc = Vec{} + kCos[7];
  for (int i = 6; i >= 0; --i) pc = pc * r2 + kCos[i];
  const Vec c = 1.0 + r2 * pc;
  const Bits one = Bits{} + 1, two = Bits{} + 2, zero = Bits{};
  const Bits swap = (quadrant & one) != zero;
  const Vec sin_r = select(swap, c, s);
  const Vec cos_r = select(swap, s, c);
  const Vec sin_v = select((quadrant & two) != zero, -sin_r, sin_r);
  const Vec cos_v = select(((quadrant + one) & two) != zero, -cos_r, cos_r);
  // Interleaved (cos, sin) pairs by two shuffles rather than lane by lane.
#if defined(__clang__)
#define MSDISF_SHUFFLE(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define MSDISF_SHUFFLE(a, b, ...) __builtin_shuffle(a, b, Bits{__VA_ARGS__})
#endif
  Vec low, high;
  if constexpr (kLanes == 8) {
    low = MSDISF_SHUFFLE(cos_v, sin_v, 0, 8, 1, 9, 2, 10, 3, 11);
    high = MSDISF_SHUFFLE(cos_v, sin_v, 4, 12, 5, 13, 6, 14, 7, 15);
  } else {
    low = MSDISF_SHUFFLE(cos_v, sin_v, 0, 4, 1, 5);
    high = MSDISF_SHUFFLE(cos_v, sin_v, 2, 6, 3, 7);
  }
#undef MSDISF_SHUFFLE
  std::memcpy(out, &low, sizeof low);
  std::memcpy(out + kLanes, &high, sizeof high);
}

template <int kLanes>
[[gnu::always_inline]] inline void sincos_all(const double* phi, long n, double* cos_sin) {
  long i = 0;
  for (; i + kLanes <= n; i += kLanes) sincos_block<kLanes>(phi + i, cos_sin + 2 * i);
  if (i < n) {
    double rest[kLanes] = {};
    double out[2 * kLanes];
    for (long j = i; j < n; ++j) rest[j - i] = phi[j];
    sincos_block<kLanes>(rest, out);
    for (long j = i; j < n; ++j) {
      cos_sin[2 * j] = out[2 * (j - i)];
      cos_sin[2 * j + 1] = out[2 * (j - i) + 1];
    }
  }
}

__attribute__((target("avx512f,avx512dq"))) void sincos_avx512(const double* phi, long n, double* cos_sin) {
  sincos_all<8>(phi, n, cos_sin);
}
__attribute__((target("avx2"))) void sincos_avx2(const double* phi, long n, double* cos_sin) {
  sincos_all<4>(phi, n, cos_sin);
}
void sincos_baseline(const double* phi, long n, double* cos_sin) { sincos_all<4>(phi, n, cos_sin); }

}  // namespace

void phase_sincos(const double* phi, long n, double* cos_sin) {
  static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx512) {
    sincos_avx512(phi, n, cos_sin);
  } else if (avx2) {
    sincos_avx2(phi, n, cos_sin);
  } else {
    sincos_baseline(phi, n, cos_sin);
  }
}

}  // namespace msdisf::detail
