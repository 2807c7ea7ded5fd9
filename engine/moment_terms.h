// The term algebra of the moment correlations: which sequences are
// correlated, and how their correlations make up the counts and moment sums.
//
// Over the pairs (a, b) of a lag L, sum (w_b - w_a)^k for w = u = x - c and
// w = v = y - c (c a reference position) expands by the binomial theorem
// into correlations C(f, g)[L] = sum_a f_a g_(a+L) of origin sequences f
// with end sequences g: the mask m (1 where a position is valid, else 0)
// and the masked powers of u and v. terms_of lists them per output; a
// Layout says which outputs a caller forms and which sequences that
// transforms. value_of and size_of are the per-entry arithmetic, the same
// wherever an entry is formed.
#pragma once

#include <cmath>
#include <utility>
#include <vector>

#include "engine/moment_correlation.h"

namespace msdisf::detail {

/// The sequences correlated: the mask m and powers of u = x - c, v = y - c
/// (kS = u + v, kP2 = u^2 + v^2, kP3 = u^3 + v^3, kP4 = u^4 + v^4).
enum Sequence { kM, kU, kV, kS, kU2, kV2, kP2, kU3, kV3, kP3, kP4, kSequences };

/// What comes out of the correlations: the pair counts and the moment sums
/// sum (dx^k + dy^k) for k = 1..4.
enum Output { kCount, kSum1, kSum2, kSum3, kSum4, kOutputs };

/// The moment order of an output (0 for the counts).
inline int order_of(Output output) { return static_cast<int>(output); }

/// The orders 0..4 of size_of.
inline constexpr int kSizeOrders = 5;

/// coefficient * C(origin, end).
struct Term {
  double coefficient;
  Sequence origin;
  Sequence end;
};

/// The terms whose sum is `output` over every pair of a lag.
const std::vector<Term>& terms_of(Output output);

/// Whether a sequence is a power of v alone (zero when v is).
inline bool of_second_axis(Sequence s) { return s == kV || s == kV2 || s == kV3; }

/// Whether the term pairs a sequence with the mask.
inline bool with_mask(const Term& t) { return t.origin == kM || t.end == kM; }

/// The sequence each output's mask terms pair with the mask.
inline constexpr Sequence kMaskPartner[kOutputs] = {kM, kS, kP2, kP3, kP4};

/// Which outputs are formed and how. Where a pack's windows have no gaps
/// the mask is all ones over each window, so its correlations are counts
/// and sums of a window's stretch of the partner sequence, taken from
/// prefix sums ("closed"): only the terms pairing two powers of u or v are
/// transformed. The sums u + v and u^2 + v^2 come from the spectra of their
/// parts when those are transformed anyway.
struct Layout {
  bool closed = false;
  bool single_axis = false;  ///< MomentNeeds::single_axis
  bool output[kOutputs] = {};
  bool inverse[kOutputs] = {};        ///< has terms formed by transforms
  bool needed[kSequences] = {};       ///< in a term formed by transforms
  bool transformed[kSequences] = {};  ///< transformed itself, not from its parts
  int slot[kOutputs] = {};            ///< where a formed output's sums go
  int transforms = 0;
  int inverses = 0;
  int outputs = 0;
};

/// Whether a term of a layout's outputs is formed by transforms.
inline bool transformed_term(const Layout& layout, const Term& t) {
  if (layout.closed && with_mask(t)) return false;
  return !(layout.single_axis && (of_second_axis(t.origin) || of_second_axis(t.end)));
}

/// The layout of the wanted outputs: counts always, s2 whenever any moment
/// is wanted (it sets the scale of the bound).
Layout layout_for(MomentNeeds needs, bool closed);

/// Both layouts of the wanted outputs; their slots are the same.
struct Layouts {
  Layout masked;
  Layout closed;
  explicit Layouts(MomentNeeds needs) : masked(layout_for(needs, false)), closed(layout_for(needs, true)) {}
  const Layout& of(bool gap_free) const { return gap_free ? closed : masked; }
};

/// One sequence's value at an entry, from the mask m and u = x - c,
/// v = y - c (both zero where m is).
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

/// |u|^p + |v|^p for p = 0..4 (the mask for p = 0), which bounds the
/// rounding of u, v and their powers.
template <int P>
double size_of(double m, double u, double v) {
  if constexpr (P == 0) return m;
  if constexpr (P == 1) return std::fabs(u) + std::fabs(v);
  if constexpr (P == 2) return u * u + v * v;
  if constexpr (P == 3) return std::fabs(u) * (u * u) + std::fabs(v) * (v * v);
  if constexpr (P == 4) return (u * u) * (u * u) + (v * v) * (v * v);
}

/// Calls body(std::integral_constant<int, value>{}) for a value below N, so
/// that loops over entries see it as a constant.
template <int N, class Body>
void with_constant(int value, Body&& body) {
  [&]<int... K>(std::integer_sequence<int, K...>) {
    ((value == K ? body(std::integral_constant<int, K>{}) : void()), ...);
  }
  (std::make_integer_sequence<int, N>{});
}

}  // namespace msdisf::detail
