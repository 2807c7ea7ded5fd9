#include "job_table/numeric/random_mars.h"

#include <cmath>

namespace msdisf {

namespace {
constexpr int kTableSize = 97;
constexpr double kTwoTo24 = 16777216.0;
}  // namespace

RanMars::RanMars(int seed) : gauss_ready(0), gauss_cached(0.0), lag_table(new double[kTableSize + 1]) {
  // seed - 1 in two's complement: the smallest int wraps to the largest.
  const int s = static_cast<int>(static_cast<unsigned>(seed) - 1u);
  const int ij = s / 30082;
  const int kl = s - 30082 * ij;
  int i = (ij / 177) % 177 + 2;
  int j = ij % 177 + 2;
  int k = (kl / 169) % 178 + 1;
  int l = kl % 169;
  for (int entry = 1; entry <= kTableSize; ++entry) {
    double value = 0.0;
    double weight = 0.5;
    // 24 bits per entry, most significant first: every entry is a multiple of 2^-24.
    for (int bit = 0; bit < 24; ++bit) {
      const int m = (((i * j) % 179) * k) % 179;
      i = j;
      j = k;
      k = m;
      l = (53 * l + 1) % 169;
      if ((l * m) % 64 >= 32) value = value + weight;
      weight *= 0.5;
    }
    lag_table[entry] = value;
  }
  seq_value = 362436.0 / kTwoTo24;
  seq_step = 7654321.0 / kTwoTo24;
  seq_modulus = 16777213.0 / kTwoTo24;
  lag_i = kTableSize;
  lag_j = 33;
  uniform();
}

RanMars::~RanMars() { delete[] lag_table; }

double RanMars::uniform() {
  double u = lag_table[lag_i] - lag_table[lag_j];
  if (u < 0.0) u += 1.0;
  lag_table[lag_i] = u;
  if (--lag_i == 0) lag_i = kTableSize;
  if (--lag_j == 0) lag_j = kTableSize;
  seq_value -= seq_step;
  if (seq_value < 0.0) seq_value += seq_modulus;
  u -= seq_value;
  if (u < 0.0) u += 1.0;
  return u;
}

double RanMars::gaussian() {
  if (gauss_ready == 1) {
    gauss_ready = 0;
    return gauss_cached;
  }
  double a = 0.0;
  double b = 0.0;
  double rsq = 0.0;
  do {
    a = 2.0 * uniform() - 1.0;
    b = 2.0 * uniform() - 1.0;
    rsq = a * a + b * b;
  } while (rsq >= 1.0 || rsq == 0.0);
  const double fac = std::sqrt(-2.0 * std::log(rsq) / rsq);
  gauss_cached = a * fac;
  gauss_ready = 1;
  return b * fac;
}

void RanMars::save_state(int& lag_i_out, int& lag_j_out, double& seq_value_out, double* table, int& gauss_ready_out,
                         double& gauss_cached_out) const {
  lag_i_out = lag_i;
  lag_j_out = lag_j;
  seq_value_out = seq_value;
  for (int e = 1; e <= kTableSize; ++e) table[e] = lag_table[e];
  gauss_ready_out = gauss_ready;
  gauss_cached_out = gauss_cached;
}

void RanMars::load_state(int lag_i_in, int lag_j_in, double seq_value_in, const double* table, int gauss_ready_in,
                         double gauss_cached_in) {
  lag_i = lag_i_in;
  lag_j = lag_j_in;
  seq_value = seq_value_in;
  for (int e = 1; e <= kTableSize; ++e) lag_table[e] = table[e];
  gauss_ready = gauss_ready_in;
  gauss_cached = gauss_cached_in;
}

}  // namespace msdisf
