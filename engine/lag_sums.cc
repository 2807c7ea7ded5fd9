#include "engine/lag_sums.h"

#include <algorithm>

namespace msdisf::detail {

SumsBuffer::SumsBuffer(long rows, int waves, bool with_scattering)
    : rows_(rows),
      moments_(static_cast<std::size_t>(4 * rows), 0.0),
      pairs_(static_cast<std::size_t>(rows), 0),
      scattering_(with_scattering ? static_cast<std::size_t>(kGroups * waves) * static_cast<std::size_t>(rows) : 0,
                  0.0) {
  view_.waves = waves;
  view_.s1 = moments_.data();
  view_.s2 = view_.s1 + rows;
  view_.s3 = view_.s2 + rows;
  view_.s4 = view_.s3 + rows;
  view_.pairs = pairs_.data();
  if (!with_scattering) return;
  for (int c = 0; c < kGroups * waves; ++c) view_.scattering.push_back(scattering_.data() + c * rows);
}

void SumsBuffer::clear(long rows) {
  rows = std::min(rows, rows_);
  for (double* column : {view_.s1, view_.s2, view_.s3, view_.s4}) std::fill(column, column + rows, 0.0);
  std::fill(view_.pairs, view_.pairs + rows, 0L);
  if (!scattering_.empty()) {
    for (double* column : view_.scattering) std::fill(column, column + rows, 0.0);
  }
}

void pool_sums(const SumsView& from, const SumsView& into, long rows) {
  const double* sources[4] = {from.s1, from.s2, from.s3, from.s4};
  double* targets[4] = {into.s1, into.s2, into.s3, into.s4};
  for (int c = 0; c < 4; ++c) {
    for (long r = 0; r < rows; ++r) targets[c][r] = targets[c][r] + sources[c][r];
  }
  for (long r = 0; r < rows; ++r) into.pairs[r] += from.pairs[r];
  for (std::size_t c = 0; c < from.scattering.size(); ++c) {
    if (from.scattering[c] == nullptr || into.scattering[c] == nullptr) continue;
    for (long r = 0; r < rows; ++r) into.scattering[c][r] += from.scattering[c][r];
  }
}

}  // namespace msdisf::detail
